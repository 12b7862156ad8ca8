"""CAN port 0 and the CANopen node from outside: a peer on the host bus
(a Unix datagram socket in sim/can/can0/) exchanges 16-byte CAN frames with
the running controller; the programming port on a pseudo-terminal downloads
CANopen blocks and reads registers."""

import os
import socket
import struct
import sys
import threading
import time
import unittest

try:
    import can  # python3-can
except ImportError:  # the set-up script installs it
    can = None

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from plcclient import PlcClient, ProtocolError, Timeout  # noqa: E402

R_BASE = 32768


def r_addr(n):
    """Bit address of %Rn."""
    return R_BASE + 16 * (n - 1)


SO_TIMESTAMPNS = 35


def sent_at(anc):
    """The monotonic time the datagram was sent, from the kernel's stamp; the
    read time if there is no stamp or the wall clock moved meanwhile."""
    now = time.monotonic()
    for level, kind, raw in anc:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(raw) >= 16:
            sec, nsec = struct.unpack("qq", raw[:16])
            age = time.time() - (sec + nsec / 1e9)
            if 0 <= age < 1.0:
                return now - age
    return now


class Peer:
    """One endpoint of the host bus. A reader thread keeps every frame with
    its arrival time; a responder may answer frames as they come."""

    def __init__(self, root, name="peer", port="can0"):
        self.dir = os.path.join(root, "sim", "can", port)
        os.makedirs(self.dir, exist_ok=True)
        self.name = name
        path = os.path.join(self.dir, name)
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.05)
        # The kernel stamps each datagram when the controller sends it: gaps
        # between frames are then what the controller did, not when this
        # thread, on a loaded machine, got round to reading them.
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.frames = []
        self.lock = threading.Condition()
        self.responder = None
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            try:
                f, anc, _flags, _addr = self.sock.recvmsg(64, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            except OSError:
                return
            if len(f) != 16:
                continue
            word, n, data = struct.unpack("<IB3x8s", f)
            fr = (word & 0x1FFFFFFF, bytes(data[:min(n, 8)]), bool(word & 0x40000000), sent_at(anc))
            with self.lock:
                self.frames.append(fr)
                self.lock.notify_all()
            if self.responder:
                self.responder(self, fr)

    def send(self, cid, data=b"", rtr=False, ext=False, length=None):
        word = cid | (0x40000000 if rtr else 0) | (0x80000000 if ext else 0)
        n = len(data) if length is None else length
        f = struct.pack("<IB3x8s", word, n, bytes(data).ljust(8, b"\0")[:8])
        for other in os.listdir(self.dir):
            if other == self.name:
                continue
            # A busy reader's queue may be full for a while: try again, as a
            # bus would keep the frame, rather than drop it after the socket's
            # short time-out.
            end = time.monotonic() + 5
            while True:
                try:
                    self.sock.sendto(f, os.path.join(self.dir, other))
                    break
                except socket.timeout:
                    if time.monotonic() > end:
                        break
                except OSError:
                    break

    def clear(self):
        with self.lock:
            self.frames = []

    def got(self, cid=None):
        with self.lock:
            return [f for f in self.frames if cid is None or f[0] == cid]

    def wait(self, cid, timeout=2.0, pred=None, count=1):
        """The first count frames on cid (matching pred) within timeout."""
        end = time.monotonic() + timeout
        with self.lock:
            while True:
                hits = [f for f in self.frames if (cid is None or f[0] == cid) and (pred is None or pred(f[1]))]
                left = end - time.monotonic()
                if len(hits) >= count or left <= 0:
                    return hits
                self.lock.wait(left)

    def sdo(self, node, req, timeout=1.5):
        """One SDO request to the server of node; its answer's 8 bytes."""
        self.clear()
        self.send(0x600 + node, bytes(req).ljust(8, b"\0"))
        hits = self.wait(0x580 + node, timeout)
        return hits[0][1] if hits else None

    def upload(self, node, index, sub=0):
        return self.sdo(node, [0x40, index & 0xFF, index >> 8, sub])

    def download(self, node, index, sub, value, n):
        cmd = 0x23 | ((4 - n) << 2)
        return self.sdo(node, [cmd, index & 0xFF, index >> 8, sub] + list(value.to_bytes(n, "little")))

    def close(self):
        self.running = False
        self.thread.join(1)
        self.sock.close()


class CanTool:
    """The programming tool as CAN node `me`: command bytes to node `node` go
    as SDO block downloads to its index 0x5000; the node's replies arrive as
    block downloads to this node and are answered as a server would."""

    def __init__(self, peer, node, me=3):
        self.peer, self.node, self.me = peer, node, me
        self.rx = bytearray()
        self.cv = threading.Condition()
        self.acks = []
        self.block = None
        peer.responder = self._frame

    def _frame(self, peer, fr):
        cid, data = fr[0], fr[1]
        if cid == 0x580 + self.node:
            with self.cv:
                self.acks.append(data)
                self.cv.notify_all()
        elif cid == 0x600 + self.me and data:
            if data[0] == 0xC2:
                size = int.from_bytes(data[4:8], "little")
                self.block = [size, bytearray()]
                peer.send(0x580 + self.me, bytes([0xA0, 0, 0x50, 0, (size + 6) // 7, 0, 0, 0]))
            elif self.block is not None:
                size, buf = self.block
                buf += data[1:]
                if data[0] & 0x80:
                    seq = data[0] & 0x7F
                    peer.send(0x580 + self.me, bytes([0xA2, seq, seq, 0, 0, 0, 0, 0]))
                    with self.cv:
                        self.rx += buf[1:size]
                        self.cv.notify_all()
                    self.block = None

    def _ack(self, timeout=5.0):
        with self.cv:
            end = time.monotonic() + timeout
            while not self.acks:
                left = end - time.monotonic()
                if left <= 0:
                    raise Timeout("no block answer")
                self.cv.wait(left)
            return self.acks.pop(0)

    def send(self, data):
        data = bytes(data)
        while data:
            chunk, data = data[:200], data[200:]
            block = bytes([self.me]) + chunk
            for _ in range(100):
                self.peer.send(0x600 + self.node, bytes([0xC2, 0, 0x50, 0]) + len(block).to_bytes(4, "little"))
                if self._ack()[0] == 0xA0:
                    break
                time.sleep(0.005)  # refused: the node's queue has no room yet
            else:
                raise Timeout("block refused")
            for i in range(0, len(block), 7):
                last = i + 7 >= len(block)
                self.peer.send(0x600 + self.node, bytes([(i // 7 + 1) | (0x80 if last else 0)]) + block[i:i + 7])
            a = self._ack()
            if a[0] != 0xA2:
                raise Timeout("block answered %s" % a.hex())

    def read(self, n, timeout):
        with self.cv:
            end = time.monotonic() + timeout
            while len(self.rx) < n:
                left = end - time.monotonic()
                if left <= 0:
                    raise Timeout("no answer (%d of %d bytes)" % (len(self.rx), n))
                self.cv.wait(left)
            out = bytes(self.rx[:n])
            del self.rx[:n]
            return out


class CanClient(PlcClient):
    """The command protocol client of tools/plcclient.py over CAN."""

    def __init__(self, tool, **kw):
        super().__init__(None, **kw)
        self.tool = tool

    def write(self, data):
        self.tool.send(data)

    def read_exact(self, n, timeout=None):
        return self.tool.read(n, self.timeout if timeout is None else timeout)

    def flush_input(self):
        with self.tool.cv:
            self.tool.rx.clear()

    def silent_for(self, seconds):
        time.sleep(seconds)
        return not self.tool.rx


def abort_code(ans):
    return int.from_bytes(ans[4:8], "little") if ans and ans[0] == 0x80 else None


def block(node, rate=1, flags=0, hb=100, status=0, tpdos=(), rpdos=(), emcy=0x80000000, inhibit=0,
          time_cob=0x100, time_en=0, sync_cob=0x80, period=0, window=0, slaves=(), consumers=()):
    """A CANopen configuration block. tpdos: (cob, type, [map words]);
    rpdos: (cob, type, [map words]); slaves: 56-byte records."""
    hdr = bytearray(0x74)
    tail = bytearray()

    def add(b):
        off = 0x74 + len(tail)
        tail.extend(b)
        return off

    def put(off, v, n=4):
        hdr[off:off + n] = v.to_bytes(n, "little")

    hdr[0], hdr[1] = rate, node
    put(0x02, time_en, 2)
    put(0x04, sync_cob)
    put(0x08, period)
    put(0x0C, window)
    put(0x18, emcy)
    put(0x1C, inhibit, 2)
    put(0x1E, hb, 2)
    hdr[0x21] = 1
    hdr[0x23] = flags
    put(0x54, status)
    put(0x68, time_cob)
    if slaves:
        hdr[0x13] = len(slaves)
        put(0x14, add(b"".join(slaves)))
        put(0x2C, add(bytes(12 * len(slaves))))
    elif consumers:
        hdr[0x13] = len(consumers)
        put(0x14, add(b"".join(c.to_bytes(4, "little") for c in consumers)))
    put(0x30, len(tpdos), 2)
    put(0x32, len(rpdos), 2)
    put(0x34, add(bytes(len(m) for _, _, m in tpdos)))
    put(0x38, add(bytes(len(m) for _, _, m in rpdos)))
    put(0x3C, add(b"".join(c.to_bytes(4, "little") for c, _, _ in tpdos)))
    put(0x40, add(b"".join(c.to_bytes(4, "little") for c, _, _ in rpdos)))
    put(0x44, add(b"".join(bytes([t]) + bytes(7) for _, t, _ in tpdos)))
    put(0x48, add(b"".join(bytes([t]) + bytes(7) for _, t, _ in rpdos)))
    put(0x4C, add(b"".join(w.to_bytes(4, "little") for _, _, m in tpdos for w in m)))
    put(0x50, add(b"".join(w.to_bytes(4, "little") for _, _, m in rpdos for w in m)))
    return bytes(hdr + tail)


def slave_record(node, time_ms, device_type, assign=0x01):
    r = bytearray(56)
    r[0] = assign
    r[2:4] = time_ms.to_bytes(2, "little")
    r[7] = node
    r[8:12] = device_type.to_bytes(4, "little")
    return bytes(r)


def python_can_bus(root, name="pycan"):
    """A python-can bus on the host bus of the controller's root."""

    class HostBus(can.BusABC):
        def __init__(self, channel="can0", **kw):
            super().__init__(channel=channel, **kw)
            self.channel_info = "host bus " + channel
            self.dir = os.path.join(root, "sim", "can", channel)
            os.makedirs(self.dir, exist_ok=True)
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                os.unlink(path)
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.sock.bind(path)

        def send(self, msg, timeout=None):
            word = msg.arbitration_id | (0x80000000 if msg.is_extended_id else 0) | \
                (0x40000000 if msg.is_remote_frame else 0)
            f = struct.pack("<IB3x8s", word, msg.dlc, bytes(msg.data).ljust(8, b"\0"))
            for other in os.listdir(self.dir):
                if other != name:
                    try:
                        self.sock.sendto(f, os.path.join(self.dir, other))
                    except OSError:
                        pass

        def _recv_internal(self, timeout):
            self.sock.settimeout(timeout)
            try:
                f = self.sock.recv(64)
            except socket.timeout:
                return None, False
            word, n, data = struct.unpack("<IB3x8s", f)
            return can.Message(arbitration_id=word & 0x1FFFFFFF, is_extended_id=bool(word & 0x80000000),
                               is_remote_frame=bool(word & 0x40000000), dlc=n, data=data[:n],
                               timestamp=time.time()), False

        def shutdown(self):
            self.sock.close()
            super().shutdown()

    return HostBus()


class CanCase(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller()
        self.addCleanup(self.ctl.cleanup)
        self.peer = Peer(self.ctl.root)
        self.addCleanup(self.peer.close)

    def status_word(self, node):
        ans = self.peer.upload(node, 0x1002)
        self.assertIsNotNone(ans, "no answer to 0x1002")
        return int.from_bytes(ans[4:8], "little")

    def download_block(self, data):
        self.ctl.client.download(23, data)


class FreshRoot(CanCase):
    def test_defaults_dictionary_and_register_objects(self):
        self.ctl.start(port=True)
        with open(self.ctl.path("sim", "commands.log")) as f:
            lines = f.read().splitlines()
        self.assertIn("ip link set can0 down", lines)
        self.assertGreater(lines.index("ip link set can0 up"), lines.index("ip link set can0 down"))
        first = self.peer.got()[0]
        self.assertEqual((first[0], first[1]), (0x77F, b"\x00"))
        p = self.peer
        self.assertEqual(self.status_word(127), 0x7F000004)
        self.assertEqual(p.upload(127, 0x1000), bytes.fromhex("4200100095010000"))
        self.assertEqual(p.upload(127, 0x1018)[:5], bytes.fromhex("4F18100002"))
        # the device name goes segmented: 6 bytes from words 258..260
        self.assertEqual(p.upload(127, 0x1008), bytes.fromhex("4108100006000000"))
        name = self.ctl.client.read_reg(1024 + 16 * 258, 16) + self.ctl.client.read_reg(1024 + 16 * 259, 16) + \
            self.ctl.client.read_reg(1024 + 16 * 260, 16)
        self.assertEqual(p.sdo(127, [0x60]), b"\x03" + name + b"\x00")
        self.assertEqual(abort_code(p.upload(127, 0x1009)), 0x06010000)
        self.assertEqual(abort_code(p.upload(127, 0x1018, 2)), 0x06090011)
        self.assertEqual(abort_code(p.download(127, 0x1000, 0, 5, 4)), 0x06010002)
        self.assertEqual(abort_code(p.download(127, 0x1017, 0, 100, 4)), 0x06070012)
        self.assertEqual(abort_code(p.download(127, 0x1005, 0, 0, 4)), 0x06040043)
        self.assertEqual(p.upload(127, 0x1005)[4:8], (0x80).to_bytes(4, "little"))
        # register objects: %R1 read through 0xA0C4, %R2 written through 0xA544
        self.ctl.client.write_reg(r_addr(1), 16, 0x1234)
        self.assertEqual(p.upload(127, 0xA0C4, 1)[:6], bytes.fromhex("4BC4A0013412"))
        self.assertEqual(p.sdo(127, bytes.fromhex("2B44A502EFBE"))[0], 0x60)
        self.assertEqual(self.ctl.client.read_reg(r_addr(2), 16), b"\xEF\xBE")
        self.assertEqual(abort_code(p.download(127, 0xA0C4, 1, 7, 2)), 0x06010002)
        # a 29-bit frame that cuts down to 0x67F is not an SDO request
        p.clear()
        p.send(0x1A00067F, bytes.fromhex("4000100000000000"), ext=True)
        self.assertEqual(p.wait(0x5FF, 0.5), [])

    def test_nmt_heartbeat_and_reset(self):
        self.ctl.start(port=True)
        p = self.peer
        self.assertEqual(p.download(127, 0x1017, 0, 100, 2)[0], 0x60)
        p.clear()
        beats = p.wait(0x77F, 2.0, count=6)
        self.assertGreaterEqual(len(beats), 6)
        self.assertTrue(all(b[1] == b"\x7f" for b in beats))
        gaps = [b[3] - a[3] for a, b in zip(beats, beats[1:])]
        # 100 ms nominal, on a fixed grid: a beat that a loaded scan sent late
        # is followed by one on time, so two gaps together never fall below
        # one period, and no gap reaches three periods.
        self.assertTrue(all(g < 0.3 for g in gaps), gaps)
        self.assertTrue(all(a + b > 0.1 for a, b in zip(gaps, gaps[1:])), gaps)
        p.clear()
        p.send(0, b"\x01\x7f")
        self.assertTrue(p.wait(0x77F, 1.0, pred=lambda d: d == b"\x05"))
        p.send(0, b"\x02\x05")  # another node's
        time.sleep(0.3)
        p.clear()
        self.assertTrue(p.wait(0x77F, 1.0, pred=lambda d: d == b"\x05"))
        p.send(0, b"\x02\x00")
        self.assertTrue(p.wait(0x77F, 1.0, pred=lambda d: d == b"\x04"))
        self.assertIsNone(p.upload(127, 0x1000))  # stopped: no SDO
        p.send(0, b"\x80\x00")
        p.send(0, b"\x01")                # 1-byte NMT
        p.send(0x67F, b"\x40\x00\x10\x00")  # 4-byte SDO
        seen = []

        def short_bits():
            ans = p.upload(127, 0x1002)
            seen.append(ans)
            return ans is not None and int.from_bytes(ans[4:8], "little") & 0xC000 == 0xC000
        self.assertTrue(wait_for(short_bits, 5), seen[-1:])
        p.clear()
        p.send(0, b"\x82\x7f")
        self.assertTrue(p.wait(0x77F, 1.0, pred=lambda d: d == b"\x00"))
        time.sleep(0.4)
        # A beat the node sent before it took the reset may arrive after the
        # clear: judge only what follows the boot-up frame.
        after = p.got(0x77F)
        after = after[[f[1] for f in after].index(b"\x00") + 1:]
        self.assertEqual(after, [], "heartbeat back to off")
        self.assertEqual(self.status_word(127), 0x7F000004)
        # a new network id starts the node again under it
        p.clear()
        self.ctl.client.write_reg(3072 + 16 * 28, 16, 9)
        self.assertTrue(p.wait(0x709, 1.0, pred=lambda d: d == b"\x00"))
        p.send(0, b"\x81\x09")
        self.assertEqual(self.ctl.wait_exit(5), 3)


@unittest.skipIf(can is None, "python3-can is not installed")
class PythonCan(unittest.TestCase):
    def test_python_can_peer_reads_and_starts_the_node(self):
        ctl = Controller()
        self.addCleanup(ctl.cleanup)
        bus = python_can_bus(ctl.root)
        self.addCleanup(bus.shutdown)
        ctl.start()
        boot = bus.recv(1.0)
        self.assertEqual((boot.arbitration_id, bytes(boot.data)), (0x77F, b"\x00"))
        bus.send(can.Message(arbitration_id=0x67F, is_extended_id=False, data=[0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0]))
        ans = bus.recv(1.0)
        self.assertEqual(ans.arbitration_id, 0x5FF)
        self.assertEqual(bytes(ans.data[:4]), bytes.fromhex("42181001"))
        bus.send(can.Message(arbitration_id=0x67F, is_extended_id=False, data=[0x2B, 0x17, 0x10, 0, 50, 0, 0, 0]))
        self.assertEqual(bus.recv(1.0).data[0], 0x60)
        bus.send(can.Message(arbitration_id=0, is_extended_id=False, data=[0x01, 0x7F]))
        beats = []
        end = time.monotonic() + 1.0
        while time.monotonic() < end and len(beats) < 3:
            m = bus.recv(0.5)
            if m is not None and m.arbitration_id == 0x77F:
                beats.append(bytes(m.data))
        self.assertEqual(beats[-1], b"\x05")


class SlaveBlock(CanCase):
    def slave_block(self):
        return block(node=5, rate=1, flags=0, hb=100, status=r_addr(100), emcy=0x85, inhibit=1000,
                     time_cob=0x40000100, time_en=1, period=100000,
                     tpdos=[(0x185, 1, [0xA0C40A10]), (0x285, 3, [0xA0C40B10])],
                     rpdos=[(0x205, 0xFE, [0xA5441410])])

    def test_block_pdo_emcy_time_and_restart(self):
        self.ctl.start(port=True)
        c, p = self.ctl.client, self.peer
        p.clear()
        self.download_block(self.slave_block())
        self.assertTrue(p.wait(0x705, 2.0, pred=lambda d: d == b"\x00"), p.got())
        self.assertEqual(c.get_local_id(), 5)
        c.target = 5
        self.assertEqual(c.read_word(156), 5)
        self.assertEqual(c.read_word(157), 1)
        beats = p.wait(0x705, 1.5, pred=lambda d: d == b"\x05", count=4)
        self.assertGreaterEqual(len(beats), 4)
        self.assertEqual(int.from_bytes(c.read_reg(r_addr(100), 32), "little"), 0x05000000)
        # RPDO into %R20
        p.send(0x205, b"\x34\x12")
        self.assertTrue(wait_for(lambda: c.read_reg(r_addr(20), 16) == b"\x34\x12", 5))
        # six SYNCs: the type-1 TPDO on each, the type-3 one on every third
        c.write_reg(r_addr(10), 16, 0x5A5A)
        p.clear()
        # (each SYNC is sent once the previous one's TPDO came: the window is ours)
        for i in range(6):
            p.send(0x80)
            self.assertEqual(len(p.wait(0x185, 5.0, count=i + 1)), i + 1, i)
        self.assertEqual(len(p.wait(0x285, 5.0, count=2)), 2)
        self.assertEqual([f[1] for f in p.got(0x185)], [b"\x5a\x5a"] * 6)
        self.assertEqual(len(p.got(0x285)), 2)
        # EMCY: a short RPDO raises bit 7, a good one clears it after the inhibit time
        p.clear()
        p.send(0x205, b"\x01")
        em = p.wait(0x85, 1.0)
        self.assertEqual(em[0][1], bytes.fromhex("0010018000000000"))
        p.send(0x205, b"\x00\x00")
        em = p.wait(0x85, 1.5, count=2)
        self.assertEqual(len(em), 2)
        self.assertEqual(em[1][1], bytes(8))
        self.assertGreaterEqual(em[1][3] - em[0][3], 0.095)
        # a consumed heartbeat that never comes
        p.clear()
        self.assertEqual(p.download(5, 0x1016, 1, 0x002001F4, 4)[0], 0x60)
        em = p.wait(0x85, 1.5)
        self.assertEqual(em[0][1], bytes.fromhex("0010010000040000"))
        self.assertTrue(self.status_word(5) & (1 << 18))
        # TIME consumed: 12:34:56 on day 0x4248 (15 June 2030, a Saturday)
        p.send(0x100, bytes.fromhex("8029B3024842"))
        time.sleep(0.3)
        words = [c.read_word(171 + i) for i in range(7)]
        self.assertIn(words[0], range(56, 60))
        self.assertEqual(words[1:], [34, 12, 15, 6, 2030, 7])
        # the block holds across a restart
        self.ctl.stop()
        p.clear()
        self.ctl.start(port=True)
        self.assertTrue(p.got(0x705) and p.got(0x705)[0][1] == b"\x00", p.got())
        self.assertEqual(self.ctl.client.get_local_id(), 5)

    def test_programming_over_can(self):
        self.ctl.start(port=True)
        self.download_block(self.slave_block())
        time.sleep(5.5)  # the serial conversation lets the port go
        p = self.peer
        p.clear()
        got_a0 = []

        def tool(peer, fr):
            cid, data = fr[0], fr[1]
            if cid == 0x603 and data[0] == 0xC2:
                got_a0.append(data)
                peer.send(0x583, bytes([0xA0, 0x00, 0x50, 0x00, (data[4] + 6) // 7, 0, 0, 0]))
            elif cid == 0x603 and data[0] & 0x80:
                peer.send(0x583, bytes([0xA2, data[0] & 0x7F, data[0] & 0x7F, 0, 0, 0, 0, 0]))

        p.responder = tool
        p.send(0x605, bytes.fromhex("C200500005000000"))
        a0 = p.wait(0x585, 1.0)
        self.assertEqual(a0[0][1][:5], bytes.fromhex("A000500001"))
        p.send(0x605, bytes.fromhex("8103010105F90000"))
        a2 = p.wait(0x585, 1.0, count=2)
        self.assertEqual(a2[1][1][:3], bytes.fromhex("A20101"))
        reply = p.wait(0x603, 2.0, count=2)
        self.assertEqual(reply[0][1][:8], bytes.fromhex("C200500005000000"))
        seg = reply[1][1]
        self.assertEqual(seg[:3], bytes.fromhex("8105FF"))
        self.assertEqual(len(seg), 6)
        self.assertEqual((0xFF + 1 + seg[4] + seg[5]) & 0xFF, 0)
        # a 20-byte command in 3 segments ≥ 4.1 ms apart comes back the same way
        p.clear()
        frame = bytes([0x01, 0x01, 0x05])
        frame += bytes([(-sum(frame)) & 0xFF])
        long_cmd = bytes([3]) + frame * 5  # 21 bytes: five get_mode frames
        p.send(0x605, bytes([0xC2, 0, 0x50, 0]) + len(long_cmd).to_bytes(4, "little"))
        self.assertEqual(p.wait(0x585, 1.0)[0][1][4], 3)
        for i in range(3):
            chunk = long_cmd[7 * i:7 * i + 7]
            p.send(0x605, bytes([(i + 1) | (0x80 if i == 2 else 0)]) + chunk)
        answer = bytes([0xFF, 0x01, seg[4], seg[5]])

        def replies():
            stream, blocks = b"", []
            for f in p.got(0x603):
                if f[1][0] == 0xC2:
                    blocks.append([])
                    continue
                stream += f[1][2:] if not blocks[-1] else f[1][1:]
                blocks[-1].append(f[3])
            return stream, blocks
        self.assertTrue(wait_for(lambda: len(replies()[0]) >= len(answer) * 5, 5), replies()[0])
        stream, blocks = replies()
        self.assertEqual(stream, answer * 5)
        gaps = [b - a for t in blocks for a, b in zip(t, t[1:])]
        self.assertTrue(gaps and all(g >= 0.004 for g in gaps), blocks)
        # the command protocol over CAN: a download and its upload
        p.responder = None
        time.sleep(0.2)
        tool = CanTool(p, 5)
        c = CanClient(tool, target=5, timeout=10.0)
        self.assertIn(c.get_mode(), range(0, 5))
        self.assertEqual(c.get_local_id(), 5)  # an any-id command is answered over CAN too
        data = os.urandom(3000)
        c.download(0, data)
        self.assertEqual(c.upload(0), data)
        # long frames only as far as an answer frame fits one block
        with self.assertRaises(ProtocolError):
            c.negotiate(253)
        data = os.urandom(5000)
        c.negotiate(252)
        c.download(0, data, 252)
        c.negotiate(252)
        self.assertEqual(c.upload(0), data)
        p.responder = None
        # a block whose sender id has bit 7 set would answer on the NMT identifier
        p.clear()
        p.send(0x605, bytes.fromhex("C200500005000000"))
        p.send(0x605, bytes.fromhex("8183010105F90000"))
        time.sleep(0.3)
        self.assertEqual(abort_code(p.got(0x585)[-1][1]), 0x06040043)
        self.assertEqual(p.got(0), [])


class Forwarding(unittest.TestCase):
    def test_command_forwarded_to_another_controller_on_the_bus(self):
        a = Controller()
        self.addCleanup(a.cleanup)
        b = Controller()
        self.addCleanup(b.cleanup)
        # one bus: b's CAN folder is a's
        os.makedirs(a.path("sim", "can"), exist_ok=True)
        os.makedirs(b.path("sim"), exist_ok=True)
        os.symlink(a.path("sim", "can"), b.path("sim", "can"))
        a.start(port=True)
        b.start(port=True)
        a.client.download(23, block(node=5, hb=0))
        b.client.download(23, block(node=9, hb=0))
        self.assertEqual(a.client.get_local_id(), 5)
        self.assertEqual(b.client.get_local_id(), 9)
        b.client.target = 9
        b.client.write_reg(r_addr(1), 16, 0x4321)
        time.sleep(5.5)  # b's serial conversation lets its port go
        a.client.target = 9  # through a, over CAN, to b
        self.assertEqual(a.client.read_reg(r_addr(1), 16), b"\x21\x43")
        self.assertIn(a.client.get_mode(), range(0, 5))
        # Commands of several frames go through a as well: b's data frames
        # reach the host and the host's answers reach b (upload), the host's
        # data frames reach b (verify, both a match and a difference).
        self.assertEqual(a.client.upload(23), block(node=9, hb=0))
        self.assertTrue(a.client.verify(23, block(node=9, hb=0)))
        self.assertFalse(a.client.verify(23, block(node=7, hb=0)))


class Master(CanCase):
    def master_block(self, device_type):
        return block(node=1, flags=0x81, hb=100, status=r_addr(100),
                     slaves=[slave_record(0x20, 500, device_type)])

    def slave_peer(self, beat):
        state = {"s": 0x7F, "beat": beat}

        def respond(peer, fr):
            cid, data = fr[0], fr[1]
            if cid == 0 and len(data) == 2 and data[1] in (0, 0x20):
                if data[0] == 0x82:
                    state["s"] = 0x7F
                    peer.send(0x720, b"\x00")
                elif data[0] == 1:
                    state["s"] = 5
                elif data[0] == 0x80:
                    state["s"] = 0x7F
            elif cid == 0x620 and data[:4] == bytes.fromhex("40001000"):
                peer.send(0x5A0, bytes.fromhex("4300100091010000"))

        def beats():
            while self.peer.running:
                if state["beat"]:
                    self.peer.send(0x720, bytes([state["s"]]))
                time.sleep(0.1)

        self.peer.responder = respond
        t = threading.Thread(target=beats, daemon=True)
        t.start()
        return state

    def test_master_boots_and_supervises(self):
        self.ctl.start(port=True)
        c, p = self.ctl.client, self.peer
        state = self.slave_peer(True)
        p.clear()
        self.download_block(self.master_block(0x191))
        c.target = 1
        started = p.wait(0, 3.0, pred=lambda d: d == b"\x01\x20")
        self.assertTrue(started, p.got())
        order = [(f[0], f[1]) for f in p.got() if f[0] in (0, 0x620)]
        self.assertEqual(order[0], (0, b"\x82\x00"))
        self.assertEqual(order[1], (0x620, bytes.fromhex("4000100000000000")))
        self.assertTrue(p.wait(0x701, 1.0, pred=lambda d: d == b"\x05"))
        time.sleep(0.3)
        self.assertEqual(int.from_bytes(c.read_reg(r_addr(104), 16), "little"), 0x2000)
        state["beat"] = False
        time.sleep(1.0)
        self.assertEqual(int.from_bytes(c.read_reg(r_addr(104), 16), "little"), 0x200B)
        # another device type: error 3, bit 19, never started; the download sends 80 00 once
        state["beat"] = True
        p.clear()
        self.download_block(self.master_block(0x192))
        time.sleep(2.0)
        self.assertEqual([f[1] for f in p.got(0)].count(b"\x80\x00"), 1, p.got(0))
        self.assertEqual(int.from_bytes(c.read_reg(r_addr(104), 16), "little"), 0x2003)
        self.assertTrue(int.from_bytes(c.read_reg(r_addr(100), 32), "little") & (1 << 19))
        self.assertNotIn(b"\x01\x20", [f[1] for f in p.got(0)])


if __name__ == "__main__":
    unittest.main()
