"""The controller from outside where it must hold against its own children
and its peers: descriptors never leak into the programs it starts, a program
downloaded while another runs never runs half-written."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402

O_CLOEXEC = 0o2000000


def fd_targets(pid):
    out = {}
    d = "/proc/%d/fd" % pid
    for name in os.listdir(d):
        try:
            out[int(name)] = os.readlink(os.path.join(d, name))
        except OSError:
            pass
    return out


class Descriptors(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller()
        self.addCleanup(self.ctl.cleanup)

    def test_every_descriptor_is_close_on_exec_and_the_service_script_inherits_none(self):
        d = self.ctl.path("opt", "valmar")
        os.makedirs(d, exist_ok=True)
        script = os.path.join(d, "MasterScript.sh")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink "$f"; done > "$(dirname "$0")/fds.tmp"\n'
                    'mv "$(dirname "$0")/fds.tmp" "$(dirname "$0")/fds"\nexec cat > /dev/null\n')
        os.chmod(script, 0o755)
        self.ctl.start(port=True)
        pty_name = os.ttyname(self.ctl.slave)
        # The controller holds the port open; it and every other descriptor past
        # the standard three end at exec.
        mine = fd_targets(self.ctl.proc.pid)
        self.assertIn(pty_name, mine.values())
        for fd, target in mine.items():
            if fd < 3:
                continue
            with open("/proc/%d/fdinfo/%d" % (self.ctl.proc.pid, fd)) as f:
                flags = int([ln for ln in f.read().splitlines() if ln.startswith("flags:")][0].split()[1], 8)
            self.assertTrue(flags & O_CLOEXEC, "descriptor %d (%s) stays open across exec" % (fd, target))
        fds = os.path.join(d, "fds")
        self.assertTrue(wait_for(lambda: os.path.exists(fds), 5))
        with open(fds) as f:
            seen = f.read().splitlines()
        self.assertNotIn(pty_name, seen)
        self.assertFalse([t for t in seen if t.startswith("socket:") or t.startswith(self.ctl.path("mnt"))], seen)


if __name__ == "__main__":
    unittest.main()
