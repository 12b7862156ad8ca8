"""Ladder programs downloaded through the programming protocol into the running
controller, set to run, and their registers read back."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def program(words, layout16=True):
    """Program data of a word stream: the words, the editor features (bit 15:
    16-bit layout) nine bytes before the end, five trailer bytes."""
    data = b"".join(struct.pack("<H", w & 0xFFFF) for w in words)
    return data + struct.pack("<I", 0x8000 if layout16 else 0) + bytes(5)


class LadderCase(unittest.TestCase):
    """A controller on a fresh root, reached on its programming port; a
    program goes in with run_program (its words, then END_WORDS) in the
    layout LAYOUT16 names, and runs."""
    PREFIX = "plc-ladder-"
    END_WORDS = []
    LAYOUT16 = True

    def setUp(self):
        self.ctl = Controller(prefix=self.PREFIX)
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True, wait=False).client

    def run_program(self, words):
        c = self.c
        c.set_mode(0)
        c.download(0, program(words + self.END_WORDS, self.LAYOUT16))
        c.set_mode(2)

    def bit(self, ref):
        return self.c.read_reg(ref, 1)[0] & 1


class LadderInController(LadderCase):
    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def set_bit(self, ref, v):
        self.c.write_reg(ref, 1, 1 if v else 0)

    def wait_for(self, cond, timeout=5.0):
        return wait_for(cond, timeout)

    def test_invalid_opcode_stops_the_controller(self):
        self.run_program([10, 9])
        self.assertTrue(self.wait_for(lambda: self.c.get_mode() == 0))
        self.assertEqual(self.c.read_word(180) | self.c.read_word(181) << 16, 1)
        self.assertTrue(self.c.read_word(131) & 0x100)

    def test_timers_and_counters_run_in_the_controller(self):
        words = [
            M(1), 209, R(1), 10, 38, M(101),               # on-delay 100 ms, preset 10
            M(1), 204, R(20), R(40), 38, M(102),           # on-delay 10 ms, register preset (%R40)
            M(1), 211, R(22), 5, 38, M(103),               # off-delay 100 ms
            M(1), 213, M(3), R(24), 30, 38, M(104),        # retentive 10 ms
            M(2), 201, M(3), R(3), 3, 38, M(105),          # up counter, preset 3
            M(2), 203, M(3), R(5), 2, 38, M(106),          # down counter, preset 2
            M(2), 199, 1, M(3), R(7), 2, 0, 38, M(107),    # 32-bit up counter, preset 2
        ]
        for op in (205, 206, 207, 208, 210, 212, 214, 215, 200, 202):
            # Every other timer and counter opcode with register operands
            # that no check below looks at.
            if op in (212, 213, 214, 215, 200, 201, 202, 203):
                words += [M(1), op, M(4), R(100 + 4 * (op - 200)), R(40) if op % 2 == 0 else 7, 55]
            else:
                words += [M(1), op, R(100 + 4 * (op - 200)), R(40) if op % 2 == 0 else 7, 55]
        words.append(9)
        self.c.write_reg(R(40), 16, 20)
        self.run_program(words)
        self.assertEqual(self.c.get_mode(), 2)
        self.assertEqual(self.bit(M(103)), 0)  # off-delay timed out on the first scan

        t0 = time.monotonic()
        self.set_bit(M(1), 1)
        self.assertTrue(self.wait_for(lambda: self.bit(M(101)), 5))
        self.assertGreaterEqual(time.monotonic() - t0, 0.95)
        self.assertEqual(self.word(R(1)), 10)
        self.assertTrue(self.bit(M(102)))
        self.assertEqual(self.word(R(20)), 20)
        self.assertTrue(self.wait_for(lambda: self.bit(M(104))))
        self.assertEqual(self.word(R(24)), 30)
        self.assertTrue(self.bit(M(103)))  # off-delay: on while its rung is on

        for k in range(3):
            self.set_bit(M(2), 1)
            self.assertTrue(self.wait_for(lambda: self.word(R(3)) == k + 1))
            self.set_bit(M(2), 0)
            time.sleep(0.05)
        self.assertTrue(self.bit(M(105)))
        self.assertEqual(self.word(R(5)) - 0x10000, -3)
        self.assertTrue(self.bit(M(106)))
        self.assertEqual(self.word(R(7)), 3)
        self.assertTrue(self.bit(M(107)))

        self.set_bit(M(3), 1)  # reset: up counters to 0, down counter to its preset
        self.assertTrue(self.wait_for(lambda: self.word(R(3)) == 0 and self.word(R(5)) == 2))
        self.assertEqual(self.word(R(24)), 0)
        self.assertEqual(self.c.get_mode(), 2)


if __name__ == "__main__":
    unittest.main()
