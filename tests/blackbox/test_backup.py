"""Register backup through the request bits of word 291, driven from outside
through the programming port: the backup file byte for byte, the restore
handshake ending in a reset and the restored registers after the restart, a
backup with one flipped byte never restored, erase, and the clone requests
refused in their status bits; clone saves one after the other across the
wrap of the time base."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, crc16, wait_for  # noqa: E402
from plcclient import ProtocolError  # noqa: E402

W291 = 5680  # bit n of word 291 is bit address 5680 + n
R1 = 2048     # word of %R1


class Backup(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bkp-", dirs=("dev", "mnt/cfg", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.bkp = self.ctl.path("mnt", "cfg", "bkpreg.dta")

    def start(self):
        self.c = self.ctl.start(port=True).client
        return self.c

    def bit(self, n):
        return (self.c.read_word(291) >> n) & 1

    def setbit(self, n, v):
        self.c.write_reg(W291 + n, 1, v)

    def until(self, pred, what, timeout=5):
        # The programming port is lent to the clone while one runs and gives
        # no answers meanwhile: a timed-out read only means "not yet".
        def safe():
            try:
                return pred()
            except ProtocolError:
                return False
        self.assertTrue(wait_for(safe, timeout), what)

    def test_store_restore_erase(self):
        # an IEC retain part of an earlier backup: a ladder program's backup
        # never keeps it
        stale = self.ctl.path("mnt", "cfg", "Z7_BKP.RET")
        with open(stale, "wb") as f:
            f.write(b"\x02\xa07Z\x01\x00")
        c = self.start()
        c.set_mode(0)
        c.write_word(R1, 0x1234)
        self.setbit(6, 1)
        self.until(lambda: self.bit(6) == 0 and self.bit(3) == 1, "store")
        self.assertFalse(os.path.exists(stale))
        with open(self.bkp, "rb") as f:
            img = f.read()
        self.assertEqual(len(img), 109192)
        self.assertEqual(img[4:8], bytes([0x78, 0xAA, 0x01, 0x00]))
        self.assertEqual(int.from_bytes(img[0:2], "little"), crc16(img[8:109184]))
        self.assertEqual(img[8 + 2 * R1:8 + 2 * R1 + 2], bytes([0x34, 0x12]))
        self.assertEqual(img[109184], 0x5A)
        self.assertEqual(img[109188], 0xFF)

        # Restore: asks for confirmation, then restores and resets.
        c.write_word(R1, 0x5678)
        self.setbit(13, 1)
        self.until(lambda: self.bit(14) == 1, "confirmation asked")
        time.sleep(0.3)
        self.assertEqual(self.bit(13), 1)  # waits while 14 stays set
        self.setbit(14, 0)
        self.assertEqual(self.ctl.wait_exit(10), 3)
        self.ctl.stop()
        c = self.start()
        self.assertEqual(c.read_word(R1), 0x1234)
        self.assertEqual(c.get_mode(), 0)
        self.assertEqual(self.bit(3), 1)
        self.assertEqual(self.bit(13), 0)

        # Cancel: clearing 13 while confirmation is asked.
        self.setbit(13, 1)
        self.until(lambda: self.bit(14) == 1, "confirmation asked")
        self.setbit(13, 0)
        self.until(lambda: self.bit(14) == 0, "cancelled")
        self.assertIsNone(self.ctl.wait_exit(0.5))

        # One flipped byte: never restored.
        c.write_word(R1, 0x9999)
        self.ctl.stop()
        with open(self.bkp, "r+b") as f:
            f.seek(8 + 2 * R1)
            f.write(b"\x35")
        c = self.start()
        self.assertEqual(self.bit(3), 1)
        self.setbit(13, 1)
        self.until(lambda: self.bit(14) == 1, "confirmation asked")
        self.setbit(14, 0)
        self.until(lambda: self.bit(13) == 0, "restore request ended")
        self.assertIsNone(self.ctl.wait_exit(0.5))
        self.assertEqual(c.read_word(R1), 0x9999)

        # Erase: bits 7 and 3 clear, the file goes; then 13 ends at once.
        self.setbit(7, 1)
        self.until(lambda: self.bit(7) == 0 and self.bit(3) == 0, "erase")
        self.assertFalse(os.path.exists(self.bkp))
        self.setbit(13, 1)
        self.until(lambda: self.bit(13) == 0 and self.bit(14) == 0, "no backup")

        # No card: the clone request ends as failed (bit 10); a clone load
        # asks for confirmation and is cancelled by clearing bit 9.
        self.setbit(8, 1)
        self.until(lambda: self.bit(8) == 0 and self.bit(10) == 1, "clone refused")
        self.setbit(9, 1)
        self.until(lambda: self.bit(12) == 1, "clone load confirmation")
        self.setbit(9, 0)
        self.until(lambda: self.bit(12) == 0 and self.bit(11) == 0, "clone load cancelled")


def program(words, features):
    data = b"".join(struct.pack("<H", w) for w in words)
    return data + struct.pack("<I", features) + bytes(5)


class CloneToCard(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-clone-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)

    def test_make_clone_files(self):
        c = self.ctl.start(port=True).client
        c.set_mode(0)
        prog = program([1024 + 16 * 2048, 38, 10240, 9], 0x8004)
        c.download(0, prog)
        table = bytes((i * 13) & 0xFF for i in range(5000))
        c.download(22, table)
        c.write_word(R1 + 5, 0x4321)
        time.sleep(1.5)  # the card's free space is published
        c.write_reg(W291 + 8, 1, 1)
        # The port belongs to the clone save meanwhile: the files are watched.
        dat_path = self.ctl.path("mnt", "USB0", "clone.dat")
        self.assertTrue(wait_for(lambda: os.path.exists(dat_path), 60), self.ctl.console())
        time.sleep(0.5)
        c.flush_input()
        self.assertEqual((c.read_word(291) >> 8) & 1, 0)
        self.assertEqual((c.read_word(291) >> 10) & 1, 0)
        with open(self.ctl.path("mnt", "USB0", "AUTOLOAD.PGM"), "rb") as f:
            pgm = f.read()
        self.assertEqual(pgm[:8], bytes([0x3A, 0x02, 0x32, 0x0F, 0x05, 0x00, 0x9A, 0x1E]))
        self.assertEqual(pgm[8:84], bytes(76))
        pos = 84
        for t in (4, 0, 5, 6, 22):
            typ, z1, z2, n = struct.unpack_from("<HHII", pgm, pos)
            self.assertEqual((typ, z1, z2), (t, 0, 0))
            data = pgm[pos + 12:pos + 12 + n]
            self.assertEqual(len(data), n)
            self.assertEqual(pgm[pos + 12 + n:pos + 14 + n], struct.pack("<H", crc16(data)))
            self.assertEqual(data, c.upload(t))
            if t == 4:
                self.assertEqual(n, 80)
                self.assertEqual(pgm[pos + 12 + n:pos + 14 + n], bytes([0x5E, 0xEC]))
            if t == 0:
                self.assertEqual(data, prog)
            if t == 22:
                self.assertEqual(data, table)
            pos += 14 + n
        self.assertEqual(pos, len(pgm))
        with open(self.ctl.path("mnt", "USB0", "clone.dat"), "rb") as f:
            dat = f.read()
        self.assertEqual(len(dat), 109178)
        self.assertEqual(dat[-2:], struct.pack("<H", crc16(dat[:-2])))
        self.assertEqual(dat[2 * (R1 + 5):2 * (R1 + 5) + 2], bytes([0x21, 0x43]))
        self.assertEqual(os.listdir(self.ctl.path("mnt", "USB0")).count("AUTOLOAD.PGM.TMP"), 0)


    def test_clone_saves_across_the_wrap_of_the_time_base(self):
        # The time base wraps 15 s after start-up; clone saves run one after
        # the other from before it to after it, and each one ends saved (the
        # internal command client's waits of up to 5 s hold across the wrap).
        c = self.ctl.start(port=True, env={"PLC_FRT_OFFSET": str(2**32 - 150000)}).client
        c.set_mode(0)
        c.download(0, program([1024 + 16 * 2048, 38, 10240, 9], 0x8004))
        c.set_mode(2)  # the scan publishes the time base in words 276-277
        self.assertTrue(wait_for(lambda: c.read_reg(1024 + 16 * 276, 32) != bytes(4), 5))
        frt = int.from_bytes(c.read_reg(1024 + 16 * 276, 32), "little")
        wrap_at = time.monotonic() + (2**32 - frt) / 10000.0
        self.assertTrue(3 < wrap_at - time.monotonic() < 15, frt)
        time.sleep(1.5)  # the card's free space is published
        dat_path = self.ctl.path("mnt", "USB0", "clone.dat")
        runs = []
        while not runs or runs[-1][0] < 1:
            if os.path.exists(dat_path):
                os.unlink(dat_path)
            begun = time.monotonic()
            c.write_reg(W291 + 8, 1, 1)
            self.assertTrue(wait_for(lambda: os.path.exists(dat_path), 30), self.ctl.console())
            self.assertEqual(self.read_word(c, 291) & 0x500, 0, (begun - wrap_at, runs))
            runs.append((round(begun - wrap_at, 2), round(time.monotonic() - wrap_at, 2)))
            with open(dat_path, "rb") as f:
                dat = f.read()
            self.assertEqual(len(dat), 109178, runs)
            self.assertEqual(dat[-2:], struct.pack("<H", crc16(dat[:-2])), runs)
        self.assertLess(runs[0][0], 0, runs)

    def read_word(self, c, word, timeout=30):
        """A register read that waits while the port is lent to a clone job."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return c.read_word(word)
            except ProtocolError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
                c.flush_input()

    def test_load_clone_on_another_controller(self):
        # The source: a running program, a data-log table and register values.
        c = self.ctl.start(port=True).client
        c.set_mode(0)
        prog = program([1024 + 16 * 2048, 38, 10240, 9], 0x8004)
        c.download(0, prog)
        table = bytes((i * 13) & 0xFF for i in range(5000))
        c.download(22, table)
        c.set_mode(2)
        c.write_word(R1, 1)
        c.write_word(R1 + 7, 0x7777)
        time.sleep(1.5)
        c.write_reg(W291 + 8, 1, 1)
        card = self.ctl.path("mnt", "USB0")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(card, "clone.dat")), 60))
        time.sleep(0.5)
        c.flush_input()
        src = {t: c.upload(t) for t in (0, 4, 5, 22)}
        self.ctl.stop()
        with open(os.path.join(card, "AUTOLOAD.PGM"), "rb") as f:
            good = f.read()
        with open(os.path.join(card, "clone.dat"), "rb") as f:
            dat = f.read()

        dst = Controller(prefix="plc-clone-dst-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(dst.cleanup)
        dcard = dst.path("mnt", "USB0")
        with open(os.path.join(dcard, "clone.dat"), "wb") as f:
            f.write(dat)
        d = dst.start(port=True).client
        d.set_mode(0)
        mine = program([9], 0x8000)
        d.download(0, mine)

        def attempt(pgm):
            with open(os.path.join(dcard, "AUTOLOAD.PGM"), "wb") as f:
                f.write(pgm)
            d.write_reg(W291 + 9, 1, 1)
            self.assertTrue(wait_for(lambda: (self.read_word(d, 291) >> 12) & 1, 10))
            d.write_reg(W291 + 12, 1, 0)

        # Refused files: bit 11, bit 9 cleared, the program kept.
        bad_magic = good[:6] + b"\x9B\x1E" + good[8:]
        tables81 = good[:4] + struct.pack("<H", 81) + good[6:]
        flipped = bytearray(good)
        flipped[84 + 12 + 3] ^= 0x01
        newer = good[:2] + bytes([51, 15]) + good[4:]
        other = struct.pack("<H", 571) + good[2:]
        for pgm in (bad_magic, tables81, bytes(flipped), newer, other):
            attempt(pgm)
            self.assertTrue(wait_for(lambda: (self.read_word(d, 291) >> 11) & 1, 60))
            self.assertEqual((self.read_word(d, 291) >> 9) & 1, 0)
            self.assertEqual((self.read_word(d, 291) >> 12) & 1, 0)
            self.assertIsNone(dst.wait_exit(0.1))
            d.flush_input()
            self.assertEqual(d.upload(0), mine)

        # Cancelled by clearing bit 9 while the confirmation is asked.
        d.write_reg(W291 + 9, 1, 1)
        self.assertTrue(wait_for(lambda: (self.read_word(d, 291) >> 12) & 1, 10))
        d.write_reg(W291 + 9, 1, 0)
        self.assertTrue(wait_for(lambda: (self.read_word(d, 291) >> 12) & 1 == 0, 10))

        # An older firmware's clone (15.49) loads: stored, restarted.
        attempt(good[:2] + bytes([49, 15]) + good[4:])
        self.assertEqual(dst.wait_exit(60), 3)
        dst.stop()
        d = dst.start(port=True).client
        for t in (0, 4, 5, 22):
            self.assertEqual(d.upload(t), src[t], "type %d" % t)
        self.assertEqual(d.read_word(R1 + 7), 0x7777)
        w = d.read_word(291)
        self.assertEqual(w & ((1 << 9) | (1 << 11) | (1 << 12)), 0)
        self.assertEqual(d.get_mode(), 2)
        self.assertTrue(wait_for(lambda: d.read_reg(10240, 1)[0] & 1, 5), "the program runs")


if __name__ == "__main__":
    unittest.main()
