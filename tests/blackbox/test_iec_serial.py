"""Serial blocks of an IEC application on the programming port, driven from
outside over the port's pseudo-terminal: while the application's SERIO
holds the port the command protocol does not read it, and the controller's
own frame start gives the port back."""

import os
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from bbsupport import CONTROLLER, Controller, crc16, holds_for, link_up, wait_for  # noqa: E402
from plcclient import CMD_GET_MODE, PlcClient, build_frame  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
MASTER = os.path.join(os.path.dirname(CONTROLLER), "rtu_master")
Q1, AQ1 = 10240, 24576


def rtu(hextext):
    b = bytes.fromhex(hextext)
    c = crc16(b)
    return b + bytes([c & 0xFF, c >> 8])


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

    def press_run(self, held):
        self.ctl.press_run(held)

    def ping(self):
        """Writes "PING" until it comes back (at most 10 s); what came back."""
        deadline = time.monotonic() + 10
        echoed = b""
        while time.monotonic() < deadline and echoed != b"PING":
            self.c.flush_input()
            self.c.write(b"PING")
            echoed = self.read_for(b"PING", 0.5)
        return echoed

    def test_echo_hold_and_hand_back(self):
        c = self.c
        c.set_mode(0)
        c.download(0, written("serio-program"))
        c.set_mode(2)
        # Once the application holds the port, "PING" comes back from SERIO
        # (DATA_RCV "PING" with RCV TRUE sends DATA_RCV again).
        self.assertEqual(self.ping(), b"PING")
        # Held: a command frame (get mode) is not served but read by the
        # application, which sends its bytes back unchanged.
        frame = build_frame(CMD_GET_MODE, bytes([c.target]), seed=self.ctl.seed)
        for _ in range(3):
            c.write(frame)
            self.assertEqual(self.read_for(frame, 2.0), frame)
        # Outside RUN no block reads the port: stopped with the front panel's
        # RUN button (held 3 s), the port is the command protocol's again
        self.press_run(True)
        self.addCleanup(self.press_run, False)
        self.assertIsNotNone(self.ctl.wait_line("Changed the Controller Mode", 8), self.ctl.output())
        self.press_run(False)
        # The port goes back to the controller a moment after the mode line,
        # and its re-opening discards what arrived before: ask until answered.
        link_up(c, 10)
        self.assertEqual(c.get_mode(), 0)
        # running again, SERIO takes it again
        c.set_mode(2)
        self.assertEqual(self.ping(), b"PING")
        # The controller's frame start gives the port back: nothing is sent
        # back, and the command protocol answers from then on, also later.
        c.write(b"HR\x00\x00")
        self.assertEqual(self.read_for(b"HR", 0.5), b"")
        # for many application cycles SERIO does not take the port again
        self.assertTrue(holds_for(lambda: c.get_mode() == 2, 0.5))
        c.write(b"PING")
        self.assertNotIn(b"PING", self.read_for(b"PING", 0.5))
        # "PING" began a frame for the command protocol, dropped only after its
        # frame time-out (500 ms from the last byte the controller read): ask
        # until answered rather than race that time-out.
        link_up(c, 10)
        c.set_mode(0)
        self.assertEqual(c.get_mode(), 0)


class IecRtuSlave(unittest.TestCase):
    """MBSLAVERTUEXD slave 17 against libmodbus's RTU master on the far end
    of a socat pseudo-terminal pair; MBSLAVEUDPEX of the same server on UDP."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecrtu-")
        self.addCleanup(self.ctl.cleanup)
        self.peer = self.ctl.path("peer")
        self.socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + self.ctl.path("dev", "ttySP0"),
                                       "pty,raw,echo=0,link=" + self.peer])
        self.addCleanup(self.end_socat)
        self.assertTrue(wait_for(lambda: os.path.exists(self.peer) and
                                 os.path.exists(self.ctl.path("dev", "ttySP0")), 5))
        self.ctl.start()

    def end_socat(self):
        self.socat.send_signal(signal.SIGTERM)
        self.socat.wait(5)

    def client(self):
        c = PlcClient.open_device(self.peer, seed=self.ctl.seed, timeout=3.0)
        self.addCleanup(c.close)
        link_up(c)
        return c

    def test_libmodbus_master(self):
        c = self.client()
        c.set_mode(0)
        c.download(0, written("rtuslave-program"))
        c.set_mode(2)
        # MBSLAVEUDPEX on port 5020: a Modbus TCP request in a datagram
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(u.close)
        u.settimeout(0.2)
        answer = None
        deadline = time.monotonic() + 10
        while answer is None and time.monotonic() < deadline:
            u.sendto(bytes.fromhex("0102 0000 0006 11 03 0000 0001"), ("127.0.0.1", 5020))
            try:
                answer = u.recv(300)
            except OSError:
                pass
        self.assertEqual(answer, bytes.fromhex("0102 0000 0005 11 03 02 1234"))
        u.sendto(bytes.fromhex("0103 0000 0006 11 03 0000 0020"), ("127.0.0.1", 5020))
        u.settimeout(3)
        self.assertEqual(u.recv(300), bytes.fromhex("0103 0000 0003 11 83 02"))
        c.write_reg(Q1, 1, 1)  # the slave block runs and takes the port
        c.close()
        out = subprocess.run([MASTER, self.peer], stdout=subprocess.PIPE, timeout=60, check=True).stdout.decode()
        lines = dict(line.split(" ", 1) for line in out.splitlines())
        self.assertEqual(lines["fc3"], "1234 0000 0000")
        # two requests in one write: one answer each, in order
        self.assertEqual(lines["two"], " ".join([rtu("11 03 02 12 34").hex(), rtu("11 03 04 00 00 00 00").hex()]))
        self.assertEqual(lines["slave18"], "-1 ETIMEDOUT")
        self.assertEqual(lines["badcrc"], "0 1234")  # no answer, then in step again
        self.assertEqual(lines["broadcast"], "0 0bee")  # carried out, unanswered
        self.assertEqual(lines["exception"], "-1 EMBXILADD")
        # the master's closing frame start gave the port back: the counters
        c = self.client()
        counters = [struct.unpack("<H", c.read_reg(AQ1 + 16 * k, 16))[0] for k in range(7)]
        # addressed, good CRC, exceptions, normal answers, broadcasts, CRC errors; HR1
        self.assertEqual(counters, [6, 8, 1, 5, 1, 1, 0x0BEE])


class IecCsvMenu(unittest.TestCase):
    """LOGFILECSV and HMIMENU in one application, driven through %Q bits
    written with the command protocol; the files are read under the root."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-ieccsv-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client

    def text(self, name):
        try:
            with open(self.ctl.path("mnt", "cfg", name), "rb") as f:
                return f.read()
        except OSError:
            return None

    def word(self, k):
        return struct.unpack("<H", self.c.read_reg(AQ1 + 16 * (k - 1), 16))[0]

    def test_csv_lines_and_menu_walk(self):
        c = self.c
        c.set_mode(0)
        c.download(0, written("csvmenu-program"))
        c.set_mode(2)
        # rising RST: both files empty, Q TRUE (one pulse counted)
        c.write_reg(Q1 + 1, 1, 1)
        self.assertTrue(wait_for(lambda: self.text("a.csv") == b"" and self.text("menu.csv") == b"", 10))
        self.assertTrue(wait_for(lambda: self.word(1) == 1, 5), self.word(1))
        c.write_reg(Q1 + 1, 1, 0)
        # rising LOG: the line; LOG held: no other line, no other Q
        line = b'"1";"-5";"1.5";"ok";"1000";"-7"\n'
        c.write_reg(Q1, 1, 1)
        self.assertTrue(wait_for(lambda: self.text("a.csv") == line, 5), self.text("a.csv"))
        self.assertTrue(holds_for(lambda: self.text("a.csv") == line and self.word(1) == 2, 0.5))
        # fall and rise: a second line
        c.write_reg(Q1, 1, 0)
        c.write_reg(Q1, 1, 1)
        self.assertTrue(wait_for(lambda: self.text("a.csv") == line * 2, 5), self.text("a.csv"))
        self.assertTrue(wait_for(lambda: self.word(1) == 3, 5), self.word(1))
        self.assertEqual(self.word(2), 0)
        # the menu walk: each button's edge logs title, entries, position, command
        main, setup = b'"Main";"Start|Setup|Stop";', b'"Setup";"Speed|Limit";'
        walk = [(4, main + b'"2";"0"'), (5, setup + b'"1";"0"'), (4, setup + b'"2";"0"'),
                (5, setup + b'"2";"22"'), (6, main + b'"1";"0"'), (3, main + b'"3";"0"'),
                (5, main + b'"3";"12"')]
        want = b""
        for button, got in walk:
            want += got + b"\n"
            c.write_reg(Q1 + button - 1, 1, 1)
            self.assertTrue(wait_for(lambda: self.text("menu.csv") == want, 5), (button, self.text("menu.csv")))
            c.write_reg(Q1 + button - 1, 1, 0)
        self.assertEqual(self.word(3), 0)


if __name__ == "__main__":
    unittest.main()
