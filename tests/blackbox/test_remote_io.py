"""Ethernet remote I/O: a station of the I/O configuration played by a Modbus
TCP server of the test at 10.77.0.3:502 in the peer namespace (eth0p, whose
MAC is the station's): module configuration, outputs, inputs, the status
register, the disconnect at a stop, and the BOOTP answer with its permanent
ARP entry."""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, TcpPeer, ip_addr, wait_for  # noqa: E402
from test_modbus import HOST, config_block  # noqa: E402

STATION = "10.77.0.3"


def R(n):
    return 32768 + 16 * (n - 1)


def I(n):
    return 8192 + n - 1


def Q(n):
    return 10240 + n - 1


def pad4(b):
    return b + bytes(-len(b) % 4)


def remote_io_record(mac, modules=((2, 0x11223344), (6, 0x55667788), (14, 0x99AABBCC))):
    """One station: status %R100, DI %I1, DO %Q1, AI %R110, AQ %R120; modules
    of kinds 2, 6, 14 unless others are given."""
    d = bytearray(3088)
    struct.pack_into("<HHH", d, 0, 0xAA55, 0, 1)
    s = 16
    struct.pack_into("<II", d, s, struct.unpack(">I", socket.inet_aton(STATION))[0], R(100))
    d[s + 8:s + 14] = mac
    struct.pack_into("<IIII", d, s + 32, R(110), R(120), I(1), Q(1))
    struct.pack_into("<H", d, s + 52, len(modules))
    for m, (kind, word) in enumerate(modules):
        struct.pack_into("<IH", d, s + 64 + 16 * m, word, kind)
    return bytes(d)


def io_block(net, rio):
    data = b"\xff\xff\xff\xff" + struct.pack("<HH", 0xFA00, len(net)) + pad4(net)
    return data + struct.pack("<HH", 0xCF01, len(rio)) + pad4(rio)


class Station(TcpPeer):
    """Modbus TCP station on 502: records every request and when it came,
    answers FC16 and FC15 with their header, FC2 with the input bytes given;
    leaves the next `mute` FC15 requests unanswered."""

    def __init__(self, peer, inputs):
        super().__init__(peer, STATION, 502)
        self.inputs = inputs
        self.frames = []
        self.times = []
        self.mute = 0
        self.serve()

    def take(self, c, buf):
        while len(buf) >= 6 and len(buf) >= 6 + struct.unpack(">H", buf[4:6])[0]:
            n = 6 + struct.unpack(">H", buf[4:6])[0]
            f, buf = buf[:n], buf[n:]
            self.times.append(time.monotonic())
            self.frames.append(f)
            fc = f[7]
            if fc == 15 and self.mute > 0:
                self.mute -= 1
            elif fc in (15, 16):
                c.sendall(f[:4] + struct.pack(">H", 6) + f[6:12])
            elif fc == 2:
                c.sendall(f[:4] + struct.pack(">HBBB", 3 + len(self.inputs), 0xFF, 2, len(self.inputs))
                          + self.inputs)
        return buf

    def of(self, fc):
        return [f for f in self.frames if f[7] == fc]

    def timed(self, fc):
        return [(t, f) for t, f in zip(self.times, self.frames) if f[7] == fc]


class RemoteIo(unittest.TestCase):
    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.peer.run("ip", "addr", "add", STATION + "/24", "dev", "eth0p")
        link = self.peer.run("ip", "-o", "link", "show", "eth0p").stdout.split()
        mac_text = link[link.index("link/ether") + 1]
        self.mac_text = mac_text
        self.mac = bytes(int(x, 16) for x in mac_text.split(":"))
        self.station = Station(self.peer, bytes([0x3C, 0x81, 0x78, 0x56, 0x21, 0x43]))
        self.addCleanup(self.station.close)
        self.ctl = Controller(prefix="plc-rio-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client

    def run_with(self, record):
        """The I/O configuration with the remote I/O record downloaded, the
        host's address come up, and an empty program running."""
        c = self.c
        c.download(5, io_block(config_block(), record))
        c.comm_lock(0)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())
        c.set_mode(0)
        c.download(0, b"".join(struct.pack("<H", w) for w in [9]) + struct.pack("<I", 0x8000) + bytes(5))
        c.set_mode(2)

    def test_station_exchange_bootp_and_stop(self):
        c = self.c
        self.run_with(remote_io_record(self.mac))
        st = self.station
        self.assertTrue(wait_for(lambda: st.of(16), 10), st.frames)
        cfg = st.of(16)[0]
        self.assertEqual(cfg[2:].hex(" "), "00 00 00 13 ff 10 01 00 00 06 0c 44 33 22 11 88 77 66 55 cc bb aa 99")
        for ref in (Q(1), Q(3), Q(14), Q(16)):
            c.write_reg(ref, 1, 1)
        c.write_reg(R(120), 16, 0x1234)
        c.write_reg(R(121), 16, 0xABCD)
        want = "00 00 00 0d ff 0f 00 00 00 30 06 05 a0 34 12 cd ab"
        self.assertTrue(wait_for(lambda: any(f[2:].hex(" ") == want for f in st.of(15)), 10),
                        [f.hex(" ") for f in st.of(15)])
        self.assertTrue(wait_for(lambda: st.of(2), 10))
        self.assertEqual(st.of(2)[0][2:].hex(" "), "00 00 00 06 ff 02 00 00 00 30")
        self.assertTrue(wait_for(lambda: c.read_reg(R(110), 16) == b"\x78\x56", 10))
        self.assertEqual(c.read_reg(R(111), 16), b"\x21\x43")
        self.assertEqual(c.read_reg(I(1), 16), b"\x3c\x81")  # %I3-%I6, %I9, %I16
        self.assertEqual(c.read_reg(R(100), 16), b"\x00\x00")
        # Every frame carries its own transaction identifier.
        tids = [f[:2] for f in st.frames[:4]]
        self.assertEqual(len(set(tids)), len(tids))

        # BOOTP: a 299-byte request gets nothing, the 300-byte one its answer.
        cl = self.peer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(cl.close)
        cl.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        cl.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        cl.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0p")
        cl.bind(("0.0.0.0", 68))
        req = bytearray(300)
        req[0], req[1], req[2] = 1, 1, 6
        req[4:8] = b"\x11\x11\x11\x11"
        req[28:34] = self.mac
        req[236:240] = b"\x63\x82\x53\x63"
        for i in range(240, 300):
            req[i] = i & 0x7F
        short = bytearray(req[:299])
        short[4:8] = b"\x22\x22\x22\x22"
        cl.sendto(bytes(short), ("255.255.255.255", 67))
        time.sleep(0.05)  # the short one first on the line, not a wait for a result
        cl.sendto(bytes(req), ("255.255.255.255", 67))
        cl.settimeout(5)
        ans, src = cl.recvfrom(2048)
        want = bytearray(req)
        want[0] = 2
        want[16:20] = socket.inet_aton(STATION)
        want[20:24] = socket.inet_aton(HOST)
        want[44:47] = b"QDR"
        want[240:247] = bytes([1, 4, 0xFF, 0xFF, 0xFF, 0x00, 0xFF])
        self.assertEqual(len(ans), 300)
        self.assertEqual(ans.hex(), bytes(want).hex())
        self.assertEqual(src[0], HOST)
        neigh = subprocess.run(["ip", "neigh", "show", STATION], stdout=subprocess.PIPE, text=True).stdout
        self.assertIn(self.mac_text, neigh)
        self.assertIn("PERMANENT", neigh)

        # Mode 0: the station is disconnected.
        closed = st.closed
        c.set_mode(0)
        self.assertTrue(wait_for(lambda: st.closed > closed, 10))

    def test_refresh_every_3s_and_answer_timeout(self):
        """A station with one output module (kind 6, DO %Q1) and no inputs:
        unchanged outputs go again every 3 s; an FC15 left unanswered shows
        -204 in %R100 after 2 s and all outputs go again at once, also when
        they are all off (a stale output on the station is cleared)."""
        c = self.c
        self.run_with(remote_io_record(self.mac, ((6, 0x55667788),)))
        st = self.station
        self.assertTrue(wait_for(lambda: len(st.of(15)) >= 3, 15), [f.hex(" ") for f in st.frames])
        self.assertEqual(st.of(16)[0][2:].hex(" "), "00 00 00 0b ff 10 01 00 00 02 04 88 77 66 55")
        runs = st.timed(15)[:3]
        for t, f in runs:
            self.assertEqual(f[2:].hex(" "), "00 00 00 09 ff 0f 00 00 00 10 02 00 00")
        gaps = [b[0] - a[0] for a, b in zip(runs, runs[1:])]
        for g in gaps:
            self.assertGreaterEqual(g, 2.8, gaps)  # 3 s, less the station's own timestamp jitter
            self.assertLess(g, 4.5, gaps)
        self.assertEqual(st.of(2), [])  # no inputs: never asked
        self.assertEqual(c.read_reg(R(100), 16), b"\x00\x00")

        # %Q1 on goes at once; then %Q1 off with that FC15 left unanswered.
        c.write_reg(Q(1), 1, 1)
        on = "00 09 ff 0f 00 00 00 10 02 01 00"
        self.assertTrue(wait_for(lambda: any(f[7:].hex(" ") == on[9:] for f in st.of(15)), 10))
        # Two FC15 left unanswered: -204 stays from the first time-out until
        # the third FC15 is answered.
        n = len(st.of(15))
        st.mute = 2
        c.write_reg(Q(1), 1, 0)
        self.assertTrue(wait_for(lambda: c.read_reg(R(100), 16) == b"\x34\xff", 10),
                        (c.read_reg(R(100), 16), [(round(t, 2), f.hex(" ")) for t, f in st.timed(15)]))
        self.assertTrue(wait_for(lambda: len(st.of(15)) >= n + 3, 10))
        sent = st.timed(15)[n:n + 3]
        for t, f in sent:
            self.assertEqual(f[7:].hex(" "), "0f 00 00 00 10 02 00 00")
        self.assertEqual(len({f[:2] for t, f in sent}), 3)  # new transactions
        # Each sent on the time-out (more than 2 s, less the station's own
        # timestamp jitter), before a 3 s refresh was due.
        for a, b in zip(sent, sent[1:]):
            self.assertGreaterEqual(b[0] - a[0], 1.9)
            self.assertLess(b[0] - a[0], 2.8)
        self.assertTrue(wait_for(lambda: c.read_reg(R(100), 16) == b"\x00\x00", 10))


if __name__ == "__main__":
    unittest.main()
