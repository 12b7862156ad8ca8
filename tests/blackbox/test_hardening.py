"""The controller from outside where it must hold against its own children
and its peers: descriptors never leak into the programs it starts, a program
downloaded while another runs never runs half-written."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from plcclient import ACK, CMD_DOWNLOAD, DATA  # noqa: E402

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


def M(n):
    return 14336 + n - 1


def program(words):
    """Program data: the words, the editor features (16-bit layout), trailer."""
    return b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", 0x8000) + bytes(5)


# Two programs: each copies %M1 to a coil of its own.
PROGRAM_A = program([M(1), 38, M(101), 9])
PROGRAM_B = program([M(1), 38, M(102), 9])


class DownloadWhileRunning(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-dlrun-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        c = self.c
        c.set_mode(0)
        c.download(0, PROGRAM_A)  # stored: downloaded outside run mode
        c.write_reg(M(1), 1, 1)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: self.bit(M(101)), 5))
        self.badop = self.badop_words()

    def badop_words(self):
        return self.c.read_word(180) | self.c.read_word(181) << 16

    def bit(self, ref):
        return self.c.read_reg(ref, 1)[0] & 1

    def open_download(self, first):
        c = self.c
        self.assertEqual(c.transact(CMD_DOWNLOAD, bytes([c.target, 0])), ("byte", ACK))
        self.assertEqual(c.transact(DATA, first), ("byte", ACK))

    def assert_still_running(self):
        c = self.c
        self.assertEqual(c.get_mode(), 2)
        self.assertEqual(self.badop_words(), self.badop)
        self.assertFalse(c.read_word(131) & 0x100)

    def test_the_half_written_program_never_runs_and_the_whole_one_does(self):
        c = self.c
        self.open_download(PROGRAM_B[:4])
        time.sleep(0.3)  # many scans while the program area is incomplete
        for pos in range(4, len(PROGRAM_B), 6):
            self.assertEqual(c.transact(DATA, PROGRAM_B[pos:pos + 6]), ("byte", ACK))
            time.sleep(0.05)
        self.assertEqual(c.transact(DATA, b""), ("byte", ACK))
        self.assert_still_running()
        self.assertTrue(wait_for(lambda: self.bit(M(102)), 5), "the new program runs")
        c.write_reg(M(1), 1, 0)
        self.assertTrue(wait_for(lambda: not self.bit(M(102)), 5))
        self.assertEqual(self.bit(M(101)), 1, "the old program no longer runs")

    def test_an_abandoned_download_puts_the_stored_program_back(self):
        c = self.c
        self.open_download(PROGRAM_B[:6])
        time.sleep(1.5)  # past the frame time-out: the download is abandoned
        c.flush_input()
        self.assert_still_running()
        c.write_reg(M(1), 1, 0)
        self.assertTrue(wait_for(lambda: not self.bit(M(101)), 5), "the stored program runs again")
        self.assertEqual(self.bit(M(102)), 0)

    def test_an_abandoned_download_of_another_file_puts_the_stored_file_back(self):
        """Not the program: the I/O configuration (erased first), the register
        set-up and the forces (written over in place), each cut off after its
        first frame in run mode. What was there before is back, so the next
        store in stop mode and the next start keep the application."""
        c = self.c
        headers = {t: c.upload(t, header=True) for t in (2, 4, 5)}
        for ftype in (5, 4, 2):
            self.assertEqual(c.transact(CMD_DOWNLOAD, bytes([c.target, ftype])), ("byte", ACK))
            self.assertEqual(c.transact(DATA, bytes(range(1, 11))), ("byte", ACK))
            self.assertTrue(wait_for(lambda: "Download of file type %d abandoned: " % ftype in self.ctl.console(), 10),
                            self.ctl.console())
            c.flush_input()
            self.assertEqual({t: c.upload(t, header=True) for t in (2, 4, 5)}, headers, ftype)
            self.assert_still_running()
        self.assertIn("Download of file type 5 abandoned: the stored file is back\n", self.ctl.console())
        self.assertIn("Download of file type 2 abandoned: the forces are back\n", self.ctl.console())
        # The next steps as usual: stop, a download (stored), run; a restart.
        c.set_mode(0)
        c.download(0, PROGRAM_A)
        c.set_mode(2)
        self.ctl.stop()
        c = self.c = self.ctl.start(port=True).client
        self.assertEqual(c.get_mode(), 2)
        self.assertEqual(c.read_word(131) & 0x04, 0)
        self.assertEqual({t: c.upload(t, header=True) for t in (2, 4, 5)}, headers)
        self.assertTrue(wait_for(lambda: self.bit(M(101)), 5))


if __name__ == "__main__":
    unittest.main()
