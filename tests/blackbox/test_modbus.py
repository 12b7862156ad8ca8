"""The Modbus server of the running controller, driven from the peer's side of
a veth pair by raw MBAP frames, pymodbus, libmodbus's mbpoll: the ladder map
through its edges, writes and the write inhibit, exceptions, size limits,
stream framing, 16 connections, the controller's mode, the enable bit and UDP."""

import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, ip_addr, wait_for  # noqa: E402

HOST = "10.77.0.2"


def R(n):
    return 32768 + 16 * (n - 1)


def M(n):
    return 14336 + n - 1


def Q(n):
    return 10240 + n - 1


def S(n):
    return 1536 + n - 1


def ip(text):
    return struct.unpack(">I", socket.inet_aton(text))[0]


def config_block(flags=0x200005D2, records=()):
    """Address record (status %R50) with the given enables (F bit 3 clear:
    Modbus on), then extra records."""
    words = [ip(HOST), 0xFFFFFF00,
             0x20000000, 0, flags, ip("10.77.0.1"), 0, R(51), 16, R(50), 16, R(60), 32, R(62), 32, R(64), 32, 0, 0]
    for rec in records:
        words += list(rec) + [0, 0]
    words.append(0)
    body = b"".join(struct.pack("<I", w) for w in words)
    return struct.pack("<I", 4 + len(body)) + body


def modbus_record(mode=0, port=502, inhibit=M(2000)):
    return [0x01000000, 0x40000, mode, port, inhibit]


def io_config(block):
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(block)) + block
    return data + bytes(-len(data) % 4)


# %M1 toggles every scan; the up counter in %R1 counts its rising edges.
COUNTER = b"".join(struct.pack("<H", w) for w in [M(1), 54, M(1), M(1), 201, M(3), R(1), 32000, 38, M(105), 9]) \
    + struct.pack("<I", 0x8000) + bytes(5)


def arithmetic_program(rungs):
    """The counter rung, then rungs arithmetic rungs on the always-on contact
    %S7, each %R(1501 + i % 500) := (%R(1001 + i % 500) + 3) * 2."""
    words = list(struct.unpack("<%dH" % (len(COUNTER[:-9]) // 2), COUNTER[:-9]))
    assert words[-1] == 9
    words = words[:-1]
    for i in range(rungs):
        a, b = R(1001 + i % 500), R(1501 + i % 500)
        words += [S(7), 70, 10, 80, a, 81, 3, 120, 81, 2, 122, 82, b, 55]
    words.append(9)
    return struct.pack("<%dH" % len(words), *words) + struct.pack("<I", 0x8000) + bytes(5)


def mbap(tid, unit, pdu, proto=0):
    return struct.pack(">HHHB", tid, proto, len(pdu) + 1, unit) + pdu


def recv_frame(s, timeout=2.0):
    """One MBAP answer, or None when nothing comes in time."""
    s.settimeout(timeout)
    buf = b""
    try:
        # Exactly one frame: answers that arrive together stay for the next call.
        while len(buf) < 6 or len(buf) < 6 + struct.unpack(">H", buf[4:6])[0]:
            need = 6 - len(buf) if len(buf) < 6 else 6 + struct.unpack(">H", buf[4:6])[0] - len(buf)
            chunk = s.recv(need)
            if not chunk:
                return None
            buf += chunk
    except socket.timeout:
        return None
    return buf


class ModbusCase(unittest.TestCase):
    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-mb-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client

    def start(self, block):
        c = self.c
        c.download(5, io_config(block))
        c.comm_lock(0)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())
        c.set_mode(0)
        c.download(0, COUNTER)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def bit(self, ref):
        return self.c.read_reg(ref, 1)[0] & 1

    def conn(self, port=502, timeout=3.0):
        s = self.peer.connect(HOST, port, timeout=timeout, nodelay=True)
        self.addCleanup(s.close)
        return s

    def ask(self, s, frame):
        s.sendall(frame)
        return recv_frame(s)


class ModbusTcp(ModbusCase):
    def test_map_edges_writes_inhibit_exceptions_sizes_and_framing(self):
        self.start(config_block(records=[modbus_record()]))
        c = self.c
        for i in range(10):
            c.write_reg(R(5 + i), 16, 0x1001 + i)
        s = self.conn()
        want = bytes.fromhex("0102 0000 0017 11 03 14") + b"".join(struct.pack(">H", 0x1001 + i) for i in range(10))
        self.assertEqual(len(want), 29)
        for addr in (3004, 516, 10004):
            self.assertEqual(self.ask(s, mbap(0x0102, 0x11, struct.pack(">BHH", 3, addr, 10))), want, addr)
        # The counter moves between two reads.
        a = self.ask(s, mbap(1, 1, struct.pack(">BHH", 3, 3000, 2)))
        time.sleep(0.2)
        b = self.ask(s, mbap(1, 1, struct.pack(">BHH", 3, 3000, 2)))
        self.assertNotEqual(a[9:11], b[9:11])

        def exc(fc, addr, qty):
            r = self.ask(s, mbap(7, 1, struct.pack(">BHH", fc, addr, qty)))
            return r[7:] if r else None

        c.write_reg(R(2479), 16, 0x2479)
        c.write_reg(R(10240), 16, 0xABCD)
        c.write_reg(Q(2048), 1, 1)
        self.assertEqual(exc(3, 2990, 10)[:4], bytes([3, 20, 0x24, 0x79]))
        self.assertEqual(exc(3, 2995, 10), bytes([0x83, 2]))
        self.assertEqual(exc(3, 20239, 1), bytes([3, 2, 0xAB, 0xCD]))
        self.assertEqual(exc(3, 20240, 1), bytes([0x83, 2]))
        self.assertEqual(exc(2, 3999, 1), bytes([0x82, 2]))
        self.assertEqual(exc(2, 4000, 1), bytes([2, 1, self.bit(S(1))]))
        self.assertEqual(exc(4, 4191, 1)[:2], bytes([4, 2]))
        # Input registers go out most significant byte first, like holding ones.
        c.write_reg(16384, 16, 0x1234)  # %AI1
        c.write_reg(16400, 16, 0x5678)  # %AI2
        self.assertEqual(self.ask(s, mbap(0x21, 0x11, struct.pack(">BHH", 4, 0, 2))),
                         bytes.fromhex("0021 0000 0007 11 04 04 1234 5678"))
        self.assertEqual(exc(4, 4192, 1), bytes([0x84, 2]))
        self.assertEqual(exc(1, 2047, 1), bytes([1, 1, 1]))
        self.assertEqual(exc(1, 2048, 1), bytes([0x81, 2]))

        # Writes.
        req = mbap(9, 0x11, struct.pack(">BHH", 5, 0, 0xFF00))
        self.assertEqual(self.ask(s, req), req)
        self.assertEqual(self.bit(Q(1)), 1)
        self.ask(s, mbap(9, 0x11, struct.pack(">BHH", 5, 0, 0)))
        self.assertEqual(self.bit(Q(1)), 0)
        self.ask(s, mbap(9, 0x11, struct.pack(">BHH", 6, 3004, 0xBEEF)))
        self.assertEqual(self.word(R(5)), 0xBEEF)
        r = self.ask(s, mbap(10, 0x11, struct.pack(">BHHB3H", 16, 3010, 3, 6, 0x0102, 0x0304, 0x0506)))
        self.assertEqual(r, bytes.fromhex("000A 0000 0006 11 10 0BC2 0003"))
        self.assertEqual([self.word(R(n)) for n in (11, 12, 13)], [0x0102, 0x0304, 0x0506])
        # (%M1..%M10 belong to the counter program: the same bits at %M201.)
        r = self.ask(s, mbap(11, 1, struct.pack(">BHHBBB", 15, 3200, 10, 2, 0xCD, 0x01)))
        self.assertEqual(r, mbap(11, 1, struct.pack(">BHH", 15, 3200, 10)))
        self.assertEqual("".join(str(self.bit(M(n))) for n in range(201, 211)), "1011001110")
        # The write inhibit: every write refused, nothing changed, reads served.
        c.write_reg(M(2000), 1, 1)
        self.assertEqual(self.ask(s, mbap(12, 1, struct.pack(">BHH", 6, 3004, 1)))[7:], bytes([0x86, 1]))
        self.assertEqual(self.ask(s, mbap(12, 1, struct.pack(">BHH", 5, 0, 0xFF00)))[7:], bytes([0x85, 1]))
        self.assertEqual(self.word(R(5)), 0xBEEF)
        self.assertEqual(self.bit(Q(1)), 0)
        self.assertEqual(exc(3, 3004, 1), bytes([3, 2, 0xBE, 0xEF]))
        c.write_reg(M(2000), 1, 0)

        # Diagnostics and unknown codes; the protocol identifier is answered 0.
        self.assertEqual(self.ask(s, mbap(0x0203, 0x11, bytes([7]))), bytes.fromhex("0203 0000 0003 11 07 00"))
        for fc in (0, 8, 17, 23, 43):
            self.assertEqual(self.ask(s, mbap(1, 1, struct.pack(">BHH", fc, 0, 1)))[7:], bytes([fc | 0x80, 1]), fc)
        self.assertEqual(self.ask(s, mbap(3, 1, struct.pack(">BHH", 3, 3004, 1), proto=5))[2:4], b"\0\0")

        # Sizes: the answer must fit its one-byte count; a write must carry its data.
        self.assertEqual(len(self.ask(s, mbap(1, 1, struct.pack(">BHH", 3, 3000, 127)))), 9 + 254)
        self.assertEqual(exc(3, 3000, 128), bytes([0x83, 2]))
        self.assertEqual(self.ask(s, mbap(1, 1, struct.pack(">BHH", 1, 3000, 2040)))[8], 255)
        self.assertEqual(exc(1, 3000, 2041), bytes([0x81, 2]))
        c.write_reg(R(21), 16, 0x5555)
        c.write_reg(R(120), 16, 0x5555)
        r = self.ask(s, mbap(1, 1, struct.pack(">BHHBH", 16, 3020, 100, 200, 0x1234)))
        self.assertEqual(r[7:], bytes([0x90, 2]))
        self.assertEqual((self.word(R(21)), self.word(R(120))), (0x5555, 0x5555))

        # Broken frames get no answer and the scan goes on.
        for junk in (b"\x00\x01\x00\x00", struct.pack(">HHH", 1, 0, 0xFF) + b"\x01\x03\x0b\xb8\x00\x01"):
            s2 = self.conn()
            s2.sendall(junk)
            self.assertIsNone(recv_frame(s2, 0.5))
            s2.close()
        s3 = self.conn()
        s3.sendall(struct.pack(">HHH", 1, 0, 0xFFFF) + b"\x01\x03")
        self.assertIsNone(recv_frame(s3, 0.5))
        before = self.word(R(1))
        time.sleep(0.2)
        self.assertNotEqual(self.word(R(1)), before)
        # Split and merged requests are each answered.
        for i in range(10):
            c.write_reg(R(5 + i), 16, 0x1001 + i)
        req = mbap(0x0102, 0x11, struct.pack(">BHH", 3, 3004, 10))
        s.sendall(req[:7])
        time.sleep(0.3)
        s.sendall(req[7:])
        self.assertEqual(recv_frame(s), want)
        s.sendall(req + mbap(0x0103, 0x11, struct.pack(">BHH", 3, 3004, 1)))
        self.assertEqual(recv_frame(s), want)
        self.assertEqual(recv_frame(s), bytes.fromhex("0103 0000 0005 11 03 02 1001"))

    def test_connections_mode_and_peers(self):
        self.start(config_block(records=[modbus_record()]))
        c = self.c
        socks = [self.conn() for _ in range(16)]
        for i, s in enumerate(socks):
            s.sendall(mbap(i, 1, struct.pack(">BHH", 6, 3200 + i, 100 + i)))
        for i, s in enumerate(socks):
            self.assertEqual(recv_frame(s)[:2], struct.pack(">H", i))
        self.assertEqual([self.word(R(201 + i)) for i in range(16)], [100 + i for i in range(16)])
        self.assertTrue(wait_for(lambda: self.word(R(50)) & 0xFF == 16, 3), hex(self.word(R(50))))
        for s in socks:
            s.close()

        # Out of run mode the port closes; back in run it serves again.
        c.set_mode(0)
        t0 = time.monotonic()

        def refused():
            t = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            t.settimeout(1)
            try:
                t.connect((HOST, 502))
                return False
            except ConnectionRefusedError:
                return True
            except (ConnectionResetError, socket.timeout):
                return False  # taken while the port was closing: ask again
            finally:
                t.close()
        self.assertTrue(wait_for(refused, 5))
        self.assertLess(time.monotonic() - t0, 1.5)
        c.set_mode(2)
        c.write_reg(R(5), 16, 0x4242)
        answers = []

        def served():
            # A connection taken while the service starts again may be reset: connect anew.
            try:
                s = self.conn()
                answers.append(self.ask(s, mbap(1, 1, struct.pack(">BHH", 3, 3004, 1))))
                s.close()
            except ConnectionResetError as e:
                answers.append(e)
            return isinstance(answers[-1], bytes)
        self.assertTrue(wait_for(served, 5), answers[-1:])
        self.assertEqual(answers[-1][9:], b"\x42\x42")

        # Real clients: pymodbus and libmodbus's mbpoll.
        code = ("import sys\nfrom pymodbus.client import ModbusTcpClient\n"
                "c = ModbusTcpClient('%s', port=502)\nc.connect()\n"
                "r = c.read_holding_registers(3004, 1, slave=1)\nprint(r.registers[0])\nc.close()\n" % HOST)
        out = self.peer.run("/usr/bin/python3", "-c", code, check=False)
        self.assertIn(str(0x4242), out.stdout)
        if shutil.which("mbpoll"):
            out = self.peer.run("mbpoll", "-m", "tcp", "-a", "1", "-r", "3005", "-c", "1", "-1", HOST,
                                check=False)
            self.assertIn(str(0x4242), out.stdout)

    def test_service_off_closes_the_port_at_the_stop_before_run(self):
        """F 0x08: the stop of the mode change closes port 502, and no scan
        listens on it again while the service stays off."""
        self.start(config_block(flags=0x200005DA, records=[modbus_record()]))

        def refused():
            try:
                self.peer.connect(HOST, 502, timeout=1.0).close()
            except ConnectionRefusedError:
                return True
            return False
        self.assertTrue(wait_for(refused, 5))


class ModbusUdp(ModbusCase):
    def test_each_sender_gets_its_own_answer(self):
        self.start(config_block(records=[modbus_record(mode=1)]))
        c = self.c
        c.write_reg(R(5), 16, 0x1111)
        c.write_reg(R(6), 16, 0x2222)
        a = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        b = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(a.close)
        self.addCleanup(b.close)
        for s in (a, b):
            s.settimeout(2)

        def both():
            a.sendto(mbap(1, 1, struct.pack(">BHH", 3, 3004, 1)), (HOST, 502))
            b.sendto(mbap(2, 1, struct.pack(">BHH", 3, 3005, 1)), (HOST, 502))
            return a.recvfrom(64)[0], b.recvfrom(64)[0]
        deadline = time.monotonic() + 10
        while True:
            try:
                ra, rb = both()
                break
            except socket.timeout:
                if time.monotonic() > deadline:
                    raise
        self.assertEqual(ra, bytes.fromhex("0001 0000 0005 01 03 02 1111"))
        self.assertEqual(rb, bytes.fromhex("0002 0000 0005 01 03 02 2222"))
        t = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.settimeout(1)
        with self.assertRaises(ConnectionRefusedError):
            t.connect((HOST, 502))
        t.close()


if __name__ == "__main__":
    unittest.main()
