"""SRTP, EGD and EtherNet/IP of the running controller, driven from the peer's
side of a veth pair (10.77.0.3) by raw frames built here by hand: SRTP reads,
writes and status requests; EGD production, multicast and consumption with
its statuses; EtherNet/IP encapsulation, the CIP objects, Forward_Open and
class-1 I/O. tshark, capturing on the peer's side, judges the EGD, ENIP and
CIP frames: none is malformed. One host holding every connection of the
Modbus, SRTP, EtherNet/IP and programming-tool servers idle keeps no client
of a second address out, and a host flooding one of them with connections
closes only its own. A Forward_Open sends produced data only to its opener
or a multicast group, never to a third host it names."""

import os
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, Flood, ManyHosts, NetPeer, fd_count, ip_addr, poll_failures, rss_kb, wait_for  # noqa: E402

HOST = "10.77.0.2"
PEER = "10.77.0.3"
OTHER = "10.77.0.4"  # a second address of the peer's host


def R(n):
    return 32768 + 16 * (n - 1)


def M(n):
    return 14336 + n - 1


def ip(text):
    return struct.unpack(">I", socket.inet_aton(text))[0]


# F bits 1 (SRTP), 4 (EGD) and 6 (EtherNet/IP) clear; the status word in %R50.
FLAGS = 0x20000580


def config_block(flags=FLAGS):
    words = [ip(HOST), 0xFFFFFF00,
             0x20000000, 0, flags, ip("10.77.0.1"), 0, R(51), 16, R(50), 16, R(60), 32, R(62), 32, R(64), 32, 0, 0]
    records = [
        [0x80000003, 0x101, ip(PEER), 100, 0, R(201), 6, R(210), 0x8000],
        [0x80000001, 0x202, ip(PEER), 0, 500, R(221), 4, R(223), 0xC002, R(224), 2, R(225), 0x2000,
         R(232), 0x4000, R(240), 0x8000],
        [0x80000003, 0x303, 5, 200, 0, R(205), 2],
        [0x10000002, 0, 0, 0, 0, R(301), 8],
        [0x10000000, 0, 0, 0, 0, R(311), 8],
        [0x30000000, 0, 0, 0, 0, R(320), 2],
    ]
    for rec in records:
        words += rec + [0, 0]
    words.append(0)
    body = b"".join(struct.pack("<I", w) for w in words)
    return struct.pack("<I", 4 + len(body)) + body


def io_config(block):
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(block)) + block
    return data + bytes(-len(data) % 4)


# %M501 toggles every scan; the up counter in %R1 counts its rising edges.
COUNTER = b"".join(struct.pack("<H", w) for w in [M(501), 54, M(501), M(501), 201, M(503), R(1), 32000, 38, M(605),
                                                  9]) \
    + struct.pack("<I", 0x8000) + bytes(5)

ADDR = bytes(range(0x20, 0x28))  # request bytes 32-39
STATUS_RUN = bytes([0xFF, 0x02, 0x74, 0x00, 0x00, 0x00])


def srtp(kind=2, seq=1, text=b"", form=1, code=4, sel=8, off=0, cnt=0, mbox=0xC0, b30=0x5A, data48=b"",
         tlen=None):
    m = bytearray(56)
    m[0] = kind
    m[2:4] = struct.pack("<H", seq)
    m[4:8] = struct.pack("<I", len(text) if tlen is None else tlen)
    m[9] = form
    m[30] = b30
    m[31] = mbox
    m[32:40] = ADDR
    at = 42 if form in (1, 5) else 50
    m[at] = code
    m[at + 1] = sel
    m[at + 2:at + 4] = struct.pack("<H", off)
    m[at + 4:at + 6] = struct.pack("<H", cnt)
    m[48:48 + len(data48)] = data48
    return bytes(m) + text


def answer(seq=1, b17=1, mbox=0xD4, text=b"", b30=0x5A, status=STATUS_RUN, short=b""):
    """A type-3 answer worked out by hand: byte 30 and the address words
    reflected (36-39 first), 50-55 the privilege and controller status."""
    a = bytearray(56)
    a[0] = 3
    a[2:4] = struct.pack("<H", seq)
    a[4:8] = struct.pack("<I", len(text))
    a[17] = b17
    a[30] = b30
    a[31] = mbox
    a[32:36] = ADDR[4:8]
    a[36:40] = ADDR[0:4]
    if text:
        a[42:44] = struct.pack("<H", len(text))
    a[44:44 + len(short)] = short
    a[50:56] = status
    return bytes(a) + text


def recv_exact(s, n, timeout=3.0):
    s.settimeout(timeout)
    buf = b""
    try:
        while len(buf) < n:
            chunk = s.recv(n - len(buf))
            if not chunk:
                break
            buf += chunk
    except socket.timeout:
        pass
    return buf


def recv_srtp(s, timeout=3.0):
    head = recv_exact(s, 56, timeout)
    if len(head) < 56:
        return head
    return head + recv_exact(s, struct.unpack("<I", head[4:8])[0], timeout)


def encap(cmd, data=b"", session=0, context=b"ctx12345", status=0):
    return struct.pack("<HHII", cmd, len(data), session, status) + context + bytes(4) + data


def recv_encap(s, timeout=3.0):
    head = recv_exact(s, 24, timeout)
    if len(head) < 24:
        return head
    return head + recv_exact(s, struct.unpack("<H", head[2:4])[0], timeout)


def rr(request, handle=0):
    """SendRRData data: interface handle, time-out, null address and unconnected data items."""
    return struct.pack("<IHHHHHH", handle, 0, 2, 0, 0, 0xB2, len(request)) + request


def cip(service, path, data=b""):
    return bytes([service, len(path) // 2]) + path + data


def forward_open(ot_id, to_id, serial, ot_params=0x400E, to_params=0x400A, rpi=50000, trigger=0x01,
                 path=bytes.fromhex("20042401 2C642C65")):
    d = struct.pack("<BBIIHHIB3sIHIHBB", 0x0A, 0x0E, ot_id, to_id, serial, 0x1234, 0xCAFEBABE, 2, bytes(3),
                    rpi, ot_params, rpi, to_params, trigger, len(path) // 2) + path
    return cip(0x54, bytes.fromhex("20062401"), d)


def rr_to(request, addr, port):
    """SendRRData data as rr(), with a T->O socket-address item after the
    request: family 2, port and address big-endian, 8 zeros."""
    item = struct.pack("<HH", 0x8001, 16) + struct.pack(">HH", 2, port) + socket.inet_aton(addr) + bytes(8)
    return struct.pack("<IHHHHHH", 0, 0, 3, 0, 0, 0xB2, len(request)) + request + item


LIST_SERVICES = struct.pack("<HHII", 4, 26, 0, 0) + b"ctx12345" + bytes(4) \
    + bytes.fromhex("0100 0001 1400 0100 2000") + b"Communications\0\0"


def forward_close(serial, vendor=0x1234, orig=0xCAFEBABE):
    path = bytes.fromhex("20042401 2C642C65")
    d = struct.pack("<BBHHIBB", 0x0A, 0x0E, serial, vendor, orig, len(path) // 2, 0) + path
    return cip(0x4E, bytes.fromhex("20062401"), d)


class FieldCase(unittest.TestCase):
    def setUp(self):
        self.peer = NetPeer(peer=PEER)
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-fp-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.pcap = None

    def start(self):
        c = self.c
        c.download(5, io_config(config_block()))
        c.comm_lock(0)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())
        c.set_mode(0)
        c.download(0, COUNTER)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))

    def word(self, n):
        return int.from_bytes(self.c.read_reg(R(n), 16), "little")

    def conn(self, port):
        s = self.peer.connect(HOST, port, timeout=3, nodelay=True)
        self.addCleanup(s.close)
        return s

    def udp(self, addr, port, group=None):
        s = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, port))
        if group:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton(group) + socket.inet_aton(PEER))
        self.addCleanup(s.close)
        return s

    def capture(self):
        """tshark on the peer's end of the link, ended by its process id."""
        fd, self.pcap = tempfile.mkstemp(suffix=".pcap")
        os.close(fd)
        os.chmod(self.pcap, 0o666)
        self.shark = subprocess.Popen(["nsenter", "-t", str(self.peer.holder.pid), "-n", "tshark", "-q", "-i",
                                       "eth0p", "-w", self.pcap], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        self.addCleanup(self._end_capture)
        self.assertTrue(wait_for(lambda: os.path.getsize(self.pcap) > 0, 10), "tshark did not start")
        time.sleep(0.5)

    def _end_capture(self):
        if self.shark.poll() is None:
            self.shark.send_signal(signal.SIGINT)
            try:
                self.shark.wait(10)
            except subprocess.TimeoutExpired:
                self.shark.kill()
                self.shark.wait()
        if self.pcap and os.path.exists(self.pcap):
            os.unlink(self.pcap)

    def judged(self, *decode_as):
        """The capture decoded by tshark: its protocol column lines and full text."""
        if self.shark.poll() is None:
            self.shark.send_signal(signal.SIGINT)
            self.shark.wait(10)
        args = ["tshark", "-r", self.pcap, "-V", "-Y", "ip.src==%s" % HOST]
        for d in decode_as:
            args += ["-d", d]
        return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout


class TurnedOff(FieldCase):
    def refused(self, port):
        """A connection to the port is refused at once (nothing listens)."""
        s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(s.close)
        s.settimeout(3)
        try:
            s.connect((HOST, port))
        except ConnectionRefusedError:
            return True
        except socket.timeout:   # a full queue of connections nobody takes
            return False
        return False

    def udp_closed(self, port):
        """A datagram to the port comes back as port unreachable."""
        s = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        s.settimeout(1)
        s.connect((HOST, port))
        s.send(b"x" * 32)
        try:
            s.recv(64)
        except ConnectionRefusedError:
            return True
        except socket.timeout:
            return False
        return False

    def test_services_turned_off_do_not_listen(self):
        """F 0x02 (SRTP), 0x10 (EGD) and 0x40 (EtherNet/IP) set: their ports
        are closed; cleared again by the next configuration, they answer."""
        c = self.c
        c.download(5, io_config(config_block(FLAGS | 0x52)))
        c.comm_lock(0)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())
        c.set_mode(0)
        c.download(0, COUNTER)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))
        self.assertTrue(wait_for(lambda: self.refused(18245), 5))
        self.assertTrue(wait_for(lambda: self.refused(44818), 5))
        self.assertTrue(wait_for(lambda: self.udp_closed(18246), 5))
        self.assertFalse(self.refused(18501))   # the programming tool stays
        # Turned on again by a new configuration: SRTP and EtherNet/IP answer.
        c.set_mode(0)
        c.download(5, io_config(config_block()))
        c.comm_lock(0)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: not self.refused(18245), 5))
        s = self.conn(18245)
        s.sendall(srtp(kind=0, seq=0))
        self.assertEqual(recv_srtp(s), bytes([1, 0, 0, 0, 0, 0, 0, 0, 1]) + bytes(47))
        e = self.conn(44818)
        e.sendall(encap(0x65, struct.pack("<HH", 1, 0)))
        self.assertEqual(recv_encap(e)[:4], struct.pack("<HH", 0x65, 4))
        # Off again while a session is open: the session ends and the port closes.
        c.set_mode(0)
        c.download(5, io_config(config_block(FLAGS | 0x52)))
        c.comm_lock(0)
        self.assertEqual(recv_exact(s, 1, timeout=5), b"")
        self.assertTrue(wait_for(lambda: self.refused(18245), 5))
        self.assertTrue(wait_for(lambda: self.refused(44818), 5))


class Srtp(FieldCase):
    def test_reads_writes_status_and_framing(self):
        self.start()
        c = self.c
        for i in range(10):
            c.write_reg(R(5 + i), 16, 0x1001 + i)
        s = self.conn(18245)

        def ask(frame, n=None):
            s.sendall(frame)
            return recv_srtp(s) if n is None else recv_exact(s, n)

        self.assertEqual(ask(srtp(kind=0, seq=0)), bytes([1, 0, 0, 0, 0, 0, 0, 0, 1]) + bytes(47))
        self.assertEqual(ask(srtp(kind=8, seq=2, code=ord("O"), sel=1)), answer(seq=2))
        self.assertEqual(ask(srtp(kind=8, seq=3, code=0x10))[:10], bytes([5, 0, 3, 0, 0, 0, 0, 0, 1, 0]))

        # Reads of %R5..: short, in the text, and long (two pieces).
        self.assertEqual(ask(srtp(seq=4, off=4, cnt=3)), answer(seq=4, short=bytes.fromhex("011002100310")))
        want = b"".join(struct.pack("<H", 0x1001 + i) for i in range(10))
        self.assertEqual(ask(srtp(seq=5, off=4, cnt=10)), answer(seq=5, b17=2, mbox=0x94, text=want))
        r = ask(srtp(seq=6, form=0, off=4, cnt=700))
        self.assertEqual(len(r), 56 + 1400)
        self.assertEqual(r[:56], answer(seq=6, b17=2, mbox=0x94, text=bytes(1400))[:56])
        self.assertEqual(r[56:76], want)
        # Bits round up to the byte that carries them.
        c.write_reg(M(201), 1, 1)
        c.write_reg(M(203), 1, 1)
        self.assertEqual(ask(srtp(seq=7, sel=76, off=200, cnt=3)), answer(seq=7, short=bytes([5])))

        # Writes: data in the header, in the text, long, by bytes; an unknown kind.
        self.assertEqual(ask(srtp(seq=8, code=7, off=19, cnt=2, data48=bytes.fromhex("34127856"))), answer(seq=8))
        self.assertEqual((self.word(20), self.word(21)), (0x1234, 0x5678))
        big = bytes((i * 7) & 0xFF for i in range(2000))
        frame = srtp(seq=9, code=7, off=1999, cnt=1000, mbox=0x80, text=big)
        s.sendall(frame[:56 + 1388])
        time.sleep(0.2)
        s.sendall(frame[56 + 1388:])
        self.assertEqual(recv_srtp(s), answer(seq=9))
        self.assertEqual(c.read_reg(R(2000), 16) + c.read_reg(R(2999), 16), big[:2] + big[-2:])
        self.assertEqual(ask(srtp(seq=10, code=7, sel=22, off=0, cnt=1, data48=b"\x0d")), answer(seq=10))
        self.assertEqual("".join(str(c.read_reg(M(i), 1)[0] & 1) for i in range(1, 9)), "10110000")
        err = bytes([5, 0, 11, 0, 0, 0, 0, 0, 1]) + bytes(47)
        self.assertEqual(ask(srtp(seq=11, code=7, off=30, cnt=1, mbox=0xAA, data48=b"\x01\x02")), err)
        # The count's bytes must be there: 5 words in the header, 3 in a 4-byte text.
        c.write_reg(R(31), 16, 0x4444)
        self.assertEqual(ask(srtp(seq=12, code=7, off=30, cnt=5))[:9], bytes([5, 0, 12, 0, 0, 0, 0, 0, 1]))
        self.assertEqual(ask(srtp(seq=12, code=7, off=30, cnt=3, mbox=0x80, text=b"\1\2\3\4"))[:9],
                         bytes([5, 0, 12, 0, 0, 0, 0, 0, 1]))
        self.assertEqual(self.word(31), 0x4444)

        # Refusals: an unknown selector, the end of %R, a transfer over 4,096 bytes.
        bad = answer(seq=13, mbox=0xD1)
        bad = bad[:42] + b"\x05\xf4" + bad[44:]
        self.assertEqual(ask(srtp(seq=13, sel=9, cnt=1)), bad)
        self.assertEqual(ask(srtp(seq=13, off=49999, cnt=1)), bad)
        self.assertEqual(ask(srtp(seq=13, cnt=2049)), bad)
        self.assertEqual(len(ask(srtp(seq=14, cnt=2048))), 56 + 4096)

        # Status and identification.
        self.assertEqual(ask(srtp(seq=15, code=1)),
                         answer(seq=15, b17=2, mbox=0x94, text=b"TQR300\0\0\x01\0\0\0" + bytes(32)))
        r = ask(srtp(seq=16, code=0x43))
        self.assertEqual(r, answer(seq=16, b17=2, mbox=0x94, text=b"TQR300\0\0\0\0\x01" + bytes(29)))
        self.assertEqual(ask(srtp(seq=17, code=0x61)), answer(seq=17, b17=2, mbox=0x94, text=b"\x0a\x02" + bytes(8)))
        self.assertEqual(ask(srtp(seq=18, code=0)), answer(seq=18))
        t = bytearray(256)
        t[4:12] = bytes.fromhex("000200024FC30000")
        self.assertEqual(ask(srtp(seq=19, sel=230)), answer(seq=19, b17=2, mbox=0x94, text=bytes(t)))
        t = bytearray(256)
        t[55] = t[57] = 0x44
        self.assertEqual(ask(srtp(seq=20, sel=236)), answer(seq=20, b17=2, mbox=0x94, text=bytes(t)))
        self.assertEqual(ask(srtp(seq=21, code=0x21, sel=7))[50:52], b"\xff\x02")
        four = ask(srtp(seq=22, code=0x21, sel=255))
        self.assertEqual(four, answer(seq=22, status=bytes([0xFF, 4, 0x74, 0, 0, 0])))
        self.assertEqual(ask(srtp(seq=23, code=0x21, sel=2))[51], 2)

        # Three requests in one write: three answers in order; a split one.
        s.sendall(srtp(seq=30, off=4, cnt=1) + srtp(seq=31, code=7, off=4, cnt=1, data48=b"\x99\x99")
                  + srtp(seq=32, off=4, cnt=1))
        self.assertEqual(recv_srtp(s), answer(seq=30, short=b"\x01\x10"))
        self.assertEqual(recv_srtp(s), answer(seq=31))
        self.assertEqual(recv_srtp(s), answer(seq=32, short=b"\x99\x99"))
        frame = srtp(seq=33, off=5, cnt=1)
        s.sendall(frame[:20])
        time.sleep(0.3)
        s.sendall(frame[20:])
        self.assertEqual(recv_srtp(s), answer(seq=33, short=b"\x02\x10"))

        # The status word counts the sessions.
        s2 = self.conn(18245)
        self.assertTrue(wait_for(lambda: self.word(50) & 0xFF == 2, 5), hex(self.word(50)))

        # Stopped: the status says so, reads and writes are served.
        c.set_mode(0)
        stopped = bytes([0xFF, 2, 0x74, 0, 0, 0x20])
        # The stop reaches the status on a later pass: read until it shows.
        seq = [100]

        def shows_stopped():
            seq[0] += 1
            return ask(srtp(seq=seq[0], off=4, cnt=1))[50:56] == stopped
        self.assertTrue(wait_for(shows_stopped, 5))
        self.assertEqual(ask(srtp(seq=40, code=7, off=4, cnt=1, data48=b"\x55\x66")), answer(seq=40, status=stopped))
        self.assertEqual(ask(srtp(seq=41, off=4, cnt=1)), answer(seq=41, status=stopped, short=b"\x55\x66"))

        # A text longer than 4,096: an error, and the session is closed.
        s2.sendall(srtp(seq=50, tlen=4097))
        self.assertEqual(recv_exact(s2, 56)[:9], bytes([5, 0, 50, 0, 0, 0, 0, 0, 1]))
        self.assertEqual(recv_exact(s2, 1, 5), b"")


class AcrossTheClockWraps(FieldCase):
    """The time base started 30 s before 10 x 2^32 ticks, where its 32-bit
    count and the millisecond clock taken from it (2^32 ms) wrap together,
    and the real-time clock 25 s before midnight (sim/rtc): the EGD producer
    (100 ms, stamped from the clock), a Modbus client polling and a ladder
    program's 100 ms on-delay timer run on through both wraps without a stop
    or a jump."""
    WRAP = 10 * 2**32

    def setUp(self):
        self.peer = NetPeer(peer=PEER)
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-wrap-")
        self.addCleanup(self.ctl.cleanup)
        os.makedirs(self.ctl.path("sim"), exist_ok=True)
        now = int(time.time())
        self.midnight = time.monotonic() + 25
        with open(self.ctl.path("sim", "rtc"), "w") as f:
            f.write("%d\n" % ((now // 86400 + 1) * 86400 - 25 - now))
        self.c = self.ctl.start(port=True, env={"PLC_FRT_OFFSET": str(self.WRAP - 300000)}).client
        self.pcap = None

    def time_base(self):
        return int.from_bytes(self.c.read_reg(1024 + 16 * 276, 32), "little")

    def test_producer_client_and_ladder_timer_across_the_wrap(self):
        uni = self.udp(PEER, 18246)
        # COUNTER, then %M601 timing on into %R401 (100 ms units).
        timer = [M(601), 209, R(401), 30000, 38, M(602)]
        words = [struct.unpack("<H", COUNTER[i:i + 2])[0] for i in range(0, len(COUNTER) - 9, 2)]
        prog = b"".join(struct.pack("<H", w) for w in words[:-1] + timer + [9]) + COUNTER[-9:]
        c = self.c
        c.download(5, io_config(config_block()))
        c.comm_lock(0)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())
        c.set_mode(0)
        c.download(0, prog)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))
        for i, v in enumerate((0x1111, 0x2222, 0x3333)):
            c.write_reg(R(201 + i), 16, v)
        c.write_reg(M(601), 1, 1)
        frt = self.time_base()
        to_wrap = (2**32 - frt) / 10000.0
        self.assertTrue(3 < to_wrap < 30, frt)
        wrap_at = time.monotonic() + to_wrap
        mb = self.conn(502)
        uni.settimeout(0.5)
        got, timer_seen = [], []
        tid = 0
        next_read = 0
        while time.monotonic() < wrap_at + 5:
            try:
                d = uni.recv(2000)
                if d[8:12] == b"\x01\x01\0\0":
                    got.append((time.monotonic(), struct.unpack("<H", d[2:4])[0], struct.unpack("<I", d[12:16])[0]))
            except socket.timeout:
                pass
            now = time.monotonic()
            if now >= next_read:
                next_read = now + 0.5
                tid = (tid + 1) & 0xFFFF
                # Function 3, %R401 (address 3400), one register.
                t0 = time.monotonic()
                mb.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 3400, 1))
                a = recv_exact(mb, 11)
                self.assertEqual(a[:9], struct.pack(">HHHBBB", tid, 0, 5, 1, 3, 2), a.hex())
                timer_seen.append(((t0 + time.monotonic()) / 2, struct.unpack(">H", a[9:11])[0]))
        self.assertLess(self.time_base(), 100000, "the time base wrapped")
        # Production every 100 ms throughout: no gap of four and a half
        # periods (a pass of the loop that missed its due time waits 500 ms),
        # no count lost.
        self.assertGreater(got[-1][0], wrap_at + 4)
        gaps = [b[0] - a[0] for a, b in zip(got, got[1:])]
        worst = max(range(len(gaps)), key=gaps.__getitem__)
        self.assertLess(gaps[worst], 0.45,
                        "a gap of %.3f s, %.2f s from the wrap" % (gaps[worst], got[worst][0] - wrap_at))
        counts = [n for _, n, _ in got]
        self.assertEqual(counts, [(counts[0] + i) & 0xFFFF for i in range(len(counts))])
        span = got[-1][0] - got[0][0]
        self.assertGreater(len(got), span / 0.1 * 0.8)
        # The stamps crossed midnight a second at a time, with the time.
        self.assertGreater(got[-1][0], self.midnight + 3)
        self.assertLess(got[-1][2] % 86400, 60, got[-1])
        for t, _, sec in got:
            self.assertLessEqual(abs((sec - got[0][2]) - (t - got[0][0])), 1.5, (t - self.midnight, sec))
        # The Modbus client had every answer, twice a second, and the ladder
        # timer moved with the time, 100 ms per unit: never further from it
        # than a read's time and a few units, before and after the wrap.
        self.assertGreater(len(timer_seen), 2 * (wrap_at + 5 - got[0][0]) * 0.8)
        t_first, v_first = timer_seen[0]
        for t, v in timer_seen:
            self.assertLessEqual(abs((v - v_first) - (t - t_first) * 10), 5, (t - wrap_at, v, timer_seen))


class Egd(FieldCase):
    def test_production_consumption_statuses_and_wire(self):
        self.capture()
        uni = self.udp(PEER, 18246)
        grp = self.udp("224.0.7.5", 18246, group="224.0.7.5")
        self.start()
        c = self.c
        for i, v in enumerate((0x1111, 0x2222, 0x3333)):
            c.write_reg(R(201 + i), 16, v)
        c.write_reg(R(205), 16, 0xBEEF)
        c.write_reg(R(223), 16, 0x7777)

        # 0x101 to the peer every 100 ms.
        got = []
        uni.settimeout(5)
        deadline = time.monotonic() + 10
        while len(got) < 12 and time.monotonic() < deadline:
            d = uni.recv(2000)
            if d[8:12] == b"\x01\x01\0\0" and d[32:] == bytes.fromhex("111122223333"):
                got.append((time.monotonic(), d))
        self.assertEqual(len(got), 12)
        t0, first = got[0]
        self.assertEqual(len(first), 38)
        self.assertEqual(first[:2] + first[4:12], bytes.fromhex("0D01 0A4D0002 01010000"))
        self.assertEqual(first[16:32], bytes(16))
        clock = [c.read_word(171 + i) for i in range(6)]
        import calendar
        want = calendar.timegm((clock[5], clock[4], clock[3], clock[2], clock[1], clock[0]))
        self.assertLessEqual(abs(struct.unpack("<I", first[12:16])[0] - want), 5)
        counts = [struct.unpack("<H", d[2:4])[0] for _, d in got]
        self.assertEqual(counts, [(counts[0] + i) & 0xFFFF for i in range(12)])
        span = got[-1][0] - t0
        self.assertGreater(span, 0.9)
        self.assertLess(span, 3.3)
        self.assertEqual(self.word(210), 1)
        # 0x303 to the group 224.0.7.5.
        grp.settimeout(5)
        d = grp.recv(2000)
        while d[8:12] != b"\x03\x03\0\0":
            d = grp.recv(2000)
        self.assertEqual(d[32:], b"\xef\xbe")

        # 0x202: silent, received, received, flagged, silent again.
        self.assertTrue(wait_for(lambda: self.word(240) == 6, 5), self.word(240))
        tx = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(tx.close)

        def send(status):
            m = bytearray(32)
            m[0], m[1] = 13, 1
            m[4:8] = socket.inet_aton(PEER)
            m[8:12] = struct.pack("<I", 0x202)
            m[12:16] = struct.pack("<I", 1710510330)
            m[16:20] = struct.pack("<I", 250000000)
            m[20:22] = struct.pack("<H", status)
            tx.sendto(bytes(m) + bytes.fromhex("DEADBEEF55553412"), (HOST, 18246))

        send(0)
        self.assertTrue(wait_for(lambda: self.word(240) == 7, 5), self.word(240))
        self.assertEqual([self.word(n) for n in range(221, 236)],
                         [0xADDE, 0xEFBE, 0x7777, 0x1234, 30, 45, 13, 15, 3, 2024, 250,
                          0x50FA, 0x65F4, 0xB280, 0x0EE6])
        send(0)
        self.assertTrue(wait_for(lambda: self.word(240) == 1, 5), self.word(240))
        send(2)
        self.assertTrue(wait_for(lambda: self.word(240) == 3, 5), self.word(240))
        self.assertTrue(wait_for(lambda: self.word(240) == 6, 5), self.word(240))
        # A short datagram or another type changes nothing.
        c.write_reg(R(221), 16, 0)
        tx.sendto(b"\x0d\x01" + bytes(29), (HOST, 18246))
        m = bytearray(32 + 8)
        m[0] = 14
        tx.sendto(bytes(m), (HOST, 18246))
        time.sleep(0.5)
        self.assertEqual((self.word(221), self.word(240)), (0, 6))

        # Stopped: nothing is sent.
        c.set_mode(0)
        time.sleep(0.5)
        for sock in (uni, grp):
            sock.setblocking(False)
            try:
                while sock.recv(2000):
                    pass
            except BlockingIOError:
                pass
        r, _, _ = select.select([uni, grp], [], [], 1.5)
        self.assertEqual(r, [])

        text = self.judged("udp.port==18246,egd")
        self.assertIn("Ethernet Global Data", text)
        self.assertEqual([line for line in text.splitlines() if "Malformed" in line], [])


class EtherNetIp(FieldCase):
    def test_encapsulation_objects_and_io(self):
        self.capture()
        io = self.udp(PEER, 2222)
        self.start()
        c = self.c
        for i, v in enumerate((0x0102, 0x0304, 0x0506, 0x0708)):
            c.write_reg(R(301 + i), 16, v)
        s = self.conn(44818)

        def ask(frame):
            s.sendall(frame)
            return recv_encap(s)

        r = ask(encap(0x04))
        self.assertEqual(r, LIST_SERVICES)
        r1 = ask(encap(0x65, b"\x01\x00\x00\x00"))
        self.assertEqual(r1[:4] + r1[8:], bytes.fromhex("6500 0400") + bytes(4) + b"ctx12345" + bytes(4)
                         + bytes.fromhex("01000000"))
        h1 = struct.unpack("<I", r1[4:8])[0]
        r2 = ask(encap(0x65, b"\x01\x00\x00\x00"))
        h = struct.unpack("<I", r2[4:8])[0]
        self.assertGreater(h, h1)
        self.assertEqual(ask(encap(0x01, session=h))[8:12], b"\x01\0\0\0")

        def ucmm(request, handle=0):
            a = ask(encap(0x6F, rr(request, handle), session=h))
            self.assertEqual(a[8:12], bytes(4))
            return a[40:]

        def get(cls, inst, attr):
            return ucmm(cip(0x0E, bytes([0x20, cls, 0x24, inst, 0x30, attr])))

        out = subprocess.run(["ip", "-o", "link", "show", "eth0"], stdout=subprocess.PIPE, text=True).stdout
        mac = bytes.fromhex(out.split("link/ether ")[1].split()[0].replace(":", ""))
        self.assertEqual(get(1, 1, 7), bytes.fromhex("8E000000") + b"TQR300")
        self.assertEqual(get(1, 1, 3), bytes.fromhex("8E000000 1400"))
        self.assertEqual(get(1, 1, 4), bytes.fromhex("8E000000 0100"))
        self.assertEqual(get(1, 1, 6), bytes.fromhex("8E000000") + bytes([mac[5], mac[4], mac[3], mac[2]]))
        self.assertEqual(get(1, 1, 8), bytes.fromhex("8E001400"))
        self.assertEqual(get(1, 0, 1), bytes.fromhex("8E000800"))
        self.assertEqual(get(1, 3, 1), bytes.fromhex("8E001600"))
        self.assertEqual(get(0xF5, 1, 4), bytes.fromhex("8E000000 0200 20F6 2401"))
        self.assertEqual(get(0xF5, 1, 1), bytes.fromhex("8E000000 01000000"))
        for n, st in ((4, 0), (5, 0x15), (3, 0x13)):
            self.assertEqual(ucmm(cip(0x10, bytes.fromhex("20F5 2401 3003"), bytes(n))), bytes([0x90, 0, st, 0]), n)
        self.assertEqual(get(0xF6, 1, 1), bytes.fromhex("8E000000 64000000"))
        self.assertEqual(get(0xF6, 1, 2), bytes.fromhex("8E000000 03000000"))
        self.assertEqual(get(0xF6, 1, 3), bytes.fromhex("8E000000") + mac)
        self.assertEqual(get(3, 1, 1), bytes.fromhex("8E001600"))
        self.assertEqual(get(2, 1, 1), bytes.fromhex("8E000800"))
        self.assertEqual(ucmm(cip(0x4C, bytes.fromhex("20012401"))), bytes.fromhex("CC000800"))
        # A path that passes the request's end, and one of an unknown segment.
        self.assertEqual(ucmm(bytes.fromhex("0E02 200124")), bytes.fromhex("8E000400"))
        self.assertEqual(ucmm(cip(0x0E, bytes.fromhex("2001 2401 4000"))), bytes.fromhex("8E000400"))
        self.assertEqual(get(4, 101, 3), bytes.fromhex("8E000000 0201 0403 0605 0807"))
        self.assertEqual(ucmm(cip(0x10, bytes.fromhex("2004 2464 3003"), bytes.fromhex("1100220033004400"))),
                         bytes.fromhex("90000000"))
        self.assertTrue(wait_for(lambda: self.word(314) == 0x44, 5))
        self.assertEqual([self.word(n) for n in range(311, 315)], [0x11, 0x22, 0x33, 0x44])
        for n, st in ((7, 0x13), (9, 0x15)):
            self.assertEqual(ucmm(cip(0x10, bytes.fromhex("2004 2464 3003"), bytes(n))), bytes([0x90, 0, st, 0]))
        # Interface handle 1 and an unknown connection: status 3.
        self.assertEqual(ask(encap(0x6F, rr(cip(0x0E, bytes.fromhex("20012401 3001")), 1), session=h))[8:12],
                         b"\x03\0\0\0")
        ud = struct.pack("<IHHHHIHHH", 0, 0, 2, 0xA1, 4, 0x77, 0xB1, 2, 1)
        self.assertEqual(ask(encap(0x70, ud, session=h))[8:12], b"\x03\0\0\0")

        # Forward_Open, class 1: both directions, the T->O address item.
        a = ask(encap(0x6F, rr(forward_open(0x11110001, 0x22220001, 0x0101)), session=h))
        body = a[40:]
        self.assertEqual(body[:30], bytes.fromhex("D4000000") + struct.pack("<IIHHIIIBB", 0x11110001, 0x22220001,
                                                                             0x0101, 0x1234, 0xCAFEBABE, 50000,
                                                                             50000, 0, 0))
        self.assertEqual(struct.unpack("<H", a[30:32])[0], 4)
        items = body[30:]
        self.assertEqual(items[:4], b"\x00\x80\x10\x00")
        self.assertEqual(items[4:20], bytes.fromhex("0002 08AE") + socket.inet_aton(HOST) + bytes(8))
        self.assertEqual(items[20:40], b"\x01\x80\x10\x00" + bytes.fromhex("0002 08AE") + socket.inet_aton(PEER)
                         + bytes(8))

        # T->O every 50 ms, 28 bytes; O->T applied, an older sequence ignored.
        io.settimeout(3)
        frames = []
        while len(frames) < 10:
            d, src = io.recvfrom(2000)
            frames.append((time.monotonic(), d))
        for _, d in frames:
            self.assertEqual(len(d), 28)
            self.assertEqual(d[:6] + d[6:10] + d[14:18] + d[20:],
                             bytes.fromhex("02000280 0800") + struct.pack("<I", 0x22220001)
                             + bytes.fromhex("B1000A00 0201040306050807"))
        seqs = [struct.unpack("<I", d[10:14])[0] for _, d in frames]
        counts = [struct.unpack("<H", d[18:20])[0] for _, d in frames]
        self.assertEqual(seqs, [seqs[0] + i for i in range(10)])
        self.assertEqual(counts, [(counts[0] + i) & 0xFFFF for i in range(10)])
        self.assertGreater(frames[-1][0] - frames[0][0], 0.4)

        def ot(seq, data, run=1):
            return struct.pack("<HHHIIHHHI", 2, 0x8002, 8, 0x11110001, seq, 0xB1, len(data) + 6, seq & 0xFFFF,
                               run) + data

        io.sendto(ot(10, bytes.fromhex("AA00BB00CC00DD00")), (HOST, 2222))
        self.assertTrue(wait_for(lambda: self.word(314) == 0xDD, 5), self.word(314))
        self.assertEqual([self.word(n) for n in (311, 312, 313, 320)], [0xAA, 0xBB, 0xCC, 1])
        io.sendto(ot(9, bytes.fromhex("0100020003000400")), (HOST, 2222))
        io.sendto(ot(11, bytes(7)), (HOST, 2222))
        time.sleep(0.5)
        self.assertEqual(self.word(311), 0xAA)
        io.sendto(ot(12, bytes.fromhex("0500060007000800")), (HOST, 2222))
        self.assertTrue(wait_for(lambda: self.word(311) == 5, 5), self.word(311))

        # Stopped: the produced data is zeros.
        c.set_mode(0)
        deadline = time.monotonic() + 5
        while True:
            d = io.recv(2000)
            if d[20:] == bytes(8) or time.monotonic() > deadline:
                break
        self.assertEqual(d[20:], bytes(8))
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))

        # Forward_Close: answered, sending stops; again: no such connection.
        a = ask(encap(0x6F, rr(forward_close(0x0101)), session=h))[40:]
        self.assertEqual(a, bytes.fromhex("CE000000") + struct.pack("<HHIBB", 0x0101, 0x1234, 0xCAFEBABE, 0, 0))
        time.sleep(0.3)
        io.setblocking(False)
        try:
            while io.recv(2000):
                pass
        except BlockingIOError:
            pass
        r, _, _ = select.select([io], [], [], 0.5)
        self.assertEqual(r, [])
        a = ask(encap(0x6F, rr(forward_close(0x0101)), session=h))[40:]
        self.assertEqual(a, bytes.fromhex("CE000101 0701") + struct.pack("<HHIB", 0x0101, 0x1234, 0xCAFEBABE, 0))
        # A T->O size that is not the produced size + 2.
        a = ask(encap(0x6F, rr(forward_open(1, 2, 0x0202, to_params=0x4009)), session=h))[40:]
        self.assertEqual(a, bytes.fromhex("D4000101 0901") + struct.pack("<HHIB", 0x0202, 0x1234, 0xCAFEBABE, 0))
        # A path of 17 words.
        a = ask(encap(0x6F, rr(forward_open(1, 2, 0x0203, path=bytes.fromhex("2004") * 17)), session=h))[40:]
        self.assertEqual(a[:6], bytes.fromhex("D4000101 1503"))
        # Eight T->O-only connections open; the ninth finds the manager's
        # list full (0x0113), which is taken before a configuration record.
        for i in range(8):
            a = ask(encap(0x6F, rr(forward_open(0, 0x3000 + i, 0x0300 + i, ot_params=0,
                                                path=bytes.fromhex("20042401 2C65"))), session=h))[40:]
            self.assertEqual(a[:4], bytes.fromhex("D4000000"), i)
        a = ask(encap(0x6F, rr(forward_open(0, 0x3009, 0x0309, ot_params=0, path=bytes.fromhex("20042401 2C65"))),
                      session=h))[40:]
        self.assertEqual(a, bytes.fromhex("D4000101 1301") + struct.pack("<HHIB", 0x0309, 0x1234, 0xCAFEBABE, 0))

        # Sessions: SRTP and encapsulation sessions count in %R50.
        srtp_s = self.conn(18245)
        self.assertTrue(wait_for(lambda: self.word(50) & 0xFF == 2, 5), hex(self.word(50)))
        srtp_s.close()
        # A length over 1,476 closes the session; a split message is served whole.
        s3 = self.conn(44818)
        m = encap(0x04)
        s3.sendall(m[:10])
        time.sleep(0.2)
        s3.sendall(m[10:])
        self.assertEqual(recv_encap(s3)[:4], bytes.fromhex("0400 1A00"))
        s3.sendall(struct.pack("<HHII", 0x6F, 1477, h, 0) + bytes(16))
        self.assertEqual(recv_exact(s3, 1, 5), b"")
        # UnRegisterSession closes the connection.
        s.sendall(encap(0x66, session=h))
        self.assertEqual(recv_exact(s, 1, 5), b"")

        text = self.judged()
        self.assertIn("EtherNet/IP (Industrial Protocol)", text)
        self.assertIn("Common Industrial Protocol", text)
        self.assertIn("Connected Data Item", text)
        # Two answers are shorter than tshark's CIP dissector expects, as this
        # controller defines them: the product name goes without the length
        # byte of the CIP string type, and a refused Forward_Open or
        # Forward_Close ends with the remaining path size (15 bytes), without
        # a reserved byte after it. Nothing else may be malformed.
        frames = text.split("\nFrame ")
        bad = [f.splitlines()[0] for f in frames if "Malformed" in f and "Missing string data" not in f
               and not ("Connection failure" in f and "Remaining Path Size: 0 words" in f)]
        self.assertEqual(bad, [])
        self.assertEqual(text.count("Expert Info (Error/Malformed): Missing string data"), 1)


    def test_produced_data_goes_only_to_the_opener_or_a_group(self):
        """T->O-only connections whose request names where their data goes:
        a third host (a second address of the peer's link) is refused and
        gets nothing, the opener itself and a multicast group get the data."""
        self.peer.run("ip", "addr", "add", OTHER + "/24", "dev", "eth0p")
        third = self.udp(OTHER, 2222)
        own = self.udp(PEER, 2300)
        group = self.udp("239.192.1.9", 2222, group="239.192.1.9")
        self.start()
        s = self.conn(44818)
        s.sendall(encap(0x65, b"\x01\x00\x00\x00"))
        h = struct.unpack("<I", recv_encap(s)[4:8])[0]
        to_only = bytes.fromhex("20042401 2C65")

        def open_to(serial, addr, port):
            fo = forward_open(0, 0x4000 + serial, serial, ot_params=0, path=to_only)
            s.sendall(encap(0x6F, rr_to(fo, addr, port), session=h))
            a = recv_encap(s)
            return struct.unpack("<H", a[30:32])[0], a[40:]

        items, answer = open_to(0x0401, OTHER, 2222)
        self.assertEqual((items, answer), (2, bytes.fromhex("D4000101 1203")
                                           + struct.pack("<HHIB", 0x0401, 0x1234, 0xCAFEBABE, 0)))
        items, answer = open_to(0x0402, PEER, 2300)
        self.assertEqual((items, answer[:4]), (3, bytes.fromhex("D4000000")))
        items, answer = open_to(0x0403, "239.192.1.9", 2222)
        self.assertEqual((items, answer[:4]), (3, bytes.fromhex("D4000000")))
        # Each served connection's datagrams reach its address: 28 bytes with
        # its T->O connection ID; the third host's socket stays empty.
        for sock, conn_id in ((own, 0x4402), (group, 0x4403)):
            sock.settimeout(3)
            d = sock.recv(2000)
            self.assertEqual((len(d), struct.unpack("<I", d[6:10])[0]), (28, conn_id))
        r, _, _ = select.select([third], [], [], 1.0)
        self.assertEqual(r, [])


class IdleSessions(FieldCase):
    def test_silent_sessions_close_after_a_minute(self):
        self.start()
        a = self.conn(18245)
        b = self.conn(44818)
        t0 = time.monotonic()
        self.assertTrue(wait_for(lambda: self.word(50) & 0xFF == 2, 5), hex(self.word(50)))
        time.sleep(max(0.0, 55 - (time.monotonic() - t0)))
        self.assertEqual(self.word(50) & 0xFF, 2)
        # Closed at 60 s; a loaded machine may be late by far more than any
        # fixed margin, so the upper bound is three times the period (a
        # passing run returns as soon as both are closed).
        self.assertTrue(wait_for(lambda: self.word(50) & 0xFF == 0, 180 - (time.monotonic() - t0)),
                        hex(self.word(50)))
        for s in (a, b):
            self.assertEqual(recv_exact(s, 1, 2), b"")


class OneHostHoldsEverySlot(FieldCase):
    """The peer's host takes every connection of four servers, each with the
    first byte of a request; the first of them then completes its request. A
    client from a second address is served within a second by each server,
    in place of the connection idle longest there: the second one."""

    def test_a_new_client_displaces_the_connection_idle_longest(self):
        from plcclient import CMD_GET_ID, ProtocolError, TcpPlcClient, build_frame
        self.start()
        pid = self.ctl.proc.pid
        get_id = build_frame(CMD_GET_ID, b"\x00", self.c.seed)
        requests = {
            502: struct.pack(">HHHB", 1, 0, 2, 1) + b"\x07",
            18245: srtp(kind=0, seq=0),
            44818: encap(0x04),
            18501: struct.pack("<IHHHH12sHH", 0, 0, 0, 0, 0, bytes(12), 0, len(get_id)) + get_id,
        }
        want = {
            502: bytes.fromhex("0001 0000 0003 01 07 00"),
            18245: bytes([1, 0, 0, 0, 0, 0, 0, 0, 1]) + bytes(47),
            44818: struct.pack("<HHII", 4, 26, 0, 0) + b"ctx12345" + bytes(4)
            + bytes.fromhex("0100 0001 1400 0100 2000") + b"Communications\0\0",
            18501: self.c.transact(CMD_GET_ID, b"\x00"),  # as the serial port answers it
        }

        def answer(port, s):
            if port != 18501:
                return recv_exact(s, len(want[port]))
            try:
                return TcpPlcClient(s, timeout=3).read_answer()
            except ProtocolError as e:
                return e

        self.peer.run("ip", "addr", "add", OTHER + "/24", "dev", "eth0p")
        fds, rss = fd_count(pid), rss_kb(pid)
        base = self.word(50) & 0xFF
        held = {}
        for port, slots in ((502, 16), (18245, 16), (44818, 2), (18501, 8)):
            held[port] = []
            for _ in range(slots):
                s = self.conn(port)
                s.sendall(requests[port][:1])
                held[port].append(s)
                n = base + sum(len(h) for h in held.values())
                # taken one after the other: each a moment idler than the next
                self.assertTrue(wait_for(lambda: self.word(50) & 0xFF == n, 5), (port, self.word(50), n))
        first = {}
        for port, h in held.items():
            h[0].sendall(requests[port][1:])
            first[port] = answer(port, h[0])
        self.assertEqual(first, want)

        clients = []
        served = {}
        for port in requests:
            t0 = time.monotonic()
            s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            clients.append(s)
            s.settimeout(3)
            s.bind((OTHER, 0))
            s.connect((HOST, port))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(requests[port])
            served[port] = (answer(port, s), time.monotonic() - t0)
        self.assertEqual({p: a for p, (a, _) in served.items()}, want)
        self.assertEqual([p for p, (_, took) in served.items() if took >= 1.0], [], served)

        def closed(s):
            s.settimeout(0.2)
            try:
                return s.recv(1) == b""
            except ConnectionResetError:
                return True
            except socket.timeout:
                return False
        self.assertEqual({p: [closed(s) for s in h] for p, h in held.items()},
                         {p: [False, True] + [False] * (len(h) - 2) for p, h in held.items()})
        for s in clients + [s for h in held.values() for s in h]:
            s.close()
        self.assertTrue(wait_for(lambda: fd_count(pid) <= fds, 10), (fd_count(pid), fds))
        self.assertLess(rss_kb(pid) - rss, 512)


class FloodingHost(FieldCase):
    """A second address of the peer's host floods one server with
    connections that never send a byte: 64 opened back to back and held,
    then one every 10 ms. Meanwhile a client of the peer's own address polls
    on the connection it opened before: 10 requests 0.1 s apart, 4 requests
    0.5 s apart, 2 requests 2 s apart. None of them fails; the connections
    the server closed are all the attacker's, and once the flood stops the
    attacker holds every record but the client's."""

    def flooded(self, port, slots, connect, ask):
        self.start()
        self.peer.run("ip", "addr", "add", OTHER + "/24", "dev", "eth0p")
        pid = self.ctl.proc.pid
        fds = fd_count(pid)
        conn = connect()
        self.assertTrue(ask(conn))
        flood = Flood(self.peer, OTHER, HOST, port)
        self.addCleanup(flood.close)
        flood.start()
        self.assertTrue(flood.burst_done.wait(15))
        failed, conn = poll_failures(ask, connect, conn)
        flood.stop()
        seen = []
        settled = wait_for(lambda: seen.append(flood.held()) or seen[-1] == slots - 1, 10)
        counts = "attacker: %d opened, %d closed by the server, %s held" % (flood.opened, flood.closed, seen[-1:])
        self.assertEqual(failed, {0.1: 0, 0.5: 0, 2.0: 0}, counts)
        self.assertTrue(settled, counts)
        self.assertEqual(flood.opened, flood.closed + slots - 1, counts)
        flood.close()
        if conn is not None:
            conn.close()
        self.assertTrue(wait_for(lambda: fd_count(pid) <= fds, 10), (fd_count(pid), fds))

    def socket_to(self, port):
        s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((PEER, 0))
        s.settimeout(3)
        s.connect((HOST, port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def test_modbus_tcp_client_keeps_its_connection(self):
        tid = [0]

        def ask(s):
            tid[0] += 1
            s.sendall(struct.pack(">HHHBBHH", tid[0], 0, 6, 1, 3, 3000, 1))
            return recv_exact(s, 11, 2.0)[:9] == struct.pack(">HHHBBB", tid[0], 0, 5, 1, 3, 2)
        self.flooded(502, 16, lambda: self.socket_to(502), ask)

    def test_srtp_client_keeps_its_session(self):
        seq = [0]

        def ask(s):
            seq[0] += 1
            a, want = recv_srtp_for(s, srtp(seq=seq[0], off=1, cnt=1)), answer(seq=seq[0])
            return len(a) == 56 and a[:44] + a[46:] == want[:44] + want[46:]
        self.flooded(18245, 16, lambda: self.socket_to(18245), ask)

    def test_ethernet_ip_client_keeps_its_session(self):
        def ask(s):
            s.sendall(encap(0x04))
            return recv_encap(s, 2.0) == LIST_SERVICES
        self.flooded(44818, 2, lambda: self.socket_to(44818), ask)

    def test_programming_tool_over_tcp_keeps_its_connection(self):
        from plcclient import TcpPlcClient
        target = self.c.target
        self.flooded(18501, 8, lambda: TcpPlcClient(self.socket_to(18501), timeout=2.0),
                     lambda c: c.get_local_id() == target)


class ManyHostsHoldEveryRecord(FieldCase):
    """As many hosts as a server has records (two for EtherNet/IP's
    sessions), each holding one connection that never sends a whole request
    and connecting again when closed. A client of the peer's own address,
    a host of its own, asks as soon as it is connected, then polls every
    0.1 s thirty times and loses no request: a connection that never asked
    gives way before a client that polls."""

    def held_by_many(self, port, slots, connect, ask, first):
        self.start()
        hosts = ["10.77.0.%d" % (10 + i) for i in range(slots)]
        for a in hosts:
            self.peer.run("ip", "addr", "add", a + "/24", "dev", "eth0p")
        pid = self.ctl.proc.pid
        fds = fd_count(pid)
        many = ManyHosts(self.peer, hosts, HOST, port, first)
        self.addCleanup(many.close)
        many.start()
        self.assertTrue(many.ready.wait(15))

        def asking():
            # A master asks as soon as it is connected: until its first whole
            # request its connection looks like the hosts' own.
            c = connect()
            if not ask(c):
                c.close()
                raise AssertionError("the first request on a new connection failed")
            return c
        try:
            conn = asking()
        except (OSError, AssertionError):
            conn = None
        failed, conn = poll_failures(ask, asking, conn, periods=((0.1, 30),))
        many.stop()
        counts = "hosts: %d connections opened, %d closed by the server" % (many.opened, many.closed)
        self.assertEqual(failed, {0.1: 0}, counts)
        self.assertGreater(many.closed, 0, counts)
        many.close()
        if conn is not None:
            conn.close()
        self.assertTrue(wait_for(lambda: fd_count(pid) <= fds, 10), (fd_count(pid), fds))

    def socket_to(self, port):
        s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((PEER, 0))
        s.settimeout(3)
        s.connect((HOST, port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def test_modbus_tcp_sixteen_hosts(self):
        tid = [0]

        def ask(s):
            tid[0] += 1
            s.sendall(struct.pack(">HHHBBHH", tid[0], 0, 6, 1, 3, 3000, 1))
            return recv_exact(s, 11, 3.0)[:9] == struct.pack(">HHHBBB", tid[0], 0, 5, 1, 3, 2)
        self.held_by_many(502, 16, lambda: self.socket_to(502), ask, b"\x00")

    def test_srtp_sixteen_hosts(self):
        seq = [0]

        def ask(s):
            seq[0] += 1
            s.sendall(srtp(seq=seq[0], off=1, cnt=1))
            a, want = recv_srtp(s, 3.0), answer(seq=seq[0])
            return len(a) == 56 and a[:44] + a[46:] == want[:44] + want[46:]
        self.held_by_many(18245, 16, lambda: self.socket_to(18245), ask, b"\x02")

    def test_ethernet_ip_two_hosts_for_two_sessions(self):
        def ask(s):
            s.sendall(encap(0x04))
            return recv_encap(s, 3.0) == LIST_SERVICES
        self.held_by_many(44818, 2, lambda: self.socket_to(44818), ask, b"\x04")

    def test_programming_tool_over_tcp_eight_hosts(self):
        from plcclient import TcpPlcClient
        target = self.c.target
        self.held_by_many(18501, 8, lambda: TcpPlcClient(self.socket_to(18501), timeout=3.0),
                          lambda c: c.get_local_id() == target, b"\x00")


def recv_srtp_for(s, frame):
    s.sendall(frame)
    return recv_srtp(s, 2.0)


if __name__ == "__main__":
    unittest.main()
