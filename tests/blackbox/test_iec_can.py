"""Application CAN messages of an IEC application, from outside: the
controller runs the "can" application of iec_program_writer (ports "can1"
and "vport"); a peer on the host bus (a Unix datagram socket in
sim/can/can1/) reads the frames it sends and sends it frames, and the
programming port reads and writes the bound registers. In the same run a
CANopen block with IEC bindings goes to the node on can0, whose PDOs and
SDOs reach the application's variables by handle."""

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
AI = [16384 + 16 * k for k in range(5)]
AQ = [24576 + 16 * k for k in range(5)]
Q1 = 10240


def iec_block():
    """A CANopen block for node 5 with IEC bindings: the status register a
    handle (INT 30) selects 12-byte TPDO entries and 8-byte mapping entries
    {mapping word, handle}; INT n is handle 0xC4000000 + n."""
    hdr = bytearray(0x74)
    tail = bytearray()

    def put(off, v, n=4):
        hdr[off:off + n] = v.to_bytes(n, "little")

    def add(b):
        tail.extend(b)
        return 0x74 + len(tail) - len(b)

    hdr[0], hdr[1], hdr[0x21] = 1, 5, 1
    put(0x18, 0x80000000)
    put(0x1E, 100, 2)       # heartbeat 100 ms
    put(0x68, 0x100)
    put(0x54, 0xC400001E)   # status register: INT 30
    put(0x6C, 0xC4000010)   # IEC PDO map: INT 16
    put(0x70, 1)
    put(0x30, 1, 2)
    put(0x32, 1, 2)
    put(0x34, add(b"\x01"))
    put(0x38, add(b"\x01"))
    put(0x3C, add((0x185).to_bytes(4, "little")))
    put(0x40, add((0x205).to_bytes(4, "little")))
    put(0x44, add(b"\xFE" + bytes(11)))
    put(0x48, add(b"\xFE" + bytes(7)))
    put(0x4C, add((0x20000210).to_bytes(4, "little") + (0xC4000005).to_bytes(4, "little")))
    put(0x50, add((0x20000110).to_bytes(4, "little") + (0xC4000001).to_bytes(4, "little")))
    return bytes(hdr + tail)


class CanApp(unittest.TestCase):
    """The controller running the PROGRAM application of iec_program_writer,
    with a peer on the host bus of port "can1"."""

    PROGRAM = "can"

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecc-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.peer = Peer(self.ctl.root, port="can1")
        self.addCleanup(self.peer.close)
        self.c.set_mode(0)
        program = subprocess.run([WRITER, self.PROGRAM, "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout
        self.c.download(0, program)
        self.c.set_mode(2)

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")


class IecCan(CanApp):

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
        self.assertEqual([self.word(a) for a in AQ[:4]], [0x1234, 0xABCD, 0x3A, 0x8967])
        self.assertEqual(self.c.read_reg(Q1, 1)[0] & 1, 1)
        p.send(0x181, bytes.fromhex("0080000150040020"))
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 0x8000, 5), hex(self.word(AQ[0])))
        self.assertEqual([self.word(a) for a in AQ[:4]], [0x8000, 0x0001, 0x05, 0x0004])
        self.assertEqual(self.c.read_reg(Q1, 1)[0] & 1, 0)
        # the on-request message never went again
        self.assertEqual([f[1] for f in p.got(0x283)], [b"\xAA"])
        # CANopen on can0 with IEC bindings: a peer there, node 5 from a block
        # whose status register is a handle (INT 30), RPDO 0x205 into INT 1,
        # TPDO 0x185 from INT 5, the IEC PDO map at INT 16
        co = Peer(self.ctl.root, name="copen", port="can0")
        self.addCleanup(co.close)
        self.c.download(23, iec_block())
        self.c.target = 5
        self.assertTrue(co.wait(0x705, 5, pred=lambda d: d == b"\x05"), co.got())
        co.send(0x205, bytes.fromhex("3412"))
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 0x1234, 5), hex(self.word(AQ[0])))
        co.clear()
        self.c.write_reg(AI[0], 16, 0xBEEF)
        self.assertTrue(co.wait(0x185, 5, pred=lambda d: d == bytes.fromhex("EFBE")), co.got(0x185))
        self.c.write_reg(AI[4], 16, 0x5566)
        self.assertTrue(wait_for(lambda: co.upload(5, 0xA584, 1) == bytes.fromhex("4B84A50166550000"), 5),
                        co.upload(5, 0xA584, 1))
        # below the map's first object: refused, nothing read below the handle;
        # sub-index 0 is the object's entry count (254), not a variable
        self.assertEqual(co.upload(5, 0xA583, 1), bytes.fromhex("8083A50100000106"))
        self.assertEqual(co.upload(5, 0xA584, 0), bytes.fromhex("4F84A500FE000000"))
        # the status word at INT 30 is the node's status word (object 0x1002)
        status = int.from_bytes(co.upload(5, 0x1002)[4:8], "little")
        self.assertTrue(wait_for(lambda: self.word(AQ[4]) == status & 0xFFFF, 5), (hex(self.word(AQ[4])), hex(status)))


class IecCanSend(CanApp):
    """CANSND from an IEC program: the "cansnd" application of
    iec_program_writer sends 16#100 + %AI1 with the bytes 1, 2, 3 on "can1"
    each time %AI1 changes; %Q1 is CANSND's result, %AQ1 counts the calls."""

    PROGRAM = "cansnd"

    def test_cansnd_sends_on_the_host_bus(self):
        p = self.peer
        self.assertTrue(wait_for(lambda: len(os.listdir(p.dir)) >= 2, 10), os.listdir(p.dir))
        self.c.write_reg(AI[0], 16, 0x23)
        hit = p.wait(0x123, 5)
        self.assertEqual([f[1] for f in hit], [b"\x01\x02\x03"])
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 1, 5), self.word(AQ[0]))
        self.assertEqual(self.c.read_reg(Q1, 1)[0] & 1, 1)
        # an identifier above 16#7FF goes as an extended frame
        self.c.write_reg(AI[0], 16, 0x7000)
        hit = p.wait(0x7100, 5)
        self.assertEqual([f[1] for f in hit], [b"\x01\x02\x03"])
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 2, 5), self.word(AQ[0]))
        # one frame per change, nothing in between while %AI1 stayed
        self.c.write_reg(AI[0], 16, 0x45)
        self.assertTrue(p.wait(0x145, 5))
        self.assertEqual([f[0] for f in p.got()], [0x123, 0x7100, 0x145])
        self.assertTrue(wait_for(lambda: self.word(AQ[0]) == 3, 5), self.word(AQ[0]))


if __name__ == "__main__":
    unittest.main()
