"""Application CAN messages of an IEC application, from outside: the
controller runs the "can" application of iec_program_writer (ports "can1"
and "vport"); a peer on the host bus (a Unix datagram socket in
sim/can/can1/) reads the frames it sends and sends it frames, and the
programming port reads and writes the bound registers."""

import os
import statistics
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402
from test_can import Peer  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
AI = [16384 + 16 * k for k in range(4)]
AQ = [24576 + 16 * k for k in range(4)]
Q1 = 10240


class IecCan(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecc-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.peer = Peer(self.ctl.root, port="can1")
        self.addCleanup(self.peer.close)
        self.c.set_mode(0)
        program = subprocess.run([WRITER, "can", "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout
        self.c.download(0, program)
        self.c.set_mode(2)

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def test_defined_messages_on_the_host_bus(self):
        p = self.peer
        # the port named like a CAN interface gets an endpoint, the other none
        self.assertTrue(wait_for(lambda: len(os.listdir(p.dir)) >= 2, 10), os.listdir(p.dir))
        self.assertFalse(os.path.exists(self.ctl.path("sim", "can", "vport")))
        # 0x281: at once over the initial data, then every 100 ms
        first = p.wait(0x281, 10)
        self.assertTrue(first)
        self.assertEqual(first[0][1], bytes.fromhex("00003344"))
        self.assertTrue(wait_for(lambda: len(p.got(0x281)) >= 12, 10))
        times = [f[3] for f in p.got(0x281)[:12]]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(0.085 <= statistics.median(gaps) <= 0.135, gaps)
        # the first frames of the on-change, on-request and second cyclic message
        self.assertEqual(p.got(0x282)[0][1], b"\x00\x00")
        self.assertEqual(p.got(0x284)[0][1], bytes.fromhex("00006400"))
        self.assertEqual([f[1] for f in p.got(0x283)], [b"\xAA"])
        # unchanged on-change message: every maximum interval (1000 ms)
        self.assertTrue(wait_for(lambda: len(p.got(0x282)) >= 3, 10))
        t282 = [f[3] for f in p.got(0x282)[:3]]
        for a, b in zip(t282, t282[1:]):
            self.assertTrue(0.9 <= b - a <= 1.2, t282)
        # variables into messages
        self.c.write_reg(AI[0], 16, 0x1234)
        self.assertTrue(p.wait(0x281, 5, pred=lambda d: d == bytes.fromhex("34123344")))
        t0 = time.monotonic()
        self.c.write_reg(AI[1], 16, 0x0102)
        hit = p.wait(0x282, 5, pred=lambda d: d == b"\x01\x02")
        self.assertTrue(hit)
        self.assertLess(hit[0][3] - t0, 0.4)
        self.c.write_reg(AI[2], 16, 0x0ABC)
        self.c.write_reg(AI[3], 16, 40)
        self.assertTrue(p.wait(0x284, 5, pred=lambda d: d == bytes.fromhex("C0AB7800")))
        # messages into variables
        p.send(0x181, bytes.fromhex("3412ABCDA86789E3"))
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 0x1234, 5), hex(self.word(AQ[0])))
        self.assertEqual([self.word(a) for a in AQ], [0x1234, 0xABCD, 0x3A, 0x8967])
        self.assertEqual(self.c.read_reg(Q1, 1)[0] & 1, 1)
        p.send(0x181, bytes.fromhex("0080000150040020"))
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 0x8000, 5), hex(self.word(AQ[0])))
        self.assertEqual([self.word(a) for a in AQ], [0x8000, 0x0001, 0x05, 0x0004])
        self.assertEqual(self.c.read_reg(Q1, 1)[0] & 1, 0)
        # the on-request message never went again
        self.assertEqual([f[1] for f in p.got(0x283)], [b"\xAA"])


if __name__ == "__main__":
    unittest.main()
