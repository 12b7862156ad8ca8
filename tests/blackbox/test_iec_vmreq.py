"""The workbench's VM requests against a running IEC application, from
outside: object reads, forcing and pausing code, change subscriptions with
their events on TCP 9000, memory polls, an on-line change downloaded as a
change image, and a hot start of the database saved at the stop; an on-line
change that adds blocks to an application that integrates. The "VMS"
application comes over the serial programming port; the command protocol
hands the link to the runtime (0x26 over TCP 18501) and the workbench then
talks on TCP 1100."""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, crc16, wait_for  # noqa: E402
import test_iec_runtime as rt  # noqa: E402

LO = "127.0.0.1"


def written(kind):
    return subprocess.run([rt.WRITER, kind, "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout


def vm(code, data=b"", echo=0x5C):
    return rt.frame(1, bytes([echo, code]) + struct.pack(">H", len(data)) + data)


class Workbench(unittest.TestCase):
    """The application PROGRAM started and the workbench connected on 1100."""

    PROGRAM = "vms-program"

    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-bb-vmreq-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        self.c.download(0, written(self.PROGRAM))
        self.c.set_mode(2)
        self.assertTrue(self.ctl.wait_console("_VMThread", 10), self.ctl.console())
        self.t = rt.IecRuntime.hand_over_ethernet(self)  # the programming tool over TCP 18501
        self.s = socket.create_connection((LO, 1100), timeout=3)
        self.addCleanup(self.s.close)

    def answer(self):
        head = rt.recv_exact(self.s, 4)
        return head + rt.recv_exact(self.s, struct.unpack(">H", head[2:4])[0])

    def ask(self, data):
        self.s.sendall(data)
        return self.answer()

    def vm(self, code, data=b""):
        """The VM answer {echo, status, length, data} of one request."""
        a = self.ask(vm(code, data))
        self.assertEqual(a[:2] + a[4:5], b"Z7\x01", a.hex())
        return a[5:]

    def read(self, items):
        a = self.vm(2, bytes([len(items)]) + b"".join(bytes([t]) + struct.pack(">H", i) for t, i in items))
        self.assertEqual(a[1], 0, a.hex())
        return a

    def int16(self, idx):
        a = self.read([(10, idx)])
        return struct.unpack(">H", a[9:11])[0]

    def dint(self, idx):
        a = self.read([(11, idx)])
        return struct.unpack(">I", a[9:13])[0]

    def rc(self, kind, payload):
        return self.ask(rt.frame(kind, payload))

    def download_change(self, kind):
        image = written(kind)
        head = b"\x03" + struct.pack(">I", len(image)) + b"z7\x00"
        self.assertEqual(self.rc(2, head), rt.frame(2, b"\x00\x00"))
        for i in range(0, len(image), 900):
            self.assertEqual(self.rc(3, head + image[i:i + 900]), rt.frame(3, b"\x00\x00"))
        self.assertEqual(self.rc(4, head), rt.frame(4, b"\x00\x00"))
        return image


class VmRequests(Workbench):
    def test_objects_forcing_polls_and_events(self):
        self.assertEqual(self.ask(vm(1)), bytes.fromhex("5A37000B015CFF0006232800000000"))
        self.assertEqual(self.vm(1, bytes.fromhex("00C0FFEE")), bytes.fromhex("5C000006232800000000"))
        self.assertEqual(self.vm(0), bytes.fromhex("5CFF0000"))
        self.assertEqual(self.vm(9), bytes.fromhex("5CFF0000"))
        text = b"Z7 Multithreaded VM under LINUX (no RT extension)\x00"
        a = self.vm(2, bytes.fromhex("08 000004 030000 010000 040000 050000 060000 060001 000007"))
        self.assertEqual(a, bytes.fromhex("5C00006A 08 000004 0400090101 030000 2E585449 010000 03564D5300"
                                          "040000 11223344 050000 55667788 060000 000004D2 060001 0A0B0C0D"
                                          "000007 32") + text)
        self.assertEqual(self.vm(2, bytes.fromhex("01 020000")), bytes.fromhex("5C000006 01 020000 8401"))
        a = self.vm(2, bytes.fromhex("06 090002 0A0005 0B0003 0C0001 0D0001 0E0001"))
        self.assertEqual(a, bytes.fromhex("5C000030 06 090002 005A 0A0005 00BEEF 0B0003 00FFFFFFFE"
                                          "0C0001 000102030405060708 0D0001 0005265BFF 0E0001 0002414200"))
        self.assertEqual(self.vm(2, bytes.fromhex("02 030000 080000")), bytes.fromhex("5CFF0000"))
        a = self.vm(2, bytes.fromhex("01 1C0000"))
        self.assertEqual(a, bytes.fromhex("5C000054 04 1C0000 000B000100000001000107") + b"Counter\x00"
                         + bytes.fromhex("1C0001 00020001000000010001 05") + b"Total\x00"
                         + bytes.fromhex("1C0002 00050001000800010001 05") + b"Label\x00"
                         + bytes.fromhex("1C0003 000B0005000000010001 06") + b"Const5\x00")
        self.assertEqual(self.vm(2, bytes.fromhex("01 1C0004")),
                         bytes.fromhex("5C000010 01 1C0004 000B 0006 0000 0001 0002 0000"))
        self.assertEqual(self.vm(8, bytes.fromhex("07 0000000A 0002 000004D2")),
                         bytes.fromhex("5C00000A 00 07 0000000A 0002 EFBE"))
        self.assertEqual(self.vm(8, bytes.fromhex("07 0000000A 0002 000004D3")), bytes.fromhex("5C000001 46"))
        self.assertEqual(self.vm(8, bytes.fromhex("28 00000000 0002 000004D2")), bytes.fromhex("5C000001 06"))
        self.assertEqual(self.vm(8, bytes.fromhex("FF 00000000 03E9 000004D2")), bytes.fromhex("5C000001 06"))
        # a length above the bytes the frame carries
        self.assertEqual(self.ask(rt.frame(1, bytes.fromhex("5C 02 0010 01 090002"))),
                         bytes.fromhex("5A37000501 5CFF0000"))

        # forcing: lock INT 1 at 0x4242, the program's counting stops
        self.assertEqual(self.vm(3, bytes.fromhex("010D 0001 010B 0001 4242")), bytes.fromhex("5C000000"))
        forced = bytes.fromhex("5C000007 01 0A0001 01 4242")
        self.assertTrue(wait_for(lambda: self.vm(2, bytes.fromhex("01 0A0001")) == forced, 5))
        time.sleep(0.3)  # a span of many cycles; the forced value must stay
        self.assertEqual(self.vm(2, bytes.fromhex("01 0A0001")), forced)
        self.assertEqual(self.vm(2, bytes.fromhex("01 020000")), bytes.fromhex("5C000006 01 020000 8441"))
        self.assertEqual(self.vm(3, bytes.fromhex("010E 0001")), bytes.fromhex("5C000000"))
        self.assertTrue(wait_for(lambda: self.int16(1) > 0x4243, 5))
        self.assertEqual(self.vm(2, bytes.fromhex("01 020000")), bytes.fromhex("5C000006 01 020000 8401"))

        # round trips of one object read
        times = []
        for _ in range(200):
            t0 = time.perf_counter()
            self.vm(2, bytes.fromhex("01 0A0005"))
            times.append(time.perf_counter() - t0)
        times.sort()
        p99 = times[int(len(times) * 0.99) - 1]
        print("object read round trip p99 %.3f ms" % (p99 * 1000), file=sys.stderr)
        self.assertLess(p99, 0.05)

        # change subscription: an event client that wants queue 3 without acknowledging
        e = socket.create_connection((LO, 9000), timeout=3)
        self.addCleanup(e.close)
        rt.recv_exact(e, 21)
        e.sendall(bytes.fromhex("5A37000A 12 24 00000000 00000400"))

        def next_event(kind, timeout=5.0):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                try:
                    head = rt.recv_exact(e, 6, max(0.05, deadline - time.monotonic()))
                except socket.timeout:
                    return None
                body = rt.recv_exact(e, struct.unpack(">H", head[2:4])[0] - 2, timeout)
                at = 0
                for _ in range(head[5]):
                    ev = body[at:at + 12 + body[at + 2]]
                    at += len(ev)
                    if ev[0] == kind:
                        return ev
            return None

        time.sleep(0.2)
        self.assertEqual(self.vm(4, bytes.fromhex("01 0B 0006 0001 00")), bytes.fromhex("5C000005 01 0B0006 00"))
        ev = next_event(4)
        self.assertIsNotNone(ev)
        self.assertEqual(ev[:4], bytes([4, 2, 7, 1]))
        self.assertEqual(ev[12:], bytes.fromhex("0001 0B 0006 0600"))
        t0 = time.monotonic()
        self.assertEqual(self.vm(3, bytes.fromhex("010B 0006 0C0D")), bytes.fromhex("5C000000"))
        ev = next_event(4)
        delay = time.monotonic() - t0
        print("change event after %.1f ms" % (delay * 1000), file=sys.stderr)
        self.assertEqual(ev[:4], bytes([4, 2, 7, 1]))
        self.assertEqual(ev[12:], bytes.fromhex("0001 0B 0006 0C0D"))
        self.assertEqual(self.vm(5, bytes.fromhex("01 0B 0006 0001")), bytes.fromhex("5C000000"))
        self.assertEqual(self.vm(3, bytes.fromhex("010B 0006 0C0E")), bytes.fromhex("5C000000"))
        self.assertIsNone(next_event(4, 1.0))

    def test_online_change_and_hot_start(self):
        self.assertEqual(self.vm(3, bytes.fromhex("010B 0006 1234")), bytes.fromhex("5C000000"))
        self.assertTrue(wait_for(lambda: self.int16(6) == 0x1234, 5))
        # refused changes keep the application running
        for kind, code in (("vms-other", 44), ("vms-alloc17", 54)):
            self.download_change(kind)
            self.assertEqual(self.rc(8, b"\x01\x00z7\x00"), rt.frame(8, struct.pack(">H", code)), kind)
            d1 = self.dint(1)
            self.assertTrue(wait_for(lambda: self.dint(1) > d1, 5))
            self.assertEqual(self.int16(8), 0)
        image = self.download_change("vms-change")
        d1 = self.dint(1)
        self.assertEqual(self.rc(8, b"\x01\x00z7\x00"), rt.frame(8, b"\x00\x00"))
        self.assertTrue(self.ctl.wait_console("Z7VM_CanHOTStart = true", 5))
        self.assertEqual(self.int16(8), 0x0777)
        self.assertTrue(wait_for(lambda: self.int16(3) == 0x0C0C, 5))
        self.assertEqual(self.int16(5), 0xBEEF)
        self.assertEqual(self.int16(6), 0x1234)
        self.assertGreaterEqual(self.dint(1), d1)

        # stop: the database is saved as the hot-restart image, the change image is the code
        before = self.dint(1)
        self.assertEqual(self.rc(5, b"\x01\x00z7\x00"), rt.frame(5, b"\x00\x00"))
        self.assertTrue(os.path.getsize(self.ctl.path("mnt", "cfg", "z7.hot")) > 640)
        with open(self.ctl.path("mnt", "cfg", "z7.cod"), "rb") as f:
            self.assertEqual(f.read(), image)
        self.assertEqual(self.vm(2, bytes.fromhex("01 0A0001")), bytes.fromhex("5CFF0000"))
        self.assertEqual(self.rc(7, b"\x01\x00z7\x00"), rt.frame(7, b"\x00\x00"))
        self.assertTrue(self.ctl.wait_console("Z7CSRQ_HOTSTART", 5))
        self.assertEqual(self.int16(6), 0x1234)
        self.assertEqual(self.int16(8), 0x0777)
        d1 = self.dint(1)
        self.assertGreaterEqual(d1, before)
        self.assertTrue(wait_for(lambda: self.dint(1) > d1, 5))
        self.assertEqual(self.rc(7, b"\x01\x00z7\x00"), rt.frame(7, b"\x00\x01"))  # one runs already
        # a cold start begins again from the initial values
        self.assertEqual(self.rc(5, b"\x01\x00z7\x00"), rt.frame(5, b"\x00\x00"))
        self.assertEqual(self.rc(6, b"\x01\x00z7\x00"), rt.frame(6, b"\x00\x00"))
        self.assertEqual(self.int16(6), 0x0600)
        self.assertLess(self.dint(1), d1)

    def test_online_change_becomes_the_stored_program(self):
        """The change the workbench applies ends in the scan, is stored with the
        program (its location table kept) and survives a stop, a run and a
        restart of the controller."""
        program = written("vms-program")
        image = self.download_change("vms-change")
        self.assertEqual(self.rc(8, b"\x01\x00z7\x00"), rt.frame(8, b"\x00\x00"))
        self.assertTrue(wait_for(lambda: self.int16(3) == 0x0C0C, 5))
        def olc():  # word 54272, %ESR1
            return int.from_bytes(self.t.read_reg(0x10030000, 16), "little")

        self.assertTrue(wait_for(lambda: olc() & 0xFF == 0, 5), hex(olc()))
        self.assertEqual(self.t.get_mode(), 2)  # no change armed any more
        old = struct.unpack("<I", program[8:12])[0]
        data = program[:8] + struct.pack("<I", len(image)) + program[12:16] + image + program[16 + old:]
        stored = struct.pack("<II", crc16(data), len(data)) + data
        pgm = self.ctl.path("mnt", "cfg", "ladder.pgm")
        with open(pgm, "rb") as f:
            self.assertEqual(f.read(), stored)
        self.assertEqual(self.t.read_word(150), crc16(data))
        self.assertEqual(self.t.read_word(138) | self.t.read_word(139) << 16, len(data))

        def runs_the_change(c):
            # INT 3 := 0x0C0C each cycle and INT 8 starts at 0x0777 only in the change
            return (wait_for(lambda: c.read_reg(0xC4000003, 16) == b"\x0c\x0c", 10)
                    and c.read_reg(0xC4000008, 16) == b"\x77\x07")

        self.t.set_mode(0)
        self.t.set_mode(2)
        self.assertTrue(runs_the_change(self.t), self.ctl.console()[-2000:])
        with open(self.ctl.path("mnt", "cfg", "z7.cod"), "rb") as f:
            self.assertEqual(f.read(), image)
        self.t.close()
        self.s.close()
        self.ctl.stop()
        c = self.ctl.start(port=True).client
        self.assertTrue(runs_the_change(c), self.ctl.console()[-2000:])
        self.assertEqual(c.get_mode(), 2)
        self.assertEqual(c.upload(0), data)
        with open(pgm, "rb") as f:
            self.assertEqual(f.read(), stored)

    def test_a_damaged_hot_image_is_refused(self):
        self.assertEqual(self.rc(5, b"\x01\x00z7\x00"), rt.frame(5, b"\x00\x00"))
        path = self.ctl.path("mnt", "cfg", "z7.hot")
        with open(path, "r+b") as f:
            data = bytearray(f.read())
            data[7 * 16 + 14] ^= 1  # allocated count of the 16-bit section
            f.seek(0)
            f.write(data)
        self.assertEqual(self.rc(7, b"\x01\x00z7\x00"), rt.frame(7, b"\x00\x01"))
        with open(path, "r+b") as f:
            f.truncate(len(data) - 8)
        self.assertEqual(self.rc(7, b"\x01\x00z7\x00"), rt.frame(7, b"\x00\x01"))
        self.assertEqual(self.rc(6, b"\x01\x00z7\x00"), rt.frame(6, b"\x00\x00"))
        self.assertEqual(self.vm(2, bytes.fromhex("01 0A0006")), bytes.fromhex("5C000007 01 0A0006 00 0600"))


class BlocksAddedOnline(Workbench):
    """An on-line change adds an ISFCINITSTEP and an AVERAGEL to an application
    whose INTEGRAL runs: the new step is active, the new average has its
    window (its output is the average of its one sample, not 0), and the
    integral goes on from its value."""

    PROGRAM = "steps-program"

    def real(self, idx):
        return struct.unpack(">f", struct.pack(">I", self.dint(idx)))[0]

    def value(self, kind, idx, size):
        a = self.read([(kind, idx)])
        return a[9:9 + size]

    def test_change_adds_a_step_and_an_average(self):
        # the integral started at X0 = 1e6 and counts 1.0 per millisecond
        self.assertTrue(wait_for(lambda: self.real(3) > 1000100.0, 5), self.real(3))
        self.download_change("steps-change")
        before = self.real(3)
        t0 = time.monotonic()
        self.assertEqual(self.rc(8, b"\x01\x00z7\x00"), rt.frame(8, b"\x00\x00"))
        self.assertTrue(self.ctl.wait_console("Z7VM_CanHOTStart = true", 5))
        after = self.real(3)
        elapsed_ms = (time.monotonic() - t0) * 1000
        self.assertGreaterEqual(after, before)
        self.assertLessEqual(after - before, 3 * elapsed_ms + 100, (before, after, elapsed_ms))
        self.assertTrue(wait_for(lambda: self.real(3) > after, 5))
        # the step: running and active (BOOL 4, 6), not in its first or last cycle (5, 7)
        self.assertTrue(wait_for(lambda: self.value(9, 4, 1) == b"\x01", 5), self.value(9, 4, 1))
        self.assertEqual([self.value(9, i, 1) for i in (5, 6, 7)], [b"\x00", b"\x01", b"\x00"])
        t = struct.unpack(">I", self.value(13, 2, 4))[0]
        self.assertTrue(wait_for(lambda: struct.unpack(">I", self.value(13, 2, 4))[0] > t, 5))
        # the average of the LREAL 2.5
        self.assertEqual(self.value(12, 2, 8), struct.pack(">d", 2.5))


if __name__ == "__main__":
    unittest.main()
