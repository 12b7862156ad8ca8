"""Ladder programs of the extended encoding run in the controller: floats,
compares, strings, typed arithmetic, conversions, indexed and pointer access,
bit by number, block moves, text, the clock set, steps and the extended
timers. Each program is downloaded as memory file 0, the controller is set
to mode 2, and the registers are read back over the programming port."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from test_ladder import LadderCase, program  # noqa: E402


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def RB(n):
    """Byte offset of %R n in the register image."""
    return 2 * (1983 + n)


def EM(n):
    return 0x1001C000 + n - 1


def F(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


NAN = 0x7FC00000
INF = 0x7F800000
ON, OFF = [M(100), 33], [M(100), 34]  # a contact forced on or off


def d(v):
    v &= 0xFFFFFFFF
    return [v & 0xFFFF, v >> 16]


def push16(*vals):
    out = []
    for v in vals:
        out += [81, v & 0xFFFF]
    return out


def push32(*vals):
    out = []
    for v in vals:
        out += [84] + d(v)
    return out


def text_words(s, n=None):
    b = s.encode() if isinstance(s, str) else bytes(s)
    if n is not None:
        b = b.ljust(n, b"\0")
    if len(b) % 2:
        b += b"\0"
    return [b[i] | b[i + 1] << 8 for i in range(0, len(b), 2)]


def put_text(reg, s):
    """Inline copy of a zero-terminated text into the bytes of %R reg."""
    b = s.encode() + b"\0"
    return [183, len(b)] + d(R(reg)) + text_words(b)


def put_counted(reg, cap, s):
    b = bytes([cap, len(s)]) + s.encode()
    return [183, len(b)] + d(R(reg)) + text_words(b)


class Rungs:
    """Rungs whose value goes to their own %R and power to their own %M."""

    def __init__(self):
        self.words = []
        self.want = []
        self.next = 1

    def setup(self, words):
        self.words += words

    def rung(self, what, on, body, width, value, power):
        out = self.next
        self.next += 2
        self.words += (ON if on else OFF) + body
        if width == 16:
            self.words += [82] + d(R(out))
        elif width == 32:
            self.words += [85] + d(R(out))
        self.words += [38] + d(M(out))
        self.want.append((what, out, width, value, power))


class LadderExtInController(LadderCase):
    PREFIX = "plc-ladext-"
    END_WORDS = [9]
    LAYOUT16 = False

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def dword(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 32), "little")

    def text(self, reg, n=24):
        raw = self.c.read_reg(R(reg), 8 * n)
        return raw.split(b"\0")[0].decode("latin-1")

    def counted(self, reg):
        raw = self.c.read_reg(R(reg), 8 * 24)
        return raw[0], raw[2:2 + raw[1]].decode("latin-1")

    def check(self, rungs):
        for what, out, width, value, power in rungs.want:
            if width == 16:
                self.assertEqual(self.word(R(out)), value, what)
            elif width == 32:
                self.assertEqual(self.dword(R(out)), value, what)
            self.assertEqual(self.bit(M(out)), 1 if power else 0, what + " (power)")

    def test_values_powers_and_refusals(self):
        r = Rungs()
        # Inputs, set by the program itself on every scan.
        r.setup(put_text(400, "12ab") + put_text(410, "3000000000") + put_text(420, "99999999999")
                + put_text(430, "Hello") + [92] + d(R(440)) + [1234] + [92] + d(R(441)) + [5]
                + [96] + d(R(442)) + d(0xFFFFFFFF) + [96] + d(R(444)) + d(F(300.7))
                + [96] + d(R(446)) + d(F(4294967296.0)) + [96] + d(R(448)) + d(0x4F7FFFFF)
                + [96] + d(R(450)) + d(INF) + [92] + d(R(452)) + [3] + [92] + d(R(453)) + [50241]
                + [92] + d(R(454)) + [2] + [92] + d(R(455)) + [5] + [92] + d(R(702)) + [0xBEEF]
                + [96] + d(R(741)) + d(0x44444444) + [92] + d(R(744)) + [0x5555])
        # Floats and compares.
        r.rung("7/0", True, push32(F(7.0), 0) + [131], 32, 0x40E00000, False)
        r.rung("3e38*10", True, push32(F(3e38), F(10.0)) + [130], 32, INF, True)
        r.rung("sqrt -4", True, push32(F(-4.0)) + [148], 32, 0x4EFF0000, False)
        r.rung("sqrt -0", True, push32(0x80000000) + [148], 32, 0x4EFF0000, False)
        r.rung("160 after off", False, push16(3, 3) + [160], 0, 0, True)
        r.rung("166 stays off", False, push32(3, 3) + [166], 0, 0, False)
        r.rung("172 nan=nan", True, push32(NAN, NAN) + [172], 0, 0, False)
        r.rung("173 nan!=1", True, push32(NAN, F(1.0)) + [173], 0, 0, True)
        r.rung("144 min rem -1", True, push32(0x80000000, 0xFFFFFFFF) + [144], 32, 0, True)
        # Strings and number to text.
        r.rung("184 12ab", True, [184] + d(R(460)) + d(R(400)) + [0], 0, 0, True)
        r.rung("184 3e9", True, [184] + d(R(461)) + d(R(410)) + [1], 0, 0, True)
        r.rung("184 1e11", True, [184] + d(R(463)) + d(R(420)) + [0], 0, 0, True)
        r.rung("188 Hello", True, [188] + d(R(464)) + d(R(430)), 0, 0, True)
        fmt = text_words("%d", 20)
        r.rung("187 w5", True, [187] + d(R(470)) + d(R(440)) + [0, 2, 5] + fmt, 0, 0, True)
        r.rung("187 w4", True, [187] + d(R(480)) + d(R(440)) + [0, 2, 4] + fmt, 0, 0, False)
        r.rung("187 5 w3", True, [187] + d(R(490)) + d(R(441)) + [0, 2, 3] + fmt, 0, 0, True)
        r.rung("187 %s", True, [187] + d(R(495)) + d(R(441)) + [0, 0, 9] + text_words("%s", 20), 0, 0, False)
        # Typed arithmetic and compares.
        r.rung("266", True, push16(100, 100) + [266], 16, 0xFFC8, False)
        r.rung("268", True, push16(12, 0xFFF6) + [268], 16, 0xFF88, True)
        r.rung("270 after off", False, push16(0x81, 1) + [270], 16, 0x02, True)
        r.rung("272 stays off", False, push16(0x81, 9) + [272], 16, 0x03, False)
        r.rung("264", True, push32(0xFFFFFFFF, 0xFFFFFFFF) + [264], 32, 1, False)
        r.rung("289/160", True, push32(0xFFFFFFFF, 1) + [289, 160], 32, 0, False)
        r.rung("289/7", True, push16(11, 22) + [289, 7, 82] + d(R(500)), 16, 11, True)
        r.rung("280", False, push16(0xC8, 0x64) + [280], 0, 0, True)
        r.rung("287", True, push16(0xC8, 0x64) + [287], 0, 0, False)
        r.rung("284 keeps off", False, push32(0xFFFFFFFF, 1) + [284], 0, 0, False)
        r.rung("284 keeps on", True, push32(0xFFFFFFFF, 1) + [284], 0, 0, True)
        # Conversions.
        r.rung("312", True, [312] + d(R(442)), 32, 0x4F800000, True)
        r.rung("319", True, [319] + d(R(444)), 16, 300, False)
        r.rung("321 2^32", True, [321] + d(R(446)), 32, 0xFFFFFFFF, False)
        r.rung("321 7FFFFF", True, [321] + d(R(448)), 32, 0xFFFFFF00, True)
        r.rung("331 inf", True, [331] + d(R(450)), 16, 0xFFFF, False)
        # Indexed access.
        r.rung("344 n=3", True, [344] + d(R(700)) + d(R(452)), 16, 0xBEEF, True)
        r.rung("344 n=50241", True, [344] + d(R(700)) + d(R(453)), 16, 0, False)
        r.rung("347 n=2", True, push32(0xCAFEF00D) + [347] + d(R(740)) + d(R(454)), 0, 0, True)
        r.rung("345 %SR5 := 7", True, push16(7) + [345] + d(3072) + d(R(455)), 0, 0, False)
        # Pointers, whatever the power.
        r.setup([96] + d(R(510)) + d(RB(702) + 1) + [92] + d(R(703)) + [0x5678])
        r.rung("350", False, [350] + d(R(512)) + d(R(100)) + [3], 0, 0, False)
        r.rung("352 odd", False, [352] + d(R(510)) + [0], 16, 0x78BE, False)
        r.rung("357", False, push32(0x01020304) + [357] + d(R(512)) + [7], 0, 0, False)
        # Bit by number: base %R900, L = 2 words.
        r.setup([92] + d(R(900)) + [0, 92] + d(R(901)) + [0])
        r.rung("384 B=20", True, [384, 1] + d(R(900)) + d(20) + d(2), 0, 0, True)
        r.rung("384 B=33", True, [384, 1] + d(R(910)) + d(33) + d(2), 0, 0, False)
        r.rung("384 %EM", True, [384, 1] + d(EM(1)) + d(9) + d(2), 0, 0, True)
        # Block moves and counted strings.
        r.setup([92] + d(R(600)) + [0x1111, 92] + d(R(601)) + [0x2222, 92] + d(R(602)) + [0x3333]
                + [96] + d(R(520)) + d(RB(601)) + [96] + d(R(522)) + d(RB(600))
                + put_counted(610, 20, "0123456789") + put_counted(620, 4, "")
                + put_counted(630, 8, "abcdef") + put_counted(640, 10, "12345") + put_counted(650, 5, "-1")
                + [96] + d(R(524)) + d(RB(610)) + [96] + d(R(526)) + d(RB(620))
                + [96] + d(R(528)) + d(RB(630)) + [96] + d(R(530)) + d(RB(640))
                + [96] + d(R(532)) + d(RB(650)) + [96] + d(R(534)) + d(RB(660))
                + [92] + d(R(670)) + [12345, 92] + d(R(671)) + [1234]
                + [96] + d(R(536)) + d(RB(670)) + [96] + d(R(538)) + d(RB(671))
                + [96] + d(R(540)) + d(RB(680)) + [96] + d(R(542)) + d(RB(690))
                + [96] + d(R(544)) + d(RB(720))
                + [96] + d(R(546)) + d(0) + [96] + d(R(548)) + d(1)
                + [96] + d(R(550)) + d(0xFFFFFFFF) + [96] + d(R(552)) + d(0xFFFFFFFF))
        r.rung("505", True, [505] + d(R(520)) + d(R(522)) + [3], 0, 0, True)
        r.rung("511", True, [511] + d(R(526)) + d(R(524)), 0, 0, True)
        r.rung("512", True, [512] + d(R(528)) + d(R(530)), 0, 0, True)
        r.rung("516", True, [516] + d(R(534)) + d(R(532)) + [0], 0, 0, True)
        r.rung("517 L6", True, [517] + d(R(540)) + d(R(536)) + [0, 2, 6] + fmt, 0, 0, True)
        r.rung("517 L5", True, [517] + d(R(542)) + d(R(536)) + [0, 2, 5] + fmt, 0, 0, False)
        r.rung("518 L3", True, [518] + d(R(544)) + d(R(538)) + [0, 0, 3] + fmt, 0, 0, True)
        r.rung("400 2^32", True, [400] + d(R(560)) + d(R(546)), 0, 0, True)
        r.rung("400 2^64-1", True, [400] + d(R(570)) + d(R(550)), 0, 0, True)
        # Clock: a valid record, then 31 April, then one under power 0.
        rec = [0, 34, 12, 15, 6, 2030, 0]
        bad = [0, 0, 0, 31, 4, 2030, 0]
        for i in range(7):
            r.setup([92] + d(R(800 + i)) + [rec[i], 92] + d(R(810 + i)) + [bad[i]])
        r.setup([96] + d(R(554)) + d(RB(800)) + [96] + d(R(556)) + d(RB(810)))
        r.rung("520 set", True, [520] + d(R(554)), 0, 0, True)
        r.rung("520 31 April", True, [520] + d(R(556)), 0, 0, False)
        r.rung("520 off", False, [520] + d(R(556)), 0, 0, False)

        self.run_program(r.words)
        time.sleep(0.3)
        self.assertEqual(self.c.get_mode(), 2)
        self.check(r)
        self.assertEqual(self.word(R(460)), 12)
        self.assertEqual(self.dword(R(461)), 0x7FFFFFFF)
        self.assertEqual(self.word(R(463)), 0xFFFF)
        self.assertEqual(self.word(R(464)), 5)
        self.assertEqual(self.text(470), "12.34")
        self.assertEqual(self.text(480), "12.3")
        self.assertEqual(self.text(490), ".05")
        self.assertEqual(self.text(495), "")
        self.assertEqual(self.word(R(500)), 22)
        self.assertEqual(self.word(R(741)), 0x4444)
        self.assertEqual(self.dword(R(742)), 0xCAFEF00D)
        self.assertEqual(self.word(R(744)), 0x5555)
        self.assertEqual(self.dword(R(512)), 4169)  # the low byte of %R100, plus 3
        self.assertEqual(self.dword(R(105)), 0x01020304)  # 357 through that pointer, plus 7
        self.assertEqual(self.word(R(901)), 0x0008)
        self.assertEqual(self.word(R(910)) | self.word(R(911)), 0)
        self.assertEqual(self.bit(EM(9)), 1)
        self.assertEqual([self.word(R(600 + i)) for i in range(4)], [0x1111, 0x1111, 0x1111, 0x1111])
        self.assertEqual(self.counted(620), (4, "0123"))
        self.assertEqual(self.counted(630), (8, "abcdef12"))
        self.assertEqual(self.word(R(660)), 0xFFFF)
        self.assertEqual(self.text(680), "123.45")
        self.assertEqual(self.text(690), "123.4")
        self.assertEqual(self.counted(720), (3, "123"))
        self.assertEqual(self.text(560), "4294967296")
        self.assertEqual(self.text(570), "18446744073709551615")
        clock = [self.c.read_word(171 + i) for i in range(6)]
        self.assertEqual(clock[1:6], [34, 12, 15, 6, 2030])
        self.assertEqual(self.c.get_mode(), 2)

    def test_steps_and_extended_timers(self):
        w = []
        w += [M(10), 469] + d(R(1)) + d(400) + [38] + d(M(20))    # 32-bit on-delay, 1 ms, preset 400
        w += [M(10), 501] + d(R(4)) + d(4) + [38] + d(M(21))      # 32-bit on-delay, 100 ms, preset 4
        w += [M(10), 461] + d(R(7)) + [1, 38] + d(M(22))          # 16-bit on-delay, 1 s, preset 1
        w += [M(11), 471] + d(R(10)) + d(500) + [38] + d(M(23))   # 32-bit off-delay, 1 ms, preset 500
        # Step %R50 (state), %R51-52 (elapsed ms): four branches, each ending the scan.
        w += [361] + d(R(50))
        offs = len(w)
        w += [0] * 8
        targets = []
        for i in range(4):
            targets.append(len(w))
            w += ON + [52] + d(M(1 + i))  # latched: the branch ran
            w += [80] + d(R(60 + i)) + [81, 1, 120, 82] + d(R(60 + i))  # passes through it
            w += [9]
        for i in range(4):
            off = (targets[i] - (offs + 2 * i + 2)) & 0xFFFFFFFF
            w[offs + 2 * i:offs + 2 * i + 2] = d(off)
        c = self.c
        c.set_mode(0)
        c.download(0, program(w, layout16=False))
        c.write_reg(R(50), 16, 2)
        c.write_reg(M(11), 1, 1)
        c.set_mode(2)

        # Timers: the on-delays start and the off-delay's rung goes false together.
        t0 = time.monotonic()  # before either write: no timer starts earlier
        c.write_reg(M(10), 1, 1)
        c.write_reg(M(11), 1, 0)
        first, first_t = None, 0.0
        rise = {}
        fall = None
        while time.monotonic() - t0 < 5.0:
            bits = c.read_reg(M(17), 8)[0]
            t = time.monotonic() - t0
            if first is None:
                first, first_t = bits, t
            for i, name in ((3, "469"), (4, "501"), (5, "461")):
                if bits >> i & 1 and name not in rise:
                    rise[name] = t
            if fall is None and not bits >> 6 & 1:
                fall = t
            if len(rise) == 3 and fall is not None:
                break
            time.sleep(0.01)
        if first_t < 0.35:  # read while every timer was still timing
            self.assertTrue(first >> 6 & 1, "off-delay on while it times")
            self.assertFalse(first >> 3 & 1)
        # Lower bounds as set; upper bounds at least three times the preset.
        for name in ("469", "501"):
            self.assertGreaterEqual(rise[name], 0.39, name)
            self.assertLess(rise[name], 1.5, name)
        self.assertGreaterEqual(rise["461"], 0.99)
        self.assertLess(rise["461"], 3.0)
        self.assertGreaterEqual(fall, 0.49)
        self.assertLess(fall, 1.8)
        self.assertEqual(self.dword(R(10)), 500)
        self.assertEqual(self.dword(R(1)), 400)

        # Steps: state 2 became 1 in the first scan through branch 1, which ran once.
        self.assertEqual(self.word(R(50)), 1)
        self.assertEqual(self.bit(M(1)), 1)
        self.assertEqual(self.word(R(60)), 1)
        self.assertGreater(self.word(R(61)), 1)
        # The step's elapsed time (ms) goes on: it reaches 500 ms more, and
        # by then no more than three times the wall-clock time has passed.
        t1 = time.monotonic()
        e1 = self.dword(R(51))
        self.assertTrue(wait_for(lambda: self.dword(R(51)) - e1 >= 500, 5), e1)
        e2 = self.dword(R(51))
        t2 = time.monotonic()
        self.assertLessEqual(e2 - e1, 3000 * (t2 - t1))
        c.write_reg(R(50), 16, 3)
        self.assertTrue(wait_for(lambda: self.bit(M(4)) == 1, 3))
        self.assertEqual(self.word(R(50)), 0)
        self.assertEqual(self.word(R(62)), 1)  # branch 3 once
        self.assertEqual(self.bit(M(3)), 1)
        self.assertEqual(c.get_mode(), 2)


if __name__ == "__main__":
    unittest.main()
