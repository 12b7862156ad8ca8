"""Register backup through the request bits of word 291, driven from outside
through the programming port: the backup file byte for byte, the restore
handshake ending in a reset and the restored registers after the restart, a
backup with one flipped byte never restored, erase, and the clone requests
refused in their status bits."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, crc16, wait_for  # noqa: E402

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
        self.assertTrue(wait_for(pred, timeout), what)

    def test_store_restore_erase(self):
        c = self.start()
        c.set_mode(0)
        c.write_word(R1, 0x1234)
        self.setbit(6, 1)
        self.until(lambda: self.bit(6) == 0 and self.bit(3) == 1, "store")
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


if __name__ == "__main__":
    unittest.main()
