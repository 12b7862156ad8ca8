"""Serial Modbus on the programming port: the ladder program opens the port
in RTU or ASCII mode and runs the Modbus instruction as a slave or a master;
the test is the peer at the far end of the port's pseudo-terminal and talks
raw frames (CRCs from the independent crc16 of bbsupport)."""

import os
import select
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, crc16, wait_for  # noqa: E402


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def program(words):
    data = b"".join(struct.pack("<H", w & 0xFFFF) for w in words)
    return data + struct.pack("<I", 0x8000) + bytes(5)


def modbus_program(mode, station, timeout, control, data, status):
    """%M1 opens port 0 (9600 baud, 8 bits, protocol mode); while it is open
    the Modbus instruction runs."""
    return [M(1), 132, 0, 5 | 0 << 8, 3 | 0 << 8, 0 | mode << 8, 38, M(11),
            M(11), 137, 0, station, timeout, control, data, status, 38, M(12), 9]


# Silence between frames the test sends without waiting for an answer: the
# controller tells frames apart by the silence it sees when it reads them.
GAP = 0.2


def rtu(hextext):
    b = bytes.fromhex(hextext)
    c = crc16(b)
    return b + bytes([c & 0xFF, c >> 8])


class SerialModbus(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-mbs-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True, wait=False).client

    def run_program(self, words, regs, drain=True):
        self.c.set_mode(0)
        self.c.download(0, program(words))
        self.c.set_mode(2)
        for ref, v in regs:
            self.c.write_reg(ref, 16, v)
        self.c.write_reg(M(1), 1, 1)
        if drain:  # the answer to the last command is the port's last command frame
            time.sleep(0.05)
            self.drain()

    def drain(self):
        while select.select([self.ctl.master], [], [], 0.2)[0]:
            os.read(self.ctl.master, 4096)

    def read_n(self, n, timeout=5.0):
        out = b""
        end = time.monotonic() + timeout
        while len(out) < n and time.monotonic() < end:
            if select.select([self.ctl.master], [], [], 0.05)[0]:
                out += os.read(self.ctl.master, n - len(out))
        return out

    def ask(self, frame, n):
        """Sends a frame after a silence and answers the next n bytes."""
        time.sleep(0.02)  # frame gap before the request, not a wait for a result
        os.write(self.ctl.master, frame)
        return self.read_n(n)

    def answer(self, frame, n):
        """The answer to frame, sent after a silence and again while nothing
        comes back (a loaded machine may read two writes as one frame);
        every byte read is kept, so an answer to an earlier frame shows."""
        got = b""
        for _ in range(5):
            time.sleep(GAP)
            os.write(self.ctl.master, frame)
            got += self.read_n(n, 2.0)
            if got:
                break
        return got

    def saved_word(self, ref):
        img = self.ctl.registers()
        at = (ref - 1024) // 8
        return img[at] | img[at + 1] << 8

    def test_rtu_slave(self):
        regs = [(R(5), 0x0A0B), (R(6), 0x0C0D), (R(7), 0x1234), (R(8), 0xFFFE)]
        self.run_program(modbus_program(3, 0x11, 0, 0, R(50), R(51)), regs)
        # The port turns to Modbus once the program saw %M1: poll with reads.
        read = bytes.fromhex("1103020400 04 06E0".replace(" ", ""))
        want = bytes.fromhex("1103080A0B0C0D1234FFFE5263")
        self.assertTrue(wait_for(lambda: self.ask(read, 13) == want, 10))
        cases = [
            # (request, answer) whole frames
            ("11 06 02 14 0B EE 4D 9A", "11 06 02 14 0B EE 4D 9A"),
            (rtu("11 03 02 14 00 01"), rtu("11 03 02 0B EE")),
            ("11 16 02 14 F0 F2 00 25 95 C3", "11 16 02 14 F0 F2 00 25 95 C3"),
            (rtu("11 03 02 14 00 01"), rtu("11 03 02 00 E7")),
            ("11 03 02 04 00 7E 87 03", "11 83 03 00 F4"),
            (rtu("11 07"), "11 07 00 23 F5"),
            (rtu("11 2B 0E 01 00"), "11 AB 01 9F 35"),
            # FC16 with a byte count that does not match the quantity: exception 3, nothing written
            (rtu("11 10 02 14 00 02 02 12 34"), rtu("11 90 03")),
            (rtu("11 10 02 14 00 01 02 12 34"), rtu("11 10 02 14 00 01")),
            (rtu("11 03 02 14 00 01"), rtu("11 03 02 12 34")),
            # coils: %Q1, %Q3 by FC15 then read back by FC1
            (rtu("11 0F 00 00 00 03 01 05"), rtu("11 0F 00 00 00 03")),
            (rtu("11 01 00 00 00 03"), rtu("11 01 01 05")),
            # diagnostics: echo, then bus message count
            (rtu("11 08 00 00 AB CD"), rtu("11 08 00 00 AB CD")),
            (rtu("11 08 00 63 00 00"), rtu("11 88 02")),
            # function 65: the three bytes 0, 65, 0 stand for the whole answer
            (rtu("11 41"), rtu("00 41 00")),
        ]
        for req, ans in cases:
            rq = bytes.fromhex(req) if isinstance(req, str) else req
            an = bytes.fromhex(ans) if isinstance(ans, str) else ans
            self.assertEqual(self.ask(rq, len(an)).hex(" "), an.hex(" "), rq.hex(" "))
        # Bad CRC and another station: silence; the next request's answer is
        # the first thing on the line. A trailing byte after a good frame is dropped.
        os.write(self.ctl.master, bytes.fromhex("11 03 02 04 00 04 06 E1"))
        time.sleep(GAP)
        os.write(self.ctl.master, rtu("12 03 02 04 00 04"))
        got = self.answer(rtu("11 03 02 04 00 01") + b"\x55", 7)
        self.assertEqual(got.hex(" "), rtu("11 03 02 0A 0B").hex(" "))
        # Broadcast: carried out, no answer.
        time.sleep(GAP)
        os.write(self.ctl.master, bytes.fromhex("00 06 02 0A 55 55 56 CE"))
        got = self.answer(rtu("11 03 02 0A 00 01"), 7)
        self.assertEqual(got.hex(" "), rtu("11 03 02 55 55").hex(" "))
        # Diagnostic counters: comm errors (the bad CRC) and listen-only mode.
        self.assertEqual(self.answer(rtu("11 08 00 0C 00 00"), 8).hex(" "), rtu("11 08 00 0C 00 01").hex(" "))
        time.sleep(GAP)
        os.write(self.ctl.master, rtu("11 08 00 04 00 00"))  # listen only: no answer
        time.sleep(GAP)
        os.write(self.ctl.master, rtu("11 03 02 0A 00 01"))  # not answered
        time.sleep(GAP)
        os.write(self.ctl.master, rtu("11 08 00 01 00 00"))  # leaves listen-only, unanswered
        self.assertEqual(self.read_n(8, 1.0), b"")
        self.assertEqual(self.answer(rtu("11 08 00 0F 00 00"), 8).hex(" "), rtu("11 08 00 0F 00 00").hex(" "))

    def test_ascii_slave(self):
        regs = [(R(5), 0x0A0B), (R(6), 0x0C0D), (R(7), 0x1234), (R(8), 0xFFFE)]
        self.run_program(modbus_program(4, 0x11, 0, 0, R(50), R(51)), regs)
        req = b":110302040004E2\r\n"
        want = b":1103080A0B0C0D1234FFFE73\r\n"
        self.assertTrue(wait_for(lambda: self.ask(req, len(want)) == want, 10))
        # Wrong LRC: no answer; the next request is answered.
        os.write(self.ctl.master, b":110302040004E3\r\n")
        self.assertEqual(self.answer(b":110602140BEEDA\r\n", 17), b":110602140BEEDA\r\n")

    def test_rtu_master(self):
        # Request record at %R60: station 0x11, FC3, start 0x6B, 3 words into %R200.
        regs = [(R(60 + i), v) for i, v in enumerate([0x11, 3, 0x6B, 3, 8, 199])] + [(R(40), 1)]
        self.run_program(modbus_program(3, 0, 10, R(40), R(60), R(41)), regs, drain=False)
        seen = b""
        want = bytes.fromhex("11 03 00 6B 00 03 76 87")
        end = time.monotonic() + 10
        while not seen.endswith(want) and time.monotonic() < end:
            seen += self.read_n(1, 0.2)
        self.assertTrue(seen.endswith(want), seen.hex(" "))
        os.write(self.ctl.master, bytes.fromhex("11 03 06 AE 41 56 52 43 40 49 AD"))
        self.assertTrue(wait_for(lambda: self.saved_word(R(41)) == 1, 10), self.saved_word(R(41)))
        self.assertEqual([self.saved_word(R(200 + i)) for i in range(3)], [0xAE41, 0x5652, 0x4340])


if __name__ == "__main__":
    unittest.main()
