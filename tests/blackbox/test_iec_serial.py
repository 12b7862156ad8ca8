"""Serial blocks of an IEC application on the programming port, driven from
outside over the port's pseudo-terminal: while the application's SERIO
holds the port the command protocol does not read it, and the controller's
own frame start gives the port back."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from bbsupport import CONTROLLER, Controller, holds_for  # noqa: E402
from plcclient import CMD_GET_MODE, build_frame  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")


def written(kind):
    return subprocess.run([WRITER, kind, "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout


class IecSerio(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecser-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client

    def read_for(self, want, seconds):
        """What the port answers within the time, stopping once want is in."""
        got = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and want not in got:
            try:
                got += self.c.read_exact(1, timeout=max(0.01, deadline - time.monotonic()))
            except Exception:  # noqa: BLE001 - a time-out ends the read
                break
        return got

    def test_echo_hold_and_hand_back(self):
        c = self.c
        c.set_mode(0)
        c.download(0, written("serio-program"))
        c.set_mode(2)
        # Once the application holds the port, "PING" comes back from SERIO
        # (DATA_RCV "PING" with RCV TRUE sends DATA_RCV again).
        deadline = time.monotonic() + 10
        echoed = b""
        while time.monotonic() < deadline:
            c.flush_input()
            c.write(b"PING")
            echoed = self.read_for(b"PING", 0.5)
            if echoed == b"PING":
                break
        self.assertEqual(echoed, b"PING")
        # Held: a command frame (get mode) is not served but read by the
        # application, which sends its bytes back unchanged.
        frame = build_frame(CMD_GET_MODE, bytes([c.target]), seed=self.ctl.seed)
        for _ in range(3):
            c.write(frame)
            self.assertEqual(self.read_for(frame, 2.0), frame)
        # The controller's frame start gives the port back: nothing is sent
        # back, and the command protocol answers from then on, also later.
        c.write(b"HR\x00\x00")
        self.assertEqual(self.read_for(b"HR", 0.5), b"")
        # for many application cycles SERIO does not take the port again
        self.assertTrue(holds_for(lambda: c.get_mode() == 2, 0.5))
        c.write(b"PING")
        self.assertNotIn(b"PING", self.read_for(b"PING", 0.5))
        c.flush_input()
        c.set_mode(0)
        self.assertEqual(c.get_mode(), 0)


if __name__ == "__main__":
    unittest.main()
