"""The IEC standard library inside the controller: an application downloaded
with the command protocol converts %AI1 to BCD on %AQ1, times bit 0 of %AI2
with a 300 ms TON onto %AQ2, writes a file under the root once, and echoes a
TCP peer on port 5600 through TCPACCEPT, TCPRECEIVE and TCPSEND (%AQ3 counts
the bytes echoed). A second application runs TON, TP and a PID across the
wrap of the runtime's millisecond tick."""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, recv_exact, wait_for  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
AQ1, AQ2, AQ3, AI1, AI2 = 24576, 24592, 24608, 16384, 16400


def written(kind):
    return subprocess.run([WRITER, kind, "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout



class IecStdlib(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecstd-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        self.c.download(0, written("stdlib"))
        self.c.set_mode(2)

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def test_bits_timer_file_and_tcp_echo(self):
        # BIN_TO_BCD through the located variables
        self.c.write_reg(AI1, 16, 1234)
        self.assertTrue(wait_for(lambda: self.word(AQ1) == 0x1234, 5), hex(self.word(AQ1)))
        self.c.write_reg(AI1, 16, 9999)
        self.assertTrue(wait_for(lambda: self.word(AQ1) == 0x9999, 5))
        # TON 300 ms: not before, then held while the input stays on
        self.assertEqual(self.word(AQ2), 0)
        self.c.write_reg(AI2, 16, 1)
        t0 = time.monotonic()
        self.assertTrue(wait_for(lambda: self.word(AQ2) == 1, 5))
        self.assertGreaterEqual(time.monotonic() - t0, 0.25)
        self.c.write_reg(AI2, 16, 0)
        self.assertTrue(wait_for(lambda: self.word(AQ2) == 0, 5))
        # the file written once under the root
        path = self.ctl.path("mnt", "cfg", "b3io.txt")
        self.assertTrue(wait_for(lambda: os.path.exists(path) and os.path.getsize(path) == 10, 5))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"HELLO\n\x44\x33\x22\x11")
        # TCP echo, twice: a new peer after the first closed
        for round_ in range(2):
            deadline = time.monotonic() + 10
            while True:
                try:
                    s = socket.create_connection(("127.0.0.1", 5600), timeout=2)
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)
            with s:
                s.sendall(b"PING-1")
                self.assertEqual(recv_exact(s, 6), b"PING-1")
            self.assertTrue(wait_for(lambda: self.word(AQ3) == 6 * (round_ + 1), 5), self.word(AQ3))
        # a socat peer as a second client tool
        out = subprocess.run(["socat", "-t", "2", "-T", "3", "-", "TCP:127.0.0.1:5600,retry=20,interval=0.1"],
                             input=b"abc", stdout=subprocess.PIPE, timeout=20).stdout
        self.assertEqual(out, b"abc")


class IecClocksAcrossTheWrap(unittest.TestCase):
    """The runtime's 32-bit millisecond tick started 20 s before its wrap
    (PLC_MS_OFFSET): TON 300 ms and TP 500 ms, switched on and off from
    %AI2 over and over, and a PID integrating 0.2 a second keep their times
    and their slope across it."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecwrap-")
        self.addCleanup(self.ctl.cleanup)
        self.wrap_at = time.monotonic() + 20
        offset = (2**32 - int(self.wrap_at * 1000)) % 2**32
        self.c = self.ctl.start(port=True, env={"PLC_MS_OFFSET": str(offset)}).client
        self.c.set_mode(0)
        self.c.download(0, written("clocks-program"))
        self.c.set_mode(2)

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def pid_out(self):
        raw = self.c.read_reg(AQ3, 32)  # %AQ3 low half, %AQ4 high half
        return struct.unpack("<f", raw)[0]

    def test_timers_and_pid_across_the_wrap_of_the_tick(self):
        self.assertTrue(wait_for(lambda: self.pid_out() > 20, 10), self.pid_out())
        self.assertGreater(self.wrap_at - time.monotonic(), 3, "started too late for the wrap")
        pulses, outs = [], []
        while time.monotonic() < self.wrap_at + 5:
            self.c.write_reg(AI2, 16, 1)
            on = time.monotonic()
            ton = tp_end = None
            tp_seen = False
            while time.monotonic() < on + 3 and (ton is None or tp_end is None):
                q_ton, q_tp = self.word(AQ1), self.word(AQ2)
                now = time.monotonic()
                if q_ton and ton is None:
                    ton = now - on
                if q_tp:
                    tp_seen = True
                elif tp_seen and tp_end is None:
                    tp_end = now - on
                outs.append((now, self.pid_out()))
            pulses.append((on - self.wrap_at, ton, tp_end))
            self.c.write_reg(AI2, 16, 0)
            self.assertTrue(wait_for(lambda: self.word(AQ1) == 0, 5), pulses)
        # Each TON output came 300 ms after its input, each TP pulse lasted
        # 500 ms: never before, and within three times that.
        for at, ton, tp_end in pulses:
            self.assertIsNotNone(ton, pulses)
            self.assertIsNotNone(tp_end, pulses)
            self.assertTrue(0.28 <= ton <= 0.9, (at, ton, pulses))
            self.assertTrue(0.48 <= tp_end <= 1.5, (at, tp_end, pulses))
        self.assertGreater(len(pulses), 15)
        # The PID's output rose 0.2 a second all along (KP 2 x error 10 / TI 100 s).
        # Each reading lags its sample by at most a sample, a cycle and a read.
        t0, v0 = outs[0]
        for t1, v1 in outs:
            self.assertLess(abs((v1 - v0) - 0.2 * (t1 - t0)), 0.1, (t1 - self.wrap_at, v0, v1))
        self.assertLess(outs[-1][1], 30)


if __name__ == "__main__":
    unittest.main()
