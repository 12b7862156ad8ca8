"""The programming tool's file commands driven from outside through the
programming port: the answer frames byte for byte, a file stored in 63-byte
blocks and read back, the directory listing, and the refusals without a card;
the same through tools/plcclient.py's file commands."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller  # noqa: E402


class FileTransfer(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-fxp-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client

    def raw(self, line):
        """The answer frame's data bytes of one command line."""
        return self.c.expect_frame(self.c.transact(0x1C, bytes([self.c.target]) + line.encode()))

    def test_commands_store_read_list_on_the_card(self):
        c = self.c
        self.assertEqual(self.raw("mkd A:\\FX\\SUB"), bytes([0x01, 0x01]))
        self.assertTrue(os.path.isdir(self.ctl.path("mnt", "USB0", "FX", "SUB")))
        self.assertEqual(self.raw("cwd A:\\FX"), bytes([0xFA, 0x00]))
        self.assertEqual(self.raw("stor D.BIN"), bytes([0x96, 0x00]))
        data = bytes((i * 7 + 3) & 0xFF for i in range(48 * 63))
        for pos in range(0, len(data), 63):
            c.expect_byte(c.transact(0x1D, bytes([c.target]) + data[pos:pos + 63]))
        c.expect_byte(c.transact(0x1D, bytes([c.target]), 10.0))
        with open(self.ctl.path("mnt", "USB0", "FX", "D.BIN"), "rb") as f:
            self.assertEqual(f.read(), data)

        self.assertEqual(self.raw("retr D.BIN"), bytes([0x6B, 0x02, 0xD0, 0x0B, 0x00, 0x00]))
        got = bytearray()
        while True:
            chunk = c.expect_frame(c.transact(0x1E, bytes([c.target])))
            self.assertLessEqual(len(chunk), 64)
            if not chunk:
                break
            got += chunk
        self.assertEqual(bytes(got), data)
        # Nothing more to read: refused, never stale bytes.
        self.assertEqual(c.transact(0x1E, bytes([c.target])), ("byte", 0x09))

        code, total = c.fxp("list")
        self.assertEqual(code, 619)
        listing = c.fxp_read().decode()
        self.assertEqual(len(listing), total)
        lines = listing.split("\r\n")
        self.assertEqual(lines[-1], "")
        self.assertIn("D SUB 4096 ", listing)
        f_line = [ln for ln in lines if ln.startswith("F ")]
        self.assertEqual(len(f_line), 1)
        self.assertRegex(f_line[0], r"^F D\.BIN 3024 \d{1,2}:\d{1,2}:\d{1,2} \d{1,2}/\d{1,2}/\d{4} rsh$")

        # A "stor" over the file would replace it once whole; cut off by the
        # next command it leaves the file as it was.
        self.assertEqual(c.fxp("stor D.BIN"), (150, None))
        self.assertEqual(os.path.getsize(self.ctl.path("mnt", "USB0", "FX", "D.BIN")), 3024)
        self.assertEqual(c.fxp("cdup"), (200, None))
        self.assertEqual(c.fxp("cdup"), (618, None))
        self.assertEqual(c.fxp("rmd FX"), (617, None))
        self.assertEqual(c.fxp("retr A:\\..\\..\\etc\\passwd"), (501, None))
        self.assertEqual(c.fxp("rnfr FX\\D.BIN FX\\E.BIN"), (200, None))
        self.assertEqual(c.fxp("dele FX\\E.BIN"), (250, None))
        self.assertEqual(c.fxp("rmd FX\\SUB"), (250, None))
        self.assertEqual(c.fxp("retr FX\\NONE.BIN"), (550, None))
        self.assertEqual(c.fxp("frob"), (500, None))
        # Data blocks without an upload are refused, the closing one too.
        self.assertEqual(c.transact(0x1D, bytes([c.target, 1, 2])), ("byte", 0x09))
        self.assertEqual(c.transact(0x1D, bytes([c.target])), ("byte", 0x09))

        # The client's own transfer calls: a file of odd length to B: and back.
        os.makedirs(self.ctl.path("mnt", "USB1"))
        blob = os.urandom(5001)
        self.assertEqual(c.fxp('stor "B:\\TWO WORDS.BIN"'), (150, None))
        c.fxp_write(blob)
        self.assertEqual(c.fxp('retr "B:\\TWO WORDS.BIN"'), (619, 5001))
        self.assertEqual(c.fxp_read(), blob)

    def test_an_upload_cut_off_leaves_the_old_file(self):
        # A file-put stopped half-way (Ctrl-C on the client): the file keeps
        # its old content under its name, and the next upload replaces it.
        c = self.c
        path = self.ctl.path("mnt", "USB0", "OLD.BIN")
        with open(path, "wb") as f:
            f.write(b"old content")
        self.assertEqual(c.fxp("stor A:\\OLD.BIN"), (150, None))
        for _ in range(20):
            c.expect_byte(c.transact(0x1D, bytes([c.target]) + bytes(63)))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"old content")
        # The next upload, the first one never ended.
        self.assertEqual(c.fxp("stor A:\\OLD.BIN"), (150, None))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"old content")
        c.fxp_write(b"new content")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"new content")
        self.assertEqual(sorted(os.listdir(self.ctl.path("mnt", "USB0"))), ["OLD.BIN"])

    def test_no_card(self):
        os.rmdir(self.ctl.path("mnt", "USB0"))
        self.assertEqual(self.raw("mkd A:\\X"), bytes([0x63, 0x02]))  # 611
        self.assertEqual(self.raw("mkd Z:\\X"), bytes([0x01, 0x01]))  # 257
        self.assertTrue(os.path.isdir(self.ctl.path("mnt", "cfg", "X")))


if __name__ == "__main__":
    unittest.main()
