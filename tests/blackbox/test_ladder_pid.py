"""PID loop, time schedules, flow computation and the network-id instruction
in the running controller: programs downloaded through the programming port,
registers and the controller's clock set and read back through it."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from test_ladder import LadderCase, M, R  # noqa: E402

S7 = 1536 + 6  # always on
CLOCK = 3760   # %SR44: second, minute, hour, day, month, year


def count_if_off(bit, reg):
    """Rung adding 1 to reg on every scan in which bit is off."""
    return [bit, 32, 70, 7, 80, reg, 81, 1, 120, 82, reg, 55]


class LibraryInController(LadderCase):
    PREFIX = "plc-ladpid-"
    END_WORDS = [9]

    def word(self, ref, signed=True):
        v = int.from_bytes(self.c.read_reg(ref, 16), "little")
        return v - 0x10000 if signed and v & 0x8000 else v

    def put(self, ref, v):
        self.c.write_reg(ref, 16, v & 0xFFFF)

    def bit(self, ref):
        return self.c.read_reg(ref, 1)[0] & 1

    def test_pid_loop_outputs_and_time_proportioning(self):
        blk = {0: 0, 3: 250, 6: 40, 7: 32000, 8: -32000, 10: 0x0080}
        for k in range(16):
            self.put(R(200 + k), blk.get(k, 0))
        self.put(R(301), 1000)
        self.put(R(302), 900)
        self.run_program([S7, 240, 0, R(200), R(301), R(302), M(1), M(2), M(3), R(303), 38, M(10)]
                         + count_if_off(M(10), R(50)) + count_if_off(M(11), R(51)))
        self.assertTrue(wait_for(lambda: self.word(R(303)) == 290, 5))
        self.assertEqual(self.word(R(211)), 290)
        self.assertEqual(self.word(R(214)), 290)
        self.assertEqual(self.word(R(210), False), 0x0004)
        self.assertEqual(self.word(R(50)), 1)  # power off on the first scan only
        self.assertGreater(self.word(R(51)), 5)
        self.put(R(210), 0x0104)  # reverse acting
        self.assertTrue(wait_for(lambda: self.word(R(303)) == -210, 3))
        self.put(R(210), 0x0204)  # inverted output
        self.assertTrue(wait_for(lambda: self.word(R(303)) == -290, 3))
        self.assertEqual(self.word(R(211)), 290)

        # Manual output 250 of 0..1000, time-proportioned over 1 s: the power
        # is on for about a quarter of the scans.
        self.put(R(208), 0)
        self.put(R(207), 1000)
        self.put(R(215), 1)
        # Manual first (the instruction copies %M1 into bit 1 of word 10 each
        # scan): an automatic scan after the output is written would overwrite it.
        self.c.write_reg(M(1), 1, 1)
        self.assertTrue(wait_for(lambda: self.word(R(210), False) & 0x0002, 5), hex(self.word(R(210), False)))
        self.put(R(211), 250)
        self.put(R(210), 0x4006)
        time.sleep(0.3)
        off0, all0 = self.word(R(50)), self.word(R(51))
        time.sleep(3)
        off, total = self.word(R(50)) - off0, self.word(R(51)) - all0
        self.assertGreater(total, 100)
        self.assertAlmostEqual(1 - off / total, 0.25, delta=0.1)
        self.assertEqual(self.word(R(211)), 250)
        self.assertEqual(self.c.get_mode(), 2)

    def test_schedules_on_the_set_clock(self):
        rungs = [
            (370, [22, 0, 6, 0]), (370, [23, 31, 23, 29]), (372, [0x08]), (372, [0x04]),
            (374, [0x4000, 0]), (374, [0, 0x4000]), (376, [0x10]), (378, [2024, 2024]), (378, [1999, 2100]),
        ]
        words = []
        for i, (op, ops) in enumerate(rungs):
            words += [S7, op] + ops + [38, M(30 + i)]
        self.run_program(words)

        def at(minute, hour, day):
            self.c.write_reg(CLOCK, 96, struct.pack("<6H", 0, minute, hour, day, 5, 2024))
            time.sleep(0.2)
            return [self.bit(M(30 + i)) for i in range(len(rungs))]

        self.assertEqual(at(30, 23, 15), [1, 0, 1, 0, 1, 0, 1, 1, 0])  # Wednesday 2024-05-15 23:30
        self.assertEqual(at(59, 5, 31)[:6], [1, 1, 0, 0, 0, 1])         # Friday the 31st, 05:59
        self.assertEqual(at(0, 6, 31)[0], 0)
        self.assertEqual(self.c.get_mode(), 2)

    def test_flow_network_id_and_pass_through_instructions(self):
        def put_double(ref, v):
            hi, lo = struct.unpack("<II", struct.pack("<d", v))[::-1]
            for k, w in enumerate((hi & 0xFFFF, hi >> 16, lo & 0xFFFF, lo >> 16)):
                self.put(ref + 16 * k, w)

        def get_double(ref):
            w = [self.word(ref + 16 * k, False) for k in range(4)]
            return struct.unpack("<d", struct.pack("<II", w[2] | w[3] << 16, w[0] | w[1] << 16))[0]

        put_double(R(100), 60.0)
        self.put(R(60), 100)
        self.run_program([
            S7, 381, 0, R(100), 1, 0, R(110), 38, M(20),
            S7, 528] + [3, 1, 2, 0xFFFF, 0xFFFE, M(1), 1, 0xFFFF, M(2)] + [38, M(21),
            S7, 394, 7, 38, M(22),
            M(41), 544, R(60), 38, M(42),
        ])
        self.assertTrue(wait_for(lambda: self.bit(M(20)), 3))
        self.assertAlmostEqual(get_double(R(110)), 15.5593749, places=7)
        self.assertAlmostEqual(get_double(R(114)), 60.0068749, places=7)
        self.assertEqual((self.bit(M(21)), self.bit(M(22))), (1, 1))

        self.c.write_reg(M(41), 1, 1)
        self.assertTrue(wait_for(lambda: self.c.get_local_id() == 100, 3))
        self.c.target = 100
        self.assertEqual(self.bit(M(42)), 1)
        # Network configuration: id 1 (flagged in use), 8 ids on the bus.
        self.c.download(6, bytes([0x81, 8, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0]))
        self.assertEqual(self.c.read_word(188), 8)
        self.put(R(60), 120)
        self.assertTrue(wait_for(lambda: self.c.get_local_id() == 120, 3))
        self.c.target = 120
        self.put(R(60), 121)
        self.assertTrue(wait_for(lambda: self.bit(M(42)) == 0, 3))
        self.assertEqual(self.c.get_local_id(), 120)
        self.assertEqual(self.c.get_mode(), 2)


if __name__ == "__main__":
    unittest.main()
