"""IEC retained variables survive a kill at any instant of their save: a
writer that starts and stops an application with about 230 KB of retained
variables over and over is killed at random instants; the retain file left
is always one whole save (its signature and every run from one round), and
the next start loads it."""

import os
import random
import signal
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_retain_writer")
N8, N16, N32, NSTR, SMAX = 60000, 30000, 15000, 200, 250
SIZE = 4 + N8 + 2 * N16 + 4 * N32 + NSTR * (SMAX + 3)


def check_file(test, data):
    """The round of a whole retain file; fails the test on a torn one."""
    test.assertEqual(len(data), SIZE)
    test.assertEqual(struct.unpack_from("<I", data, 0)[0], 0xC0FFEE)
    pos = 4
    b8 = data[pos:pos + N8]
    pos += N8
    w16 = struct.unpack_from("<%dH" % N16, data, pos)
    pos += 2 * N16
    d32 = struct.unpack_from("<%dI" % N32, data, pos)
    pos += 4 * N32
    r = (d32[0] - 1) // 7
    test.assertEqual(bytes(b8), bytes((r + k) & 0xFF for k in range(1, N8 + 1)))
    test.assertEqual(w16, tuple((r * 3 + k) & 0xFFFF for k in range(1, N16 + 1)))
    test.assertEqual(d32, tuple(r * 7 + k for k in range(1, N32 + 1)))
    for s in range(1, NSTR + 1):
        slot = data[pos:pos + SMAX + 3]
        n = (r + s) % SMAX
        test.assertEqual(slot[0], SMAX)
        test.assertEqual(slot[1], n)
        test.assertEqual(slot[2:2 + n], bytes([ord("A") + r % 26]) * n)
        test.assertEqual(slot[2 + n], 0)
        pos += SMAX + 3
    return r


class IecRetain(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecret-")
        self.addCleanup(self.ctl.cleanup)
        self.file = os.path.join(self.ctl.root, "mnt/cfg/z7.ret")

    def test_kill_during_saves_leaves_a_whole_retain_file(self):
        random.seed(15)
        last = 0
        for run in range(20):
            writer = self.ctl.start(exe=WRITER, wait=False)
            # a start, a load and one save completed
            self.assertTrue(wait_for(lambda: any(l.isdigit() for l in writer.console().splitlines()), 60))
            time.sleep(random.uniform(0.0, 0.25))
            writer.stop(signal.SIGKILL)
            out = writer.console()
            self.assertNotIn("torn", out)
            self.assertNotIn("failed", out)
            if run > 0:  # the file of the killed run was loaded
                self.assertIn("dwCrcFile is 12648430 and pRetain->dwCrc is 12648430\n", out)
            with open(self.file, "rb") as f:
                r = check_file(self, f.read())
            self.assertGreaterEqual(r, 1)
            last = max(last, r)
        self.assertGreaterEqual(last, 1)


if __name__ == "__main__":
    unittest.main()
