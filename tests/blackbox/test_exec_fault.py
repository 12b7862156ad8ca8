"""A fatal signal from outside: the cause, one countdown line a second from
58 down to 00, the backtrace in the log file, then the warm reset."""

import os
import re
import signal
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller  # noqa: E402


class SegvCountdown(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller()
        self.addCleanup(self.ctl.cleanup)

    def test_segv_countdown_and_reset(self):
        self.ctl.start()
        os.kill(self.ctl.proc.pid, signal.SIGSEGV)
        seen = {}
        deadline = time.monotonic() + 75
        while time.monotonic() < deadline and self.ctl.proc.poll() is None:
            for m in re.finditer(r"Reset in:(\d\d)\n", self.ctl.console()):
                seen.setdefault(int(m.group(1)), time.monotonic())
            time.sleep(0.02)
        rc = self.ctl.wait_exit(5)
        out = self.ctl.console()
        self.assertEqual(rc, 3, "warm reset (PLC_RESET=exit): %s" % out[-400:])
        self.assertIn("System Exception Occurred\nInvalid Memory Access Fault\n", out)
        counts = [int(x) for x in re.findall(r"Reset in:(\d\d)\n", out)]
        self.assertEqual(counts, list(range(58, -1, -1)))
        # One line a second.
        times = [seen[n] for n in range(58, -1, -1) if n in seen]
        self.assertGreaterEqual(len(times), 50)
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreater(min(gaps), 0.7)
        self.assertLess(max(gaps), 1.3)
        self.assertAlmostEqual(times[-1] - times[0], len(times) - 1, delta=1.5)
        # The backtrace: one symbol line per frame, mode 0600.
        log = self.ctl.path("mnt", "cfg", "logfile")
        self.assertTrue(os.path.exists(log), "no backtrace file")
        self.assertEqual(stat.S_IMODE(os.stat(log).st_mode), 0o600)
        with open(log, "rb") as f:
            frames = [ln for ln in f.read().splitlines() if b"[0x" in ln]
        self.assertGreaterEqual(len(frames), 2)
        self.assertLessEqual(len(frames), 32)


if __name__ == "__main__":
    unittest.main()
