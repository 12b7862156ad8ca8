"""The main loop between passes, seen from outside: a Modbus read answered
within 2 ms while the controller is otherwise idle, an idle controller's CPU
use, connections that send nothing or leave a request incomplete adding no
passes, 2,000 connections closed one after another leaving the descriptors
and the readiness set as they were, and a Modbus peer that stops reading
losing its connection instead of getting cut answers; on 2,000 rungs a read
answered within two scan times, after one more scan.

Passes are counted with the counter program of test_modbus: %M1 toggles
every scan and %R1 counts its rising edges, one count per two scans."""

import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import holds_for, wait_for  # noqa: E402
from test_media import SR  # noqa: E402
from test_modbus import HOST, ModbusCase, R, arithmetic_program, config_block, mbap, modbus_record  # noqa: E402
from test_modbus import recv_frame  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of the whole process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def descriptors(pid):
    """Open descriptors of the process, and the descriptors in its epoll set."""
    fds = os.listdir("/proc/%d/fd" % pid)
    watched = 0
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) != "anon_inode:[eventpoll]":
                continue
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as f:
                watched += sum(1 for line in f if line.startswith("tfd:"))
        except OSError:
            pass
    return len(fds), watched


def fd_names(pid):
    """What the process's descriptors are (for a failure message)."""
    out = []
    for fd in sorted(os.listdir("/proc/%d/fd" % pid), key=int):
        try:
            out.append("%s:%s" % (fd, os.readlink("/proc/%d/fd/%s" % (pid, fd))))
        except OSError:
            pass
    return " ".join(out)


class MainLoop(ModbusCase):
    def setUp(self):
        super().setUp()
        self.start(config_block(records=[modbus_record()]))
        self.pid = self.ctl.proc.pid

    def scan_rate(self, seconds=2.0):
        """Scans a second over a window of the test's own."""
        c = self.c
        c.write_reg(R(1), 16, 0)
        t0 = time.monotonic()
        time.sleep(seconds)
        counts = self.word(R(1))
        return 2 * counts / (time.monotonic() - t0)

    def fc3(self, s, tid, addr=3004, qty=10):
        return mbap(tid, 1, struct.pack(">BHH", 3, addr, qty))

    def test_read_answered_within_2ms_p99_and_idle_cpu(self):
        # Idle CPU over 10 s (printed for the report; a loop that spins takes
        # a whole core).
        t0, c0 = time.monotonic(), cpu_seconds(self.pid)
        time.sleep(10)
        idle = 100 * (cpu_seconds(self.pid) - c0) / (time.monotonic() - t0)
        print("idle CPU %.1f %%" % idle, file=sys.stderr)
        self.assertLess(idle, 50.0)

        for i in range(10):
            self.c.write_reg(R(5 + i), 16, 0x2001 + i)
        want = bytes.fromhex("0000 0000 0017 01 03 14") + b"".join(struct.pack(">H", 0x2001 + i) for i in range(10))
        s = self.conn()
        lat = []
        for n in range(2000):
            tid = n & 0xFFFF
            t = time.perf_counter()
            s.sendall(self.fc3(s, tid))
            r = recv_frame(s)
            lat.append(time.perf_counter() - t)
            self.assertEqual(r, struct.pack(">H", tid) + want[2:], n)
        lat.sort()
        p50, p99 = lat[len(lat) // 2] * 1e6, lat[int(len(lat) * 0.99)] * 1e6
        print("FC3 round trip p50 %.0f us, p99 %.0f us" % (p50, p99), file=sys.stderr)
        # 2 ms is the figure to meet (the benchmark reports it); three times
        # that holds on a loaded machine and still catches a stalled loop.
        self.assertLess(p99, 6000.0)

    def test_read_on_2000_rungs_answered_after_one_more_scan(self):
        """A read is answered within two scan times (%SR6, 100 us units) of its
        arrival and never from the image of the pass that took it: a write of
        the rung output %R1501 taken with it by another connection is
        overwritten by the next scan before the read's answer is built."""
        c = self.c
        c.set_mode(0)
        c.download(0, arithmetic_program(2000))
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 5))
        c.write_reg(R(1001), 16, 7)
        # (7 + 3) * 2, worked by hand from the rung.
        self.assertTrue(wait_for(lambda: self.word(R(1501)) == 20, 5), self.word(R(1501)))
        a, b = self.conn(), self.conn()
        lat, answers = [], []
        for n in range(60):
            write = mbap(n, 1, struct.pack(">BHH", 6, 4500, 0x5A00 + n))
            a.sendall(write)
            t = time.perf_counter()
            b.sendall(mbap(n, 1, struct.pack(">BHH", 3, 4500, 1)))
            answers.append(recv_frame(b))
            lat.append(time.perf_counter() - t)
            self.assertEqual(recv_frame(a), write, n)
        self.assertEqual(answers, [mbap(n, 1, bytes([3, 2, 0, 20])) for n in range(60)])
        scan_us = 100 * self.word(SR(6))
        lat.sort()
        p50 = lat[len(lat) // 2] * 1e6
        print("2,000 rungs: scan %d us (%%SR6), read answered p50 %.0f us" % (scan_us, p50), file=sys.stderr)
        self.assertGreater(scan_us, 0)
        self.assertLessEqual(p50, 2 * scan_us)

    def test_silent_and_incomplete_connections_add_no_passes(self):
        idle = self.scan_rate()
        self.assertGreater(idle, 100)
        # A connection that sends nothing, one whose request stays
        # incomplete, one whose answer is never read, and a silent
        # programming-tool connection.
        silent = self.conn()
        partial = self.conn()
        partial.sendall(self.fc3(partial, 1)[:7])
        unread = self.conn()
        unread.sendall(self.fc3(unread, 2))
        tool = self.conn(port=18501)
        self.assertTrue(silent and tool)
        self.assertTrue(self.wait_conns(4))
        busy = self.scan_rate()
        print("scans/s idle %.0f, with 4 quiet connections %.0f" % (idle, busy), file=sys.stderr)
        self.assertLess(busy, 3 * idle)
        self.assertGreater(busy, idle / 3)
        # The incomplete request is still served once whole.
        partial.sendall(self.fc3(partial, 1)[7:])
        self.assertEqual(recv_frame(partial)[:2], b"\x00\x01")

    def wait_conns(self, n):
        """Until the status word's connection count (%R50 low byte) is n."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.word(R(50)) & 0xFF == n:
                return True
            time.sleep(0.05)
        return False

    def test_closing_2000_connections_leaves_descriptors_and_set(self):
        # One cycle of each first, so that everything made once is made.
        def dial(port):
            """A connection; one refused while every server socket is still
            taken by the previous cycle (between its close and the relisten
            of a later pass) is dialled again, within 5 s."""
            deadline = time.monotonic() + 5
            while True:
                s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.settimeout(5)
                try:
                    s.connect((HOST, port))
                    return s
                except ConnectionRefusedError:
                    s.close()
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.01)

        def cycle502(tid):
            s = dial(502)
            s.sendall(self.fc3(s, tid, 3000, 1))
            self.assertIsNotNone(recv_frame(s), tid)
            s.close()

        def cycle18501():
            dial(18501).close()

        self.conn().close()  # the port is listened on
        self.conn(port=18501).close()
        cycle502(0)
        cycle18501()
        self.assertTrue(self.wait_conns(0))
        # The reference is a reading that stays put for a second: a listening
        # socket taken back between a close and the relisten of a later pass
        # must not make it one short.
        deadline = time.monotonic() + 10
        before = descriptors(self.pid)
        while not holds_for(lambda: descriptors(self.pid) == before, 1.0):
            self.assertLess(time.monotonic(), deadline, "descriptors never settle")
            before = descriptors(self.pid)
        self.assertGreater(before[1], 0)  # the listening sockets are in the set
        t0 = time.monotonic()
        for i in range(2000):
            cycle502(i)
        t502 = time.monotonic() - t0
        t0 = time.monotonic()
        for i in range(2000):
            cycle18501()
        t18501 = time.monotonic() - t0
        print("2000 cycles: 502 %.2f s, 18501 %.2f s" % (t502, t18501), file=sys.stderr)
        # The readiness set holds what it held; no descriptor is left over
        # (a server record that served a connection no longer keeps the
        # socket it was made with, so the count may only fall).
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            fds, watched = descriptors(self.pid)
            if watched == before[1] and fds <= before[0]:
                break
            time.sleep(0.05)
        fds, watched = descriptors(self.pid)
        self.assertEqual(watched, before[1], fd_names(self.pid))
        self.assertLessEqual(fds, before[0], fd_names(self.pid))

    def test_peer_that_stops_reading_loses_its_connection(self):
        # A small receive window that the peer never empties: answers pile up
        # in the controller's send buffer until one cannot go out whole.
        deadline = time.monotonic() + 5
        while True:  # the server may not listen yet on a loaded machine
            s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(5)
            try:
                s.connect((HOST, 502))
                break
            except ConnectionRefusedError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.addCleanup(s.close)
        req = mbap(1, 1, struct.pack(">BHH", 3, 3000, 125))  # 259-byte answers
        s.setblocking(False)
        closed = False
        deadline = time.monotonic() + 60
        while not closed and time.monotonic() < deadline:
            try:
                s.send(req * 64)
            except BlockingIOError:
                time.sleep(0.01)
            except (ConnectionResetError, BrokenPipeError):
                closed = True
        self.assertTrue(closed, "the controller kept the connection of a peer that does not read")
        # Other peers are still served.
        s2 = self.conn()
        self.assertEqual(recv_frame(s2, 0.1), None)
        s2.sendall(mbap(9, 1, struct.pack(">BHH", 3, 3000, 1)))
        self.assertEqual(recv_frame(s2)[:9], bytes.fromhex("0009 0000 0005 01 03 02"))


if __name__ == "__main__":
    unittest.main()
