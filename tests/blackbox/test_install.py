"""MAC IDs and updates from outside: the MAC image downloaded as memory file
type 19 stored and mirrored in the registers only when it carries the maker's
identifier; the firmware update from the card's newest UPDATE folder through
word 281, ending in a reboot, and no update when nothing is newer."""

import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for, word_of  # noqa: E402
from test_iec_runtime import written  # noqa: E402


class MacImage(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-inst-", dirs=("dev", "mnt/cfg", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.tiny = self.ctl.path("mnt", "cfg", "TINYIMGE.BIN")

    def test_type_19_download(self):
        c = self.ctl.start(port=True).client
        c.set_mode(0)
        before = (c.read_word(162), c.read_word(163))
        c.download(19, bytes([0x00, 0x11, 0x22, 0x33, 0x44, 0x55]) + bytes(6))
        self.assertFalse(os.path.exists(self.tiny))
        self.assertEqual((c.read_word(162), c.read_word(163)), before)

        c.download(19, bytes([0x02, 0x43, 0x50, 0x12, 0x34, 0x56, 1, 2, 3, 4, 5, 6]))
        with open(self.tiny, "rb") as f:
            img = f.read()
        self.assertEqual(len(img), 76)
        self.assertEqual(img[8:20], bytes([0x02, 0x43, 0x50, 0x12, 0x34, 0x56, 1, 2, 3, 4, 5, 6]))
        self.assertEqual(c.read_word(162), 0x3456)
        self.assertEqual(c.read_word(163), 0x5012)
        # Kept over a restart.
        self.ctl.stop()
        c = self.ctl.start(port=True).client
        self.assertEqual(c.read_word(162), 0x3456)
        self.assertEqual(c.read_word(163), 0x5012)


class FirmwareFromCard(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-fw-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim", "sys/block/mmcblk0"))
        self.addCleanup(self.ctl.cleanup)
        open(self.ctl.path("dev", "mmcblk0p1"), "wb").close()
        os.symlink("USB0", self.ctl.path("mnt", "USB"))
        self.upd = self.ctl.path("mnt", "USB0", "UPDATE")
        os.makedirs(self.upd)

    def folder(self, name, body=None):
        os.makedirs(os.path.join(self.upd, name))
        with open(os.path.join(self.upd, name, "vbx310c"), "wb") as f:
            f.write(body or name.encode() * 100)

    def commands(self):
        with open(self.ctl.path("sim", "commands.log")) as f:
            return f.read()

    def test_newest_folder_installed_and_reboot(self):
        for n in ("V1550000", "V1549999", "V9999ABC"):
            self.folder(n)
        self.folder("V1550001", b"new firmware" * 1000)
        with open(os.path.join(self.upd, "V1570001"), "wb") as f:
            f.write(b"a file, not a folder")
        c = self.ctl.start(port=True).client
        self.assertEqual(c.read_word(165), 1550)
        self.assertEqual(c.read_word(186), 0)
        c.set_mode(2)
        c.write_word(281, 0x0200)
        self.assertEqual(self.ctl.wait_exit(15), 3)
        self.assertIn("cp /mnt/USB/UPDATE/V1550001/vbx310c /mnt/firm/firmware\n", self.commands())
        self.assertIn("reboot\n", self.commands())
        with open(self.ctl.path("mnt", "firm", "firmware"), "rb") as f:
            self.assertEqual(f.read(), b"new firmware" * 1000)
        self.ctl.stop()
        c = self.ctl.start(port=True).client
        self.assertEqual(c.read_word(281) & 0x0200, 0)
        # The persistent status, copied into word 54278 at start and saved with the registers.
        self.assertTrue(wait_for(lambda: word_of(self.ctl.registers(), 54278) & 0x8000, 10))

    def test_nothing_newer(self):
        self.folder("V1549999")
        c = self.ctl.start(port=True).client
        c.set_mode(2)
        c.write_word(281, 0x8200)
        self.assertTrue(wait_for(lambda: c.read_word(281) & 0x8000 == 0, 10))
        self.assertIsNone(self.ctl.wait_exit(0.5))
        self.assertEqual(c.get_mode(), 2)
        self.assertNotIn("/mnt/firm/firmware", self.commands())

    def test_no_update_folder_ends_the_request(self):
        # A card without an UPDATE folder: the listing finds nothing, bit 15
        # is cleared all the same and the controller keeps running.
        os.rmdir(self.upd)
        c = self.ctl.start(port=True).client
        c.set_mode(2)
        c.write_word(281, 0x8200)
        self.assertTrue(wait_for(lambda: c.read_word(281) & 0x8000 == 0, 10), "bit 15 cleared")
        self.assertEqual(c.read_word(281), 0x0200)
        self.assertIsNone(self.ctl.wait_exit(0.5))
        self.assertEqual(c.get_mode(), 2)
        self.assertNotIn("/mnt/firm/firmware", self.commands())

    def test_root_file_with_erase(self):
        # Bit 8: the model file in the card's root; bit 11: the program is
        # erased with the update instead of stored.
        with open(self.ctl.path("mnt", "USB0", "vbx310c"), "wb") as f:
            f.write(b"root firmware")
        c = self.ctl.start(port=True).client
        self.assertTrue(os.path.exists(self.ctl.path("mnt", "cfg", "ladder.pgm")))
        c.set_mode(2)
        c.write_word(281, 0x0900)
        self.assertEqual(self.ctl.wait_exit(15), 3)
        self.assertIn("cp /mnt/USB/vbx310c /mnt/firm/firmware\n", self.commands())
        with open(self.ctl.path("mnt", "firm", "firmware"), "rb") as f:
            self.assertEqual(f.read(), b"root firmware")
        self.assertFalse(os.path.exists(self.ctl.path("mnt", "cfg", "ladder.pgm")), "erased, not stored")

    def test_keep_bit_leaves_the_folder_request_set(self):
        # Bit 10 keeps bit 9 after the update; without it bit 9 is cleared
        # (test_newest_folder_installed_and_reboot).
        self.folder("V1550001")
        c = self.ctl.start(port=True).client
        c.set_mode(2)
        c.write_word(281, 0x0600)
        self.assertEqual(self.ctl.wait_exit(15), 3)
        self.assertIn("reboot\n", self.commands())
        self.assertTrue(os.path.exists(self.ctl.path("mnt", "cfg", "ladder.pgm")), "stored, not erased")
        self.ctl.stop()
        shutil.rmtree(self.upd)  # nothing to install at the next start
        c = self.ctl.start(port=True).client
        self.assertEqual(c.read_word(281) & 0x0700, 0x0600)

    def test_failed_copy_sets_bit_14_and_keeps_running(self):
        # The firmware folder cannot take the file: no reboot, mode kept.
        self.folder("V1560001")
        os.makedirs(self.ctl.path("mnt"), exist_ok=True)
        open(self.ctl.path("mnt", "firm"), "wb").close()
        c = self.ctl.start(port=True).client
        c.set_mode(2)
        c.write_word(281, 0x0200)
        self.assertTrue(wait_for(lambda: c.read_word(281) & 0x4000, 10))
        self.assertIsNone(self.ctl.wait_exit(0.5))
        self.assertEqual(c.get_mode(), 2)
        self.assertNotIn("reboot", self.commands())

class Installation(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-install-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim", "usr/bin"))
        self.addCleanup(self.ctl.cleanup)
        open(self.ctl.path("dev", "mmcblk0p1"), "wb").close()
        os.symlink("USB0", self.ctl.path("mnt", "USB"))
        self.card = self.ctl.path("mnt", "USB0")

    def put(self, name, data):
        with open(os.path.join(self.card, name), "wb") as f:
            f.write(data)

    def commands(self):
        with open(self.ctl.path("sim", "commands.log")) as f:
            return f.read().splitlines()

    def leds(self):
        try:
            with open(self.ctl.path("sim", "leds")) as f:
                return f.read()
        except OSError:
            return ""

    def test_install_from_card(self):
        for n in ("qmkern.sb", "qminit.ufs", "qmfirm.ufs", "qmcfg.ufs"):
            self.put(n, n.encode() * 10)
        self.put("vbx420", b"420" * 100)
        self.put("vbx310c", b"310c" * 100)
        self.put("MACIDS.TXT", b"02:43:50:00:00:FF\r\n02:43:50:00:01:10\r\n")
        self.put("oeminfo.txt", b"5")
        open(self.ctl.path("usr", "bin", "ubiformat"), "wb").close()
        for f in ("ladder.pgm", "config.pgm"):
            with open(self.ctl.path("mnt", "cfg", f), "wb") as fh:
                fh.write(b"old")
        self.ctl.start(args=("X",), wait=False)
        self.assertTrue(wait_for(lambda: "Operation Completed" in self.ctl.console(), 20), self.ctl.console())
        # Both LEDs at code 2 (flashing with the service tick) for good.
        self.assertTrue(wait_for(lambda: re.search(r"^OK \d 2$", self.leds(), re.M) and
                                 re.search(r"^RUN \d 2$", self.leds(), re.M), 10), self.leds())
        self.assertEqual(self.ctl.children(), [], "the LED blinker ended with the installation")
        cmds = self.commands()
        want = ["flash_eraseall /dev/mtd0", "kobs-ng init /mnt/USB/qmkern.sb", "umount /mnt/firm", "umount /mnt/cfg",
                "ubidetach /dev/ubi_ctrl -d 0", "ubiformat /dev/mtd1 -q", "ubiattach /dev/ubi_ctrl -d 0 -m 1",
                "ubimkvol /dev/ubi0 -N rootfs1 -s 26MiB", "ubimkvol /dev/ubi0 -N firm -s 13MiB",
                "ubimkvol /dev/ubi0 -N cfg -s 64MiB", "ubiupdatevol /dev/ubi0_0 /mnt/USB/qminit.ufs",
                "ubiupdatevol /dev/ubi0_1 /mnt/USB/qmfirm.ufs", "ubiupdatevol /dev/ubi0_2 /mnt/USB/qmcfg.ufs",
                "mount -t ubifs ubi0:firm /mnt/firm", "mount -t ubifs ubi0:cfg /mnt/cfg",
                "cp /mnt/USB/vbx310c  /mnt/firm/firmware"]
        at = [cmds.index(c) for c in want]
        self.assertEqual(at, sorted(at))
        with open(self.ctl.path("mnt", "firm", "firmware"), "rb") as f:
            self.assertEqual(f.read(), b"310c" * 100)
        with open(self.ctl.path("mnt", "cfg", "TINYIMGE.BIN"), "rb") as f:
            self.assertEqual(f.read()[8:14], bytes([0x02, 0x43, 0x50, 0x00, 0x00, 0xFF]))
        with open(os.path.join(self.card, "MACIDS.TXT"), "rb") as f:
            self.assertEqual(f.read().split(b"\r\n")[:2], [b"02:43:50:00:01:00", b"02:43:50:00:01:10"])
        with open(self.ctl.path("mnt", "cfg", "oeminfo"), "rb") as f:
            self.assertEqual(f.read(), bytes([5]))
        for f in ("ladder.pgm", "config.pgm", "autoreg.dta", "bkpreg.dta"):
            self.assertFalse(os.path.exists(self.ctl.path("mnt", "cfg", f)), f)

    def test_load_button_update(self):
        self.put("vbx310c", b"fw" * 500)
        c = self.ctl.start(port=True).client
        c.set_mode(0)
        # An IEC application with a retained variable: the update clears its
        # retain file with the registers, and the reset writes none again.
        c.download(0, written("retain-program"))
        before = set(self.ctl.children())
        with open(self.ctl.path("sim", "buttons"), "w") as f:
            f.write("LOAD\n")
        self.assertTrue(wait_for(lambda: "cp /mnt/USB0/vbx310c  /mnt/firm/firmware" in self.commands(), 15))
        time.sleep(0.5)
        self.assertIsNone(self.ctl.wait_exit(0.1), "waits for the release")
        # the LED blinker, a child of its own, shows the wait
        blinker = set(self.ctl.children()) - before
        self.assertEqual(len(blinker), 1, (before, blinker))
        self.assertFalse(os.path.exists(self.ctl.path("mnt", "cfg", "ladder.pgm")))
        os.remove(self.ctl.path("sim", "buttons"))
        self.assertEqual(self.ctl.wait_exit(10), 3)
        with open(self.ctl.path("mnt", "firm", "firmware"), "rb") as f:
            self.assertEqual(f.read(), b"fw" * 500)
        self.assertFalse(os.path.exists(self.ctl.path("mnt", "cfg", "z7.ret")))


    def test_load_button_default_program(self):
        # A program clone made by a source controller becomes DEFAULT.PGM.
        src = Controller(prefix="plc-install-src-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(src.cleanup)
        c = src.start(port=True).client
        c.set_mode(0)
        prog = bytes([0x00, 0x38, 38, 0, 0x64, 0x38, 9, 0]) + bytes([0, 0x80, 0, 0]) + bytes(5)
        c.download(0, prog)
        time.sleep(1.5)
        c.write_reg(5680 + 8, 1, 1)
        self.assertTrue(wait_for(lambda: os.path.exists(src.path("mnt", "USB0", "clone.dat")), 30))
        time.sleep(0.5)
        with open(src.path("mnt", "USB0", "AUTOLOAD.PGM"), "rb") as f:
            self.put("DEFAULT.PGM", f.read())
        src.stop()

        d = self.ctl.start(port=True).client
        d.set_mode(0)
        d.download(0, bytes([9, 0]) + bytes([0, 0x80, 0, 0]) + bytes(5))
        with open(self.ctl.path("sim", "buttons"), "w") as f:
            f.write("LOAD\n")
        time.sleep(3.5)
        os.remove(self.ctl.path("sim", "buttons"))
        self.assertEqual(self.ctl.wait_exit(30), 3, self.ctl.console())
        self.ctl.stop()
        d = self.ctl.start(port=True).client
        self.assertEqual(d.upload(0), prog)


if __name__ == "__main__":
    unittest.main()
