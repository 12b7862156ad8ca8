#!/usr/bin/python3
"""The controller executable on a fresh root, driven only from outside:
start-up on an empty root, clean end on SIGTERM, nothing opened outside the
root, and the RUN button of the front panel (sim/buttons, sim/leds)."""

import os
import re
import shutil
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller  # noqa: E402
from bbsupport import wait_for as wait_for_every  # noqa: E402

HOLD_S = 3.0  # the RUN button's hold time


def wait_for(predicate, timeout):
    return wait_for_every(predicate, timeout, step=0.02)


def read(path):
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return None


def set_buttons(root, text):
    """Presses (text) or releases (None) the panel buttons, atomically."""
    path = os.path.join(root, "sim", "buttons")
    if text is None:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        return
    tmp = path + ".new"
    with open(tmp, "w") as f:
        f.write(text)
    os.rename(tmp, path)


def led_line(root, name):
    for line in (read(os.path.join(root, "sim", "leds")) or "").splitlines():
        if line.startswith(name + " "):
            return line
    return None


@unittest.skipUnless(CONTROLLER and os.access(CONTROLLER, os.X_OK), "PLC_CONTROLLER not set")
class Foundation(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="plc-bb-found-")
        self.root = os.path.join(self.tmp, "root")
        os.mkdir(self.root)
        # The root stays empty until the controller starts on it.
        self.ctl = Controller(self.root, dirs=(), prefix="plc-bb-found-")

    def tearDown(self):
        self.ctl.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, cwd=None, extra_env=None):
        ctl = self.ctl.start(wait=False, cwd=cwd, env=extra_env)
        self.assertTrue(wait_for(lambda: os.path.isdir(os.path.join(self.root, "sim")), 15),
                        "sim/ never appeared: %r" % ctl.output())
        # The loop runs: the LEDs have been written.
        self.assertTrue(wait_for(lambda: led_line(self.root, "RUN") is not None, 15),
                        "sim/leds never written: %r" % ctl.output())
        return ctl

    def test_starts_on_an_empty_root_and_ends_cleanly(self):
        ctl = self.start()
        for d in ("dev/shm", "mnt/cfg", "sim"):
            self.assertTrue(os.path.isdir(os.path.join(self.root, d)), d)
        time.sleep(1.0)
        self.assertIsNone(ctl.proc.poll(), "ended by itself: %r" % ctl.output())
        # Removable media appear only when inserted.
        self.assertFalse(os.path.exists(os.path.join(self.root, "mnt", "USB0")))
        self.assertFalse(os.path.exists(os.path.join(self.root, "mnt", "USB1")))
        self.assertEqual(ctl.stop(), 0, ctl.output())

    def test_nothing_is_created_outside_the_root(self):
        # Working folder, home and temporary folder all point at decoys.
        decoy = os.path.join(self.tmp, "decoy")
        for d in ("cwd", "home", "tmp"):
            os.makedirs(os.path.join(decoy, d))
        ctl = self.start(cwd=os.path.join(decoy, "cwd"),
                         extra_env={"HOME": os.path.join(decoy, "home"),
                                    "TMPDIR": os.path.join(decoy, "tmp")})
        time.sleep(1.0)
        set_buttons(self.root, "RUN\n")
        time.sleep(0.5)
        set_buttons(self.root, None)
        time.sleep(0.5)
        self.assertEqual(ctl.stop(), 0, ctl.output())
        found = []
        for dirpath, dirnames, filenames in os.walk(decoy):
            found += [os.path.join(dirpath, n) for n in dirnames + filenames]
        self.assertEqual(sorted(found), sorted(os.path.join(decoy, d) for d in ("cwd", "home", "tmp")))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["decoy", "root"])

    @unittest.skipUnless(shutil.which("strace"), "strace not installed")
    def test_no_file_outside_the_root_is_opened(self):
        trace = os.path.join(self.tmp, "trace.txt")
        calls = "open,openat,creat,mkdir,mkdirat,unlink,unlinkat,rename,renameat,renameat2," \
                "link,symlink,truncate,execve"
        # The leak checker of a sanitizer build cannot run under ptrace.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        ctl = self.ctl.start(wait=False, env={"ASAN_OPTIONS": asan},
                             argv_prefix=["strace", "-f", "-qq", "-e", "trace=" + calls, "-o", trace])
        if not wait_for(lambda: os.path.isdir(os.path.join(self.root, "sim")), 15):
            ctl.stop(signal.SIGKILL)
            self.skipTest("strace cannot trace here: %r" % ctl.output())
        self.assertTrue(wait_for(lambda: led_line(self.root, "RUN") is not None, 15))
        time.sleep(1.0)
        # SIGTERM to the controller itself (strace's child), by its pid.
        pid = None
        for line in (read(trace) or "").splitlines():
            m = re.match(r"^(\d+)\s+execve\(", line)
            if m:
                pid = int(m.group(1))
                break
        self.assertIsNotNone(pid, read(trace))
        self.assertEqual(ctl.stop(pid=pid), 0, ctl.output())

        root = os.path.realpath(self.root) + "/"
        allowed = (root, "/etc/ld.so.cache", "/etc/ld.so.preload", "/lib/", "/lib64/", "/usr/lib/",
                   "/usr/lib64/", "/proc/", "/sys/", "/dev/null", "/dev/urandom")
        outside = []
        first_exec = True
        for line in (read(trace) or "").splitlines():
            m = re.match(r"^\d+\s+(\w+)\((.*)\)\s+=", line)
            if not m:
                continue
            call, args = m.groups()
            paths = re.findall(r'"((?:[^"\\]|\\.)*)"', args)
            if call == "execve" and first_exec:
                first_exec = False  # the controller itself
                continue
            for p in paths[:2] if call.startswith(("rename", "link", "symlink")) else paths[:1]:
                inside = p.startswith(allowed) or p + "/" == root
                if not inside:  # relative paths count as outside: the working folder is no root
                    outside.append(line)
        self.assertEqual(outside, [], "opened outside the root")

    def test_holding_run_three_seconds_changes_the_mode(self):
        ctl = self.start()
        time.sleep(0.5)
        run_led = led_line(self.root, "RUN")
        pressed = time.monotonic()
        set_buttons(self.root, "RUN\n")
        took = ctl.wait_line("Changed the Controller Mode", HOLD_S + 5)
        self.assertIsNotNone(took, ctl.output())
        held = time.monotonic() - pressed
        self.assertGreaterEqual(held, HOLD_S - 0.2)
        self.assertTrue(wait_for(lambda: led_line(self.root, "RUN") != run_led, 3),
                        "RUN LED stayed %r" % run_led)
        set_buttons(self.root, None)
        self.assertIsNotNone(ctl.wait_line("RUN Button Released", 3), ctl.output())
        self.assertNotIn("Didn't Changed the Controller Mode", ctl.output())
        # Again: back to the first mode, and the LED with it.
        set_buttons(self.root, "RUN")
        self.assertTrue(wait_for(lambda: ctl.output().count("Changed the Controller Mode") == 2,
                                 HOLD_S + 5), ctl.output())
        self.assertTrue(wait_for(lambda: led_line(self.root, "RUN") == run_led, 3))
        set_buttons(self.root, None)
        self.assertEqual(ctl.stop(), 0, ctl.output())

    def test_releasing_run_early_changes_nothing(self):
        ctl = self.start()
        time.sleep(0.5)
        run_led = led_line(self.root, "RUN")
        set_buttons(self.root, "RUN\n")
        time.sleep(1.5)
        set_buttons(self.root, None)
        self.assertIsNotNone(ctl.wait_line("Didn't Changed the Controller Mode", 3), ctl.output())
        time.sleep(HOLD_S)
        self.assertNotIn("Changed the Controller Mode", ctl.output())
        self.assertEqual(led_line(self.root, "RUN"), run_led)
        self.assertEqual(ctl.stop(), 0, ctl.output())

    def test_hold_across_the_wrap_of_the_time_base(self):
        # The 100 us count wraps about two seconds after start-up, in the
        # middle of the hold.
        ctl = self.start(extra_env={"PLC_FRT_OFFSET": str(2**32 - 20000)})
        set_buttons(self.root, "RUN\n")
        pressed = time.monotonic()
        self.assertIsNotNone(ctl.wait_line("Changed the Controller Mode", HOLD_S + 5), ctl.output())
        self.assertGreaterEqual(time.monotonic() - pressed, HOLD_S - 0.2)
        set_buttons(self.root, None)
        self.assertIsNotNone(ctl.wait_line("RUN Button Released", 3), ctl.output())
        self.assertIsNone(ctl.proc.poll())
        self.assertEqual(ctl.stop(), 0, ctl.output())


if __name__ == "__main__":
    unittest.main(verbosity=2)
