"""Application CAN messages of an IEC application, from outside: the
controller runs the "can" application of iec_program_writer (ports "can1"
and "vport"); a peer on the host bus (a Unix datagram socket in
sim/can/can1/) reads the frames it sends and sends it frames, and the
programming port reads and writes the bound registers."""

import os
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
AI = [16384 + 16 * k for k in range(4)]
AQ = [24576 + 16 * k for k in range(4)]
Q1 = 10240


class BusPeer:
    """One endpoint of the host bus of a port; a reader thread keeps every
    frame with its arrival time."""

    def __init__(self, root, port, name="peer"):
        self.dir = os.path.join(root, "sim", "can", port)
        os.makedirs(self.dir, exist_ok=True)
        self.name = name
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(os.path.join(self.dir, name))
        self.sock.settimeout(0.05)
        self.frames = []
        self.cond = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            try:
                f = self.sock.recv(64)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(f) != 16:
                continue
            word, n, data = struct.unpack("<IB3x8s", f)
            with self.cond:
                self.frames.append((word, bytes(data[:min(n, 8)]), time.monotonic()))
                self.cond.notify_all()

    def send(self, word, data):
        f = struct.pack("<IB3x8s", word, len(data), bytes(data).ljust(8, b"\0"))
        for other in os.listdir(self.dir):
            if other == self.name:
                continue
            # a busy reader's queue may be full for a moment: try again, as a
            # bus keeps the frame, for up to 5 s
            end = time.monotonic() + 5
            while True:
                try:
                    self.sock.sendto(f, os.path.join(self.dir, other))
                    break
                except socket.timeout:
                    if time.monotonic() > end:
                        raise

    def on(self, cid):
        with self.cond:
            return [f for f in self.frames if f[0] == cid]

    def wait(self, cid, pred, timeout):
        """The first frame on cid that pred accepts, within timeout (None)."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                hits = [f for f in self.frames if f[0] == cid and pred(f)]
                if hits:
                    return hits[0]
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def close(self):
        self.running = False
        self.thread.join(1)
        self.sock.close()


class IecCan(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecc-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.peer = BusPeer(self.ctl.root, "can1")
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
        first = p.wait(0x281, lambda f: True, 10)
        self.assertIsNotNone(first)
        self.assertEqual(first[1], bytes.fromhex("00003344"))
        self.assertTrue(wait_for(lambda: len(p.on(0x281)) >= 12, 10))
        times = [f[2] for f in p.on(0x281)[:12]]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(0.085 <= statistics.median(gaps) <= 0.135, gaps)
        # the first frames of the on-change, on-request and second cyclic message
        self.assertEqual(p.on(0x282)[0][1], b"\x00\x00")
        self.assertEqual(p.on(0x284)[0][1], bytes.fromhex("00006400"))
        self.assertEqual([f[1] for f in p.on(0x283)], [b"\xAA"])
        # unchanged on-change message: every maximum interval (1000 ms)
        self.assertTrue(wait_for(lambda: len(p.on(0x282)) >= 3, 10))
        t282 = [f[2] for f in p.on(0x282)[:3]]
        for a, b in zip(t282, t282[1:]):
            self.assertTrue(0.9 <= b - a <= 1.2, t282)
        # variables into messages
        self.c.write_reg(AI[0], 16, 0x1234)
        self.assertIsNotNone(p.wait(0x281, lambda f: f[1] == bytes.fromhex("34123344"), 5))
        t0 = time.monotonic()
        self.c.write_reg(AI[1], 16, 0x0102)
        hit = p.wait(0x282, lambda f: f[1] == b"\x01\x02", 5)
        self.assertIsNotNone(hit)
        self.assertLess(hit[2] - t0, 0.4)
        self.c.write_reg(AI[2], 16, 0x0ABC)
        self.c.write_reg(AI[3], 16, 40)
        self.assertIsNotNone(p.wait(0x284, lambda f: f[1] == bytes.fromhex("C0AB7800"), 5))
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
        self.assertEqual([f[1] for f in p.on(0x283)], [b"\xAA"])


if __name__ == "__main__":
    unittest.main()
