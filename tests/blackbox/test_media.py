"""Removable media driven from outside: ladder programs downloaded through
the programming port write and read CSV files on the SD card folder, which
Python's csv module writes and reads; the card's status, space and safe
removal in system registers; the data-log table downloaded as memory file 22
and its daily and hourly files."""

import calendar
import csv
import io
import os
import re
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402


def M(n):
    return 14336 + n - 1


def Q(n):
    return 10240 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def SR(n):
    return 3072 + 16 * (n - 1)


def program(words):
    """Program data: the words, the editor features (bit 15: 16-bit layout)
    nine bytes before the end, five trailer bytes."""
    data = b"".join(struct.pack("<H", w & 0xFFFF) for w in words)
    return data + struct.pack("<I", 0x8000) + bytes(5)


def file_op(opcode, flags, data, fmt, start, count, status, name, drive=0, kind=1):
    """Operand record of a file instruction, name inline."""
    raw = struct.pack("<HHBBIHIIII", opcode, drive, kind, flags, data, fmt, start & 0xFFFFFFFF, count, status,
                      len(name)) + name.encode()
    if len(raw) % 2:
        raw += b"\0"
    return list(struct.unpack("<%dH" % (len(raw) // 2), raw))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def rung(enable, op, coil):
    return [enable] + op + [38, coil]


END = 0x10


def log_table(enable, status, groups):
    """Data-log table: header, group records with their items, text area."""
    text = bytearray()

    def add(s):
        off = len(text)
        text.extend(s.encode())
        return off

    recs = bytearray()
    for g in groups:
        items = g["items"]
        r = bytearray(44 + 16 * len(items))
        struct.pack_into("<IH", r, 0, add(g.get("sub", "")), len(g.get("sub", "")))
        struct.pack_into("<IIII", r, 8, g.get("trigger", 0), g.get("status", 0), g.get("period", 0),
                         g.get("long", 0))
        struct.pack_into("<II", r, 24, add(g["folder"]), len(g["folder"]))
        r[32] = g.get("date", 0)
        r[36] = g.get("time", 0)
        struct.pack_into("<I", r, 40, len(items))
        for i, (addr, vtype, name) in enumerate(items):
            struct.pack_into("<IB3xII", r, 44 + 16 * i, addr, vtype, add(name), len(name))
        recs += r
    body = bytearray(24) + recs + text
    if len(body) < 84:
        body += bytes(84 - len(body))
    struct.pack_into("<II4xII2xH", body, 0, len(body), 0x444C4F47, enable, status, len(groups))
    return bytes(body)


class MediaFromOutside(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-media-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.card = self.ctl.path("mnt", "USB0")

    def start(self, words, rtc=None):
        if rtc is not None:
            with open(self.ctl.path("sim", "rtc"), "w") as f:
                f.write("%d\n" % (calendar.timegm(rtc) - int(time.time())))
        self.c = self.ctl.start(port=True, wait=False).client
        self.c.set_mode(0)
        self.c.download(0, program(words))

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def dword(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 32), "little")

    def set_bit(self, ref, v):
        self.c.write_reg(ref, 1, 1 if v else 0)

    def wait_status(self, ref, timeout=10.0):
        """The status word once it has left 65534 (in progress)."""
        wait_for(lambda: self.word(ref) != 65534, timeout, 0.05)
        return self.word(ref)

    def test_csv_files_written_and_read_with_the_csv_module(self):
        words = (rung(M(1), file_op(251, 3 | END, R(1), 5, 3, 6, R(100), "A:\\OUT\\W01.CSV"), Q(1))
                 + rung(M(2), file_op(250, 0, R(10), 5, 2, 4, R(102), "A:\\IN.CSV"), Q(2))
                 + rung(M(3), file_op(250, 0, R(20), 5, 0x80030000, 1, R(104), "A:\\IN.CSV"), Q(3))
                 + rung(M(4), file_op(250, 0, R(30), 0, 0, 20, R(106), "A:\\TEXT.CSV"), Q(4))
                 + rung(M(5), file_op(251, 1 | END, R(40), 4, 0, 2, R(108), "A:\\OUT\\W01.CSV"), Q(5))
                 + rung(M(6), file_op(251, 0 | END, R(40), 4, 0, 2, R(110), "A:\\OUT\\W01.CSV"), Q(6))
                 + rung(M(7), file_op(251, 2 | END, R(1), 5, 0, 1, R(112), "A:\\TWO.CSV"), Q(7))
                 + rung(M(8), file_op(251, 2 | END, R(2), 5, 0, 1, R(114), "A:\\TWO.CSV"), Q(8))
                 + [9])
        with open(os.path.join(self.card, "in.csv"), "w", newline="") as f:
            w = csv.writer(f, lineterminator="\r\n")
            for row in ([10, 20, 30], [-40, 50, 60], [70, 80, 90], [100, 110, 120], [130, 140, 150]):
                w.writerow(row)
        with open(os.path.join(self.card, "text.csv"), "w", newline="") as f:
            csv.writer(f, lineterminator="\r\n").writerow(["ab,c", "x"])
        self.start(words)
        for i, v in enumerate([1, -2, 300, -32768, 32767, 0]):
            self.c.write_reg(R(1 + i), 16, v & 0xFFFF)
        self.c.write_reg(R(40), 16, 0xBEEF)
        self.c.write_reg(R(41), 16, 0x7F)
        self.c.set_mode(2)

        # Written, then read back by the csv module exactly.
        self.set_bit(M(1), 1)
        self.assertEqual(self.wait_status(R(100)), 0)
        self.assertEqual(self.word(R(101)), 6)
        self.assertTrue(wait_for(lambda: self.c.read_reg(Q(1), 1)[0] & 1, 3))
        path = os.path.join(self.card, "OUT", "W01.CSV")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"1,-2,300\r\n-32768,32767,0\r\n")
        with open(path, newline="") as f:
            self.assertEqual(list(csv.reader(f)), [["1", "-2", "300"], ["-32768", "32767", "0"]])
        self.set_bit(M(1), 0)
        self.assertTrue(wait_for(lambda: self.word(R(100)) == 65532, 3))

        # Appending, a refused new file, nothing changed by the refusal.
        self.set_bit(M(5), 1)
        self.assertEqual(self.wait_status(R(108)), 0)
        self.set_bit(M(5), 0)
        self.set_bit(M(6), 1)
        self.assertEqual(self.wait_status(R(110)), 81)
        self.set_bit(M(6), 0)
        with open(path, newline="") as f:
            self.assertEqual(list(csv.reader(f))[-1], ["BEEF", "7F"])

        # Rows, a column and quoted text read from files the csv module wrote.
        self.set_bit(M(2), 1)
        self.assertEqual(self.wait_status(R(102)), 0)
        self.set_bit(M(2), 0)
        self.assertEqual([self.word(R(10 + i)) for i in range(4)], [30, 0x10000 - 40, 50, 60])
        self.set_bit(M(3), 1)
        self.assertEqual(self.wait_status(R(104)), 0)
        self.assertEqual(self.word(R(105)), 3)
        self.set_bit(M(3), 0)
        self.assertEqual([self.word(R(20 + i)) for i in range(3)], [20, 50, 80])
        self.set_bit(M(4), 1)
        self.assertEqual(self.wait_status(R(106)), 0)
        self.assertEqual(self.word(R(107)), 4)
        self.assertEqual(self.c.read_reg(R(30), 48)[:5], b"ab,c\0")
        self.set_bit(M(4), 0)

        # Two writers on the card: the second waits until the first is released.
        self.c.write_reg(R(1), 16, 111)
        self.c.write_reg(R(2), 16, 222)
        self.set_bit(M(7), 1)
        self.assertEqual(self.wait_status(R(112)), 0)
        self.set_bit(M(8), 1)
        time.sleep(0.3)
        self.assertEqual(self.word(R(114)), 65533)
        self.set_bit(M(7), 0)
        self.assertEqual(self.wait_status(R(114)), 0)
        with open(os.path.join(self.card, "TWO.CSV"), newline="") as f:
            self.assertEqual(list(csv.reader(f)), [["111"], ["222"]])

        # The client's listing: files a user put on the card, whatever their
        # mode, read as plain as those the controller wrote (r, s, h: none set).
        os.chmod(os.path.join(self.card, "in.csv"), 0o600)
        os.chmod(os.path.join(self.card, "text.csv"), 0o644)
        code, total = self.c.fxp("list")
        self.assertEqual(code, 619)
        listing = self.c.fxp_read().decode()
        self.assertEqual(len(listing), total)
        entries = sorted(re.match(r"^([DF]) (\S+) \d+ \d+:\d+:\d+ \d+/\d+/\d+ (\S+)$", ln).group(1, 2, 3)
                         for ln in listing.split("\r\n")[:-1])
        self.assertEqual(entries, [("D", "OUT", "rsh"), ("F", "TWO.CSV", "rsh"), ("F", "in.csv", "rsh"),
                                   ("F", "text.csv", "rsh")])

    def test_card_status_space_pulled_card_and_safe_removal(self):
        words = rung(M(1), file_op(251, 2 | END, R(1), 8, 0, 1, R(100), "A:\\S.CSV"), Q(1)) + [9]
        self.start(words)
        self.c.write_reg(R(1), 16, 42)
        self.c.set_mode(2)
        st = os.statvfs(self.card)
        total = st.f_blocks * st.f_frsize // 1024
        self.assertTrue(wait_for(lambda: self.dword(SR(178)) == total, 5), (self.dword(SR(178)), total))
        self.assertEqual(self.word(SR(175)), 0)
        self.assertGreater(self.dword(SR(176)), 0)

        # Pulled: status 2, no space, a write answers 2.
        os.rename(self.card, self.card + ".out")
        self.assertTrue(wait_for(lambda: self.word(SR(175)) == 2, 5))
        self.assertEqual(self.dword(SR(176)), 0)
        self.assertEqual(self.dword(SR(178)), 0)
        self.set_bit(M(1), 1)
        self.assertEqual(self.wait_status(R(100)), 2)
        self.set_bit(M(1), 0)
        os.rename(self.card + ".out", self.card)
        self.assertTrue(wait_for(lambda: self.word(SR(175)) == 0, 5))

        # Safe removal: granted (3) with status 6; a write waits meanwhile.
        self.c.write_reg(SR(174), 16, 1)
        self.assertTrue(wait_for(lambda: self.word(SR(174)) == 3, 5))
        self.assertEqual(self.word(SR(175)), 6)
        self.set_bit(M(1), 1)
        time.sleep(1.0)
        self.assertEqual(self.word(R(100)), 65534)
        self.assertFalse(os.path.exists(os.path.join(self.card, "S.CSV")))
        self.c.write_reg(SR(174), 16, 0)
        self.assertEqual(self.wait_status(R(100)), 0)
        with open(os.path.join(self.card, "S.CSV"), "rb") as f:
            self.assertEqual(f.read(), b"42\r\n")
        self.assertTrue(wait_for(lambda: self.word(SR(175)) == 0, 5))

    def test_data_log_table_writes_daily_hourly_and_triggered_rows(self):
        table = log_table(M(1), R(200), [
            {"folder": "LOGS", "period": 60, "long": 1, "date": 4, "time": 3, "status": R(202),
             "items": [(R(1), 4, "V")]},
            {"folder": "LOGS", "sub": "H", "period": 3600, "long": 0, "date": 0, "time": 0,
             "items": [(R(2), 4, "V")]},
            {"folder": "EV", "trigger": M(2),
             "items": [(R(3), 2, "S"), (R(4), 4, "U"), (R(5), 6, "H"), (R(6), 1, "B"), (R(7), 9, "IP"),
                       (R(9), 7, "ATextColumnNameLonger")]},
        ])
        words = (rung(M(3), file_op(251, 3 | END, R(1), 8, 0, 1, R(300), "A:\\OUT\\L$Y$M$D.CSV"), Q(3))
                 + rung(M(4), file_op(251, 3 | END, R(1), 8, 0, 1, R(302), "OUT\\NN$1u3.CSV"), Q(4)) + [9])
        self.start(words, rtc=(2025, 12, 7, 14, 3, 0, 0, 0, 0))
        self.c.download(22, table)
        for ref, v in ((R(1), 23130), (R(2), 40000), (R(3), 0xFFFE), (R(4), 0xFFFE), (R(5), 0xAB),
                       (R(6), 0x8001)):
            self.c.write_reg(ref, 16, v)
        self.c.write_reg(R(7), 32, bytes([1, 0, 0xA8, 0xC0]))
        self.c.write_reg(R(9), 128, b"ABCDEFGHIJKLMNOP")
        self.c.set_mode(2)
        self.set_bit(M(1), 1)
        daily = os.path.join(self.card, "LOGS", "251207.CSV")
        hourly = os.path.join(self.card, "LOGS", "H", "120714.CSV")
        self.assertTrue(wait_for(lambda: os.path.exists(daily) and os.path.exists(hourly), 10))
        self.assertTrue(wait_for(lambda: read(hourly).count(b"\r\n") == 2, 5))  # heading and row
        self.assertTrue(wait_for(lambda: read(daily).count(b"\r\n") == 2, 5))
        with open(daily, "rb") as f:
            self.assertRegex(f.read().decode(), r"\ADate,Time,V\r\n07-Dec-25,02:03:[0-5]\d PM,23130\r\n\Z")
        with open(hourly, newline="") as f:
            self.assertEqual(list(csv.reader(f)), [["Date", "Time", "V"], ["12/07", "14:03", "40000"]])
        # A rising edge logs one row of every value text.
        self.set_bit(M(2), 1)
        ev = os.path.join(self.card, "EV", "120714.CSV")
        self.assertTrue(wait_for(lambda: os.path.exists(ev) and read(ev).count(b"\r\n") == 2, 10))
        with open(ev, newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["Date", "Time", "S", "U", "H", "B", "IP", "ATextColumnNameL"])
        self.assertEqual(rows[1][2:], ["-2", "65534", "00ABH", "1000000000000001B", "192.168.0.1",
                                       "ABCDEFGHIJKLMNOP"])
        self.assertEqual(self.word(R(200)), 0)
        # Names with meta sequences, expanded from the controller's clock.
        self.set_bit(M(3), 1)
        self.set_bit(M(4), 1)
        self.assertEqual(self.wait_status(R(300)), 0)
        self.set_bit(M(3), 0)
        self.assertEqual(self.wait_status(R(302)), 0)
        self.assertEqual(read(os.path.join(self.card, "OUT", "L251207.CSV")), b"23130\r\n")
        self.assertEqual(read(os.path.join(self.card, "OUT", "NN000.CSV")), b"23130\r\n")


if __name__ == "__main__":
    unittest.main()
