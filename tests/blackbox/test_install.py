"""MAC IDs and updates from outside: the MAC image downloaded as memory file
type 19 stored and mirrored in the registers only when it carries the maker's
identifier."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
