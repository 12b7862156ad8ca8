"""The file instructions of ladder programs on the SD card folder, driven
from outside: copy (249), rename (252), delete (253), format (254) and the
descriptor transfer (248) with their operand records, the refusals of a
missing file, a name that leaves the drive and a symbolic link; and a
program downloaded in run mode over one whose CSV writer still owns the
card writes its own CSV file in its first scans."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from test_media import END, M, Q, R, file_op, program, read, rung  # noqa: E402

S7 = 1536 + 6  # always on


def words(raw):
    if len(raw) % 2:
        raw += b"\0"
    return list(struct.unpack("<%dH" % (len(raw) // 2), raw))


def name(text):
    """A name held in the record: u32 count, the text on whole words."""
    raw = struct.pack("<I", len(text)) + text.encode()
    return raw + b"\0" * (len(raw) % 2)


def head(opcode, status, drive=0):
    """Opcode, drive, zeros up to the status reference (bytes 0..23)."""
    return struct.pack("<HH16xI", opcode, drive, status)


def name_op(opcode, status, first, second=None):
    raw = head(opcode, status) + (first if isinstance(first, bytes) else name(first))
    if second is not None:
        raw += name(second)
    return words(raw)


def reg_name(ref):
    """Name count 0: the name is in the string register at ref."""
    return struct.pack("<II", 0, ref)


def desc_write(status, data, file_name):
    """248 writing two values under the header "V,T": descriptors at 40,
    names "V," at 56 and "T," at 58, the file name behind them."""
    raw = struct.pack("<HHBBHHHIIIIIIHH", 248, 77, 1, 2, 0, 0, 0, data, status, len(file_name), 2, 4, 0, 0, 4)
    raw += struct.pack("<IBBH", 56, 2, 5, 1) + struct.pack("<IBBH", 58, 2, 8, 1) + b"V,T,"
    return words(raw + file_name.encode())


def desc_read(status, data, file_name):
    """248 reading one row of two values, the row counter restarting at 1."""
    raw = struct.pack("<HHBBHHHIIIIIIHH", 248, 0, 0, 0, 0, 0, 0, data, status, len(file_name), 2, 0, 0, 0, 0)
    raw += struct.pack("<HH", 1, 0) + struct.pack("<BBH", 0, 5, 1) + struct.pack("<BBH", 0, 8, 1)
    return words(raw + file_name.encode())


class LadderFileInstructions(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-ladfile-", dirs=("dev", "mnt/cfg", "mnt/USB0", "mnt/USB1", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.card = self.ctl.path("mnt", "USB0")

    def start(self, words_):
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        self.c.download(0, program(words_))

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def final(self, ref, timeout=10):
        """The status word once it is neither 65534 (running) nor 65532 (off)."""
        seen = []

        def done():
            seen[:] = [self.word(ref)]
            return seen[0] not in (65534, 65532)
        self.assertTrue(wait_for(done, timeout), "status at %d still %r" % (ref, seen))
        return seen[0]

    def run_rung(self, m, status):
        self.c.write_reg(m, 1, 1)
        s = self.final(status)
        self.c.write_reg(m, 1, 0)
        self.assertTrue(wait_for(lambda: self.word(status) == 65532, 5), "released")
        return s

    def card_file(self, *p):
        return os.path.join(self.card, *p)

    def test_copy_rename_delete_format_descriptors_and_refusals(self):
        os.mkdir(self.card_file("SRC"))
        with open(self.card_file("SRC", "a.csv"), "wb") as f:
            f.write(b"1,2\r\n")
        with open(self.ctl.path("mnt", "USB1", "old.txt"), "wb") as f:
            f.write(b"O")
        outside = self.ctl.path("outside.csv")
        with open(outside, "wb") as f:
            f.write(b"S")
        os.symlink(outside, self.card_file("LINK.CSV"))
        prog = (rung(M(1), name_op(249, R(100), "A:\\SRC\\A.CSV", "A:\\DST\\C.CSV"), Q(1))
                + rung(M(2), name_op(252, R(103), "A:\\SRC\\A.CSV", "A:\\SRC\\R.CSV"), Q(2))
                + rung(M(3), name_op(253, R(106), reg_name(R(200))), Q(3))
                + rung(M(4), words(head(254, R(109), drive=1)), Q(4))
                + rung(M(5), desc_write(R(112), R(10), "A:\\D"), Q(5))
                + rung(M(6), desc_read(R(115), R(20), "A:\\D.CSV"), Q(6))
                + rung(M(7), name_op(249, R(120), "A:\\NONE.CSV", "A:\\X.CSV"), Q(7))
                + rung(M(8), name_op(249, R(123), "A:\\..\\ESC.CSV", "A:\\Y.CSV"), Q(8))
                + rung(M(9), name_op(253, R(126), "A:\\LINK.CSV"), Q(9))
                + rung(M(10), name_op(249, R(129), "A:\\LINK.CSV", "A:\\Z.CSV"), Q(10))
                + rung(M(11), name_op(252, R(132), "A:\\NONE.CSV", "A:\\W.CSV"), Q(11))
                + rung(M(12), name_op(253, R(135), "A:\\NONE.CSV"), Q(12))
                + [9])
        self.start(prog)
        target = b"A:\\DST\\C.CSV"
        self.c.write_reg(R(200), 16, len(target) << 8)
        self.c.write_reg(R(201), 8 * len(target), int.from_bytes(target, "little"))
        self.c.set_mode(2)

        self.assertEqual(self.run_rung(M(1), R(100)), 0)
        self.assertEqual(read(self.card_file("DST", "C.CSV")), b"1,2\r\n")
        self.assertEqual(self.run_rung(M(2), R(103)), 0)
        self.assertEqual(read(self.card_file("SRC", "R.CSV")), b"1,2\r\n")
        self.assertEqual(os.listdir(self.card_file("SRC")), ["R.CSV"])
        self.assertEqual(self.run_rung(M(3), R(106)), 0)
        self.assertEqual(os.listdir(self.card_file("DST")), [])
        self.assertEqual(self.run_rung(M(4), R(109)), 0)
        self.assertEqual(os.listdir(self.ctl.path("mnt", "USB1")), [])

        for row in (1, 2):
            self.c.write_reg(R(10), 16, (-row) & 0xFFFF)
            self.c.write_reg(R(11), 16, 11 * row)
            self.assertEqual(self.run_rung(M(5), R(112)), 0)
            self.assertEqual(self.word(R(113)), 2)
        self.assertEqual(read(self.card_file("D.CSV")), b"V,T\r\n-1,11\r\n-2,22\r\n")
        for row in (1, 2):
            self.assertEqual(self.run_rung(M(6), R(115)), 0)
            self.assertEqual((self.word(R(20)), self.word(R(21))), ((-row) & 0xFFFF, 11 * row))
        self.assertEqual(self.word(R(117)), 3)

        # Refusals: a missing file, a name that leaves the drive, a link. A
        # copy of a missing file starts and fails (5).
        self.assertEqual(self.run_rung(M(12), R(135)), 66)
        self.assertEqual(self.run_rung(M(7), R(120)), 5)
        self.assertEqual(self.run_rung(M(8), R(123)), 86)
        self.assertEqual(self.run_rung(M(9), R(126)), 66)
        self.assertEqual(self.run_rung(M(10), R(129)), 66)
        self.assertEqual(self.run_rung(M(11), R(132)), 66)
        self.assertEqual(read(outside), b"S")
        self.assertTrue(os.path.islink(self.card_file("LINK.CSV")))
        self.assertEqual(sorted(os.listdir(self.card)), ["D.CSV", "DST", "LINK.CSV", "SRC"])

    def test_format_runs_beside_the_scan_and_holds_its_drive(self):
        """A format of the card (254) runs as a worker job: the scan goes on
        meanwhile, and a copy onto the card asked 300 ms later (a timer of
        the program; its transfer slot that of the stick, as the format
        holds the card's) answers 94; the format's status is the drive check
        translated: 0 once formatted, 2 for a stick that is not there."""
        os.mkdir(self.card_file("SRC"))
        with open(self.card_file("SRC", "A.CSV"), "wb") as f:
            f.write(b"1\r\n")
        prog = (rung(M(20), words(head(254, R(143), drive=0)), Q(12))
                + [M(22), 209, R(50), 3, 38, M(21)]
                + rung(M(21), words(head(249, R(140), drive=1) + name("A:\\SRC\\A.CSV") + name("A:\\DST\\C.CSV")),
                       Q(11))
                + rung(M(4), words(head(254, R(109), drive=1)), Q(4))
                + [9])
        self.start(prog)
        self.c.set_mode(2)
        self.c.write_reg(M(20), 1, 1)
        self.c.write_reg(M(22), 1, 1)
        self.assertEqual(self.final(R(140)), 94)
        self.c.write_reg(M(22), 1, 0)
        self.assertEqual(self.final(R(143)), 0)
        self.assertEqual(os.listdir(self.card), [])
        self.c.write_reg(M(20), 1, 0)
        os.rename(self.ctl.path("mnt", "USB1"), self.ctl.path("mnt", "USB1.out"))
        self.assertEqual(self.run_rung(M(4), R(109)), 2)

    def test_program_downloaded_in_run_mode_writes_in_its_first_scans(self):
        first = rung(S7, file_op(251, 2 | END, R(1), 5, 0, 1, R(100), "A:\\ONE.CSV"), Q(1)) + [9]
        self.start(first)
        self.c.write_reg(R(1), 16, 41)
        self.c.set_mode(2)
        self.assertEqual(self.final(R(100)), 0)
        self.assertEqual(read(self.card_file("ONE.CSV")), b"41\r\n")
        # The writer keeps the card while its rung stays on; the new program's
        # writer lies elsewhere in the stream.
        second = ([M(20), 38, Q(9)]
                  + rung(S7, file_op(251, 2 | END, R(1), 5, 0, 1, R(102), "A:\\TWO.CSV"), Q(2)) + [9])
        self.c.download(0, program(second))
        self.assertEqual(self.c.get_mode(), 2)
        self.assertEqual(self.final(R(102)), 0)
        self.assertEqual(read(self.card_file("TWO.CSV")), b"41\r\n")


if __name__ == "__main__":
    unittest.main()
