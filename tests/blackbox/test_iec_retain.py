"""IEC retained variables survive a kill at any instant of their save: a
writer that starts and stops an application with about 230 KB of retained
variables over and over is killed at random instants; the retain file left
is always one whole save (its signature and every run from one round), and
the next start loads it. In the controller, a retained variable goes with
the register backup (word 291 bits 6, 13 and 14) and the clone on the card
(bits 8 and 9), and SIGTERM writes it before the controller ends."""

import os
import random
import signal
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402
from plcclient import ProtocolError  # noqa: E402
from test_backup import W291  # noqa: E402
from test_iec_runtime import AI1, AQ1, written  # noqa: E402

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


AI2, I1 = AI1 + 16, 8192
SIG = 0x5A37A002  # layout signature of the "retain-program" application


def retain_file(value):
    """The runtime's retain file of that application: signature, INT 1."""
    return struct.pack("<Ih", SIG, value)


class RetainInBackupCloneAndStop(unittest.TestCase):
    """The "retain-program" application: retained INT 1 takes %AI1 while %I1
    is set; %AQ1 shows INT 1 + %AI2."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecbkp-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)

    def path(self, *p):
        return self.ctl.path(*p)

    def read(self, *p):
        with open(self.path(*p), "rb") as f:
            return f.read()

    def start(self):
        self.c = self.ctl.start(port=True).client
        return self.c

    def safe(self, fn):
        """fn() or None while the port is lent to a clone job."""
        try:
            self.c.flush_input()
            return fn()
        except ProtocolError:
            return None

    def until(self, pred, what, timeout=10):
        last = []

        def probe():
            v = self.safe(pred)
            last[:] = [v]
            return bool(v)
        self.assertTrue(wait_for(probe, timeout), "%s (last seen %r)" % (what, last))

    def bit(self, n):
        return (self.c.read_word(291) >> n) & 1

    def aq1(self):
        return self.c.read_word((AQ1 - 1024) // 16)

    def run_app(self):
        c = self.start()
        c.set_mode(0)
        c.download(0, written("retain-program"))
        c.set_mode(2)

    def retain(self, value):
        """INT 1 := value through %AI1 and a pulse of %I1."""
        self.c.write_reg(AI1, 16, value)
        self.c.write_reg(I1, 1, 1)
        self.until(lambda: self.aq1() == value, "INT 1 took %d" % value, 5)
        self.c.write_reg(I1, 1, 0)

    def shows(self, value):
        """After a restart: INT 1 as the running application holds it."""
        self.c.write_reg(AI2, 16, 1000)
        self.until(lambda: self.aq1() == 1000 + value, "INT 1 + 1000 on %AQ1", 10)

    def reset_with(self, value, timeout, what):
        """The controller resets after a restore; the retain file holds value,
        and the application runs with it after the start in mode 2."""
        self.assertEqual(self.ctl.wait_exit(timeout), 3, "%s: %s" % (what, self.ctl.console()))
        self.assertEqual(self.read("mnt", "cfg", "z7.ret"), retain_file(value))
        self.ctl.stop()
        self.start()
        self.assertEqual(self.c.get_mode(), 2)
        self.shows(value)

    def test_backup_store_and_restore_bring_back_the_retained_value(self):
        self.run_app()
        self.retain(111)
        self.c.write_reg(W291 + 6, 1, 1)
        self.until(lambda: self.bit(6) == 0 and self.bit(3) == 1, "backup stored")
        self.assertEqual(self.read("mnt", "cfg", "Z7_BKP.RET"), retain_file(111))
        self.retain(222)
        self.c.write_reg(W291 + 13, 1, 1)
        self.until(lambda: self.bit(14) == 1, "restore confirmation asked")
        self.c.write_reg(W291 + 14, 1, 0)
        self.reset_with(111, 10, "restored and reset")
        # erasing the backup erases its retain part
        self.c.write_reg(W291 + 7, 1, 1)
        self.until(lambda: (self.bit(7), self.bit(3)) == (0, 0), "backup erased")
        self.assertFalse(os.path.exists(self.path("mnt", "cfg", "Z7_BKP.RET")))

    def test_clone_save_and_load_on_the_card_carry_the_retained_value(self):
        self.run_app()
        self.retain(7777)
        # the card's free space is published before a clone is asked for
        self.until(lambda: self.c.read_word(303) | self.c.read_word(304), "free space of the card")
        self.c.write_reg(W291 + 8, 1, 1)
        card = self.path("mnt", "USB0")
        self.until(lambda: os.path.exists(os.path.join(card, "clone.dat")) and (self.bit(8), self.bit(10)) == (0, 0),
                   "clone made", 60)
        self.assertEqual(self.read("mnt", "USB0", "XIECclone.dat"), retain_file(7777))
        self.retain(4321)
        self.c.set_mode(0)
        self.c.write_reg(W291 + 9, 1, 1)
        self.until(lambda: self.bit(12), "clone load confirmation asked")
        self.c.write_reg(W291 + 12, 1, 0)
        self.reset_with(7777, 60, "clone loaded and reset")

    def test_automatic_load_from_the_card_restores_the_backup_then_resets(self):
        """Word 291 bits 4 and 5: a start with no stored program loads the
        card's program clone, stores it and runs it; under an IEC application
        the register backup comes back as a fail-safe restore (bit 2), and
        the controller resets once, at the end. The data clone is loaded when
        asked (bit 9)."""
        self.run_app()
        self.c.write_reg(W291 + 4, 1, 1)
        self.c.write_reg(W291 + 5, 1, 1)
        self.retain(111)
        self.c.write_word(3000, 0x1111)
        self.c.write_reg(W291 + 6, 1, 1)
        self.until(lambda: self.bit(6) == 0 and self.bit(3) == 1, "backup stored")
        self.retain(7777)
        self.c.write_word(3000, 0x2222)
        self.until(lambda: self.c.read_word(303) | self.c.read_word(304), "free space of the card")
        self.c.write_reg(W291 + 8, 1, 1)
        card = self.path("mnt", "USB0")
        self.until(lambda: os.path.exists(os.path.join(card, "clone.dat")) and (self.bit(8), self.bit(10)) == (0, 0),
                   "clone made", 60)
        self.c.write_word(3000, 0x3333)
        self.assertEqual(self.ctl.stop(), 0)
        os.remove(self.path("mnt", "cfg", "ladder.pgm"))

        self.ctl.start(port=True)
        self.assertEqual(self.ctl.wait_exit(60), 3, self.ctl.console())
        self.assertEqual(self.read("mnt", "cfg", "z7.ret"), retain_file(111))
        bkp = self.read("mnt", "cfg", "bkpreg.dta")
        self.assertEqual((bkp[109184], bkp[109188]), (0x5A, 0))
        self.ctl.stop()
        self.start()
        self.assertEqual(self.c.upload(0), written("retain-program"))
        self.assertEqual(self.c.get_mode(), 2)
        self.assertEqual(self.c.read_word(3000), 0x1111)
        self.until(lambda: (self.bit(2), self.bit(3)) == (1, 1), "restored by the fail-safe load")
        self.shows(111)
        self.assertIsNone(self.ctl.wait_exit(0.5))

        self.c.write_reg(W291 + 9, 1, 1)
        self.until(lambda: self.bit(12), "clone load confirmation asked")
        self.c.write_reg(W291 + 12, 1, 0)
        self.reset_with(7777, 60, "data clone loaded and reset")
        self.assertEqual(self.c.read_word(3000), 0x2222)

    def test_sigterm_writes_the_retained_value_before_the_end(self):
        self.run_app()
        self.retain(333)
        before = self.ctl.console().count("Application stopped\n")
        self.assertEqual(self.ctl.stop(signal.SIGTERM), 0)
        out = self.ctl.console()
        self.assertEqual(out.count("Application stopped\n"), before + 1)
        self.assertLess(out.rindex("Application stopped\n"), out.index("Controller stopped\n"))
        self.assertEqual(self.read("mnt", "cfg", "z7.ret"), retain_file(333))
        self.start()
        self.shows(333)

    def test_a_reset_over_the_command_protocol_writes_the_retained_value_first(self):
        self.run_app()
        self.retain(444)
        self.c.expect_byte(self.c.transact(0x14, bytes([self.c.target])), what="reset")
        self.reset_with(444, 10, "reset over the command protocol")

    def test_the_fatal_countdown_writes_the_retained_value_before_its_reset(self):
        self.run_app()
        self.retain(555)
        os.kill(self.ctl.proc.pid, signal.SIGSEGV)
        self.reset_with(555, 75, "fatal countdown")


if __name__ == "__main__":
    unittest.main()
