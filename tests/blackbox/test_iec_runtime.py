"""The IEC runtime inside the controller, driven from outside: an application
downloaded with the command protocol runs one cycle per scan with its located
variables bound to the registers; after the command protocol hands the
programming link over (0x26) the workbench's server answers on TCP 1100 or
on the serial port, discovery answers on UDP 11173 and the event server on
TCP 9000 pushes application events."""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, NetPeer, crc16, recv_exact, wait_for  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from plcclient import ACK  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
AQ1, AQ2, AQ3, AI1 = 24576, 24592, 24608, 16384
LO = "127.0.0.1"


def frame(kind, payload=b""):
    return b"Z7" + struct.pack(">H", 1 + len(payload)) + bytes([kind]) + payload


def serial_frame(kind, payload=b""):
    f = frame(kind, payload)
    return f + struct.pack(">H", crc16(f))


def written(kind):
    out = subprocess.run([WRITER, kind, "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout
    return out



def closed(s, timeout=5.0):
    """True when the peer closes the connection (orderly or abortive)."""
    s.settimeout(timeout)
    try:
        while True:
            if not s.recv(4096):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def discover(payload=b"disc", timeout=0.5):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        u.settimeout(timeout)
        u.sendto(payload, (LO, 11173))
        try:
            return u.recv(256)
        except socket.timeout:
            return None
    finally:
        u.close()


def net_config(flags):
    """The network configuration (record 0xFA00) downloaded as block 5:
    address 10.77.0.2/24, gateway 10.77.0.1, the given flags word, status
    and data registers from %R50 up; padded to four bytes."""
    ip = lambda a: struct.unpack(">I", socket.inet_aton(a))[0]  # noqa: E731
    R = lambda n: 32768 + 16 * (n - 1)  # noqa: E731
    words = [ip("10.77.0.2"), 0xFFFFFF00, 0x20000000, 0, flags, ip("10.77.0.1"), 0, R(51), 16, R(50), 16,
             R(60), 32, R(62), 32, R(64), 32, 0, 0, 0x40000000, 0, 0, 1000, 32, R(70), 32, R(72), 32, 0, 0, 0]
    body = b"".join(struct.pack("<I", w) for w in words)
    block = struct.pack("<I", 4 + len(body)) + body
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(block)) + block
    return data + bytes(-len(data) % 4)


class IecRuntime(unittest.TestCase):
    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-bb-iecrt-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        self.c.download(0, written("program"))
        self.c.set_mode(2)

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def words(self, ref, n):
        return struct.unpack("<%dH" % n, self.c.read_reg(ref, 16 * n))

    def grows(self, ref):
        a = self.word(ref)
        return wait_for(lambda: self.word(ref) > a + 2, 5)

    def hand_over_ethernet(self):
        """0x26 from the programming tool over TCP 18501 (from a veth peer:
        the command protocol's Ethernet channel lives on eth0)."""
        peer = self.peer
        self.c.download(5, net_config(0x200005DA))
        self.c.comm_lock(0)
        deadline = time.monotonic() + 20
        while True:
            try:
                t = peer.tcp_client("10.77.0.2")
                t.target = t.get_local_id()
                break
            except Exception:  # the channel answers once the link is up
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.3)
        self.addCleanup(t.close)
        t.expect_byte(t.transact(0x26, bytes([t.target])), ACK, "0x26")
        return t

    def connect(self, port=1100):
        s = socket.create_connection((LO, port), timeout=3)
        self.addCleanup(s.close)
        return s

    def ninth_turned_away(self):
        """A client past the eighth is closed at once; under load the kernel
        may already reset it while it connects, which turns it away too."""
        try:
            s = self.connect()
        except (ConnectionResetError, ConnectionRefusedError):
            return True
        return closed(s, 3)

    def ask(self, s, data, n=7):
        s.sendall(data)
        return recv_exact(s, n)

    def test_application_runs_with_its_registers_and_keeps_its_retained_counter(self):
        self.assertTrue(self.ctl.wait_console("_VMThread", 10), self.ctl.console())
        out = self.ctl.console()
        self.assertLess(out.index("Z7_main_loop_start"), out.index("DrevanoFirstRun_func"))
        self.assertEqual(self.c.read_word(128), 1)  # %SR1
        self.assertTrue(self.grows(AQ1))
        # %AI1 -> INT 2, INT 3 := INT 2 * 2 -> %AQ2
        self.c.write_reg(AI1, 16, 21)
        self.assertTrue(wait_for(lambda: self.word(AQ2) == 42, 5), self.word(AQ2))
        # a word output written from outside: the register wins, then the VM counts on from it
        self.c.write_reg(AQ1, 16, 30000)
        self.assertTrue(wait_for(lambda: 30000 < self.word(AQ1) < 31000, 5), self.word(AQ1))
        # retained INT 1 survives the stop and cold start of a mode change
        self.c.set_mode(0)
        v = self.word(AQ1)
        self.c.set_mode(2)
        with open(self.ctl.path("mnt", "cfg", "z7.ret"), "rb") as f:
            self.assertEqual(f.read(), struct.pack("<IH", 0x5A37A001, v))
        self.assertTrue(wait_for(lambda: self.words(AQ1, 3)[2] > 3, 5))
        a1, _, a3 = self.words(AQ1, 3)
        self.assertEqual((a1 - a3) & 0xFFFF, v)

    def test_workbench_over_tcp_discovery_and_downloads(self):
        self.assertIsNone(discover())  # the controller's protocol owns the link
        self.hand_over_ethernet()
        self.assertEqual(discover(), b"disc:1100,9000,Z7")
        self.assertIsNone(discover(b"disco"))
        s = self.connect()
        self.assertEqual(self.ask(s, bytes.fromhex("5A37000315 0001".replace(" ", ""))),
                         bytes.fromhex("5A37000315 0000".replace(" ", "")))
        self.assertEqual(self.ask(s, frame(21, b"\x00\x02")), frame(21, b"\x00\x01"))
        # a header arriving in pieces is one frame, never the last one again
        s.sendall(b"Z7")
        time.sleep(0.2)
        self.assertEqual(self.ask(s, b"\x00\x03\x15\x00\x01"), frame(21, b"\x00\x00"))
        self.assertEqual(self.ask(s, frame(21, b"\x00\x01" + bytes(1021))), frame(21, b"\x00\x00"))  # size 1024
        s.sendall(b"Z7" + struct.pack(">H", 1025))
        self.assertTrue(self.ctl.wait_console("Invalid frame size - endianness maybe incorrect", 5))
        self.assertEqual(self.ask(s, frame(21, b"\x00\x01")), frame(21, b"\x00\x00"))  # connection kept
        others = [self.connect() for _ in range(7)]
        self.assertTrue(self.ninth_turned_away())
        for o in others:
            o.close()
        # download: stop, then load type 1 named "z7" in pieces, end, and the new image runs
        self.assertEqual(self.ask(s, frame(5, b"\x01\x00z7\x00")), frame(5, b"\x00\x00"))
        self.assertTrue(self.ctl.wait_console("Application stopped", 5))
        image = written("image")
        head = b"\x01" + struct.pack(">I", len(image)) + b"z7\x00"
        self.assertEqual(self.ask(s, frame(2, head)), frame(2, b"\x00\x00"))
        for i in range(0, len(image), 1000):
            self.assertEqual(self.ask(s, frame(3, head + image[i:i + 1000])), frame(3, b"\x00\x00"))
        self.assertEqual(self.ask(s, frame(4, head)), frame(4, b"\x00\x00"))
        with open(self.ctl.path("mnt", "cfg", "z7.cod"), "rb") as f:
            self.assertEqual(f.read(), image)
        self.assertTrue(self.grows(AQ1))
        self.assertEqual(self.ask(s, frame(6, b"\x01\x00z7\x00")), frame(6, b"\x00\x01"))
        self.assertEqual(self.ask(s, frame(2, head)), frame(2, b"\x00\x01"))
        # the controller's own frame start on the runtime port takes the link back
        s.sendall(b"HR" + bytes(8))
        self.assertTrue(closed(s, 3))
        self.assertIsNone(discover(), self.ctl.console()[-2000:])

    def test_event_server(self):
        self.hand_over_ethernet()
        quiet = self.connect(9000)
        idle = recv_exact(quiet, 21)
        self.assertEqual(idle[:10], bytes.fromhex("5A37001112010800 0301".replace(" ", "")))
        self.assertEqual(idle[-3:], b"\x09\x01\x01")
        date = struct.unpack(">I", idle[10:14])[0]
        self.assertTrue(1 <= (date >> 8) & 0xFF <= 12 and 1 <= date & 0xFF <= 31, hex(date))
        e = self.connect(9000)
        recv_exact(e, 21)
        e.sendall(b"Z7" + struct.pack(">HBBI", 6, 0x12, 0x2F, 0))
        t0 = time.monotonic()
        self.assertTrue(closed(quiet, 6))  # no acknowledgement: closed after 3 s
        self.assertGreater(time.monotonic() - t0, 1.5)
        s = self.connect()
        self.assertEqual(self.ask(s, frame(5, b"\x01\x00z7\x00")), frame(5, b"\x00\x00"))
        e.settimeout(5)
        deadline = time.monotonic() + 5
        got = b""
        while b"MAINRD" not in got and time.monotonic() < deadline:
            head = recv_exact(e, 6)
            got = recv_exact(e, struct.unpack(">H", head[2:4])[0] - 2)
            if head[5] and got[0] == 1 and got[1] == 6:
                break
        self.assertEqual(got[:3], bytes([1, 6, 6]))
        self.assertEqual(got[12:18], b"MAINRD")
        self.assertTrue(e.fileno() >= 0)


class IecSerialLink(unittest.TestCase):
    def test_serial_frames_with_crc_and_the_hand_back(self):
        ctl = Controller(prefix="plc-bb-iecser-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, written("program"))
        c.set_mode(2)
        c.expect_byte(c.transact(0x26, bytes([c.target])), ACK, "0x26")
        time.sleep(0.2)
        c.flush_input()
        c.write(bytes.fromhex("5A37000315000102 35".replace(" ", "")))
        self.assertEqual(c.read_exact(9), bytes.fromhex("5A37000315 0000C2F4".replace(" ", "")))
        bad = bytearray(serial_frame(21, b"\x00\x01"))
        bad[-1] ^= 1
        c.write(bytes(bad))
        self.assertTrue(c.silent_for(0.5))
        self.assertEqual(discover(), b"disc:0,9000,Z7")
        # the controller's own frame start gives the port back to the command protocol
        c.write(b"HR\x00\x00")
        time.sleep(0.3)
        c.flush_input()
        self.assertIn(c.get_mode(), (2, 3))


if __name__ == "__main__":
    unittest.main()
