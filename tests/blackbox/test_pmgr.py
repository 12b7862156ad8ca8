"""Protocol manager of the running controller with a loadable test driver:
the driver's bytes downloaded in the protocol-manager table, written to
dev/shm/drv0.so and loaded; its reads go through an Ethernet virtual port
(port byte 3) to a TCP device in a veth peer's namespace at 10.77.0.3:7001;
the driver's status words land in the status area; mode 0 closes the
connection and a new run loads the driver again.

The test driver (tests/protocols/drv/pmgr_test_driver.c) asks the device
with "R", the address (2 bytes, little-endian) and the count, and takes the
count of little-endian words that come back; it counts its writes in its
first status word (0x1100 + writes) and answers 0x2222 as the second."""

import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, NetPeer, TcpPeer, wait_for  # noqa: E402
import test_net_services as netcfg  # noqa: E402

DRIVER = os.path.join(os.path.dirname(os.path.abspath(CONTROLLER)), "tests", "libpmgr_test_driver.so")
DEVICE = "10.77.0.3"
DEVICE_PORT = 7001


def R(n):
    return 32768 + 16 * (n - 1)


def table(image, commands, port=3, address=0x0A4D0003, device_port=DEVICE_PORT):
    """Header, one driver record, the image, its configuration (port byte,
    9600 baud code 5, status area %R500, period 0, retry delay 100 ms), one
    device (status pair %R800, address, 3 retries, its TCP port) and the
    36-byte commands (flags, register, station, function code, device,
    count, address)."""
    img = 48
    cfg = img + len(image)
    dev = cfg + 48
    scan = dev + 28
    c = bytearray(48)
    c[1] = port
    struct.pack_into("<H", c, 2, 5)
    struct.pack_into("<III", c, 8, R(500), 0, 0)
    struct.pack_into("<I", c, 28, 10)
    d = bytearray(28)
    struct.pack_into("<II", d, 0, R(800), address)
    struct.pack_into("<HHH", d, 22, 3, device_port, 28)
    cmds = b""
    for flags, reg, station, fc, device, count, addr in commands:
        e = bytearray(36)
        struct.pack_into("<HxxI", e, 0, flags, reg)
        struct.pack_into("<HBBBBH", e, 12, 36, station, fc, device, count, addr)
        cmds += bytes(e)
    t = bytearray(48) + image + c + d + cmds
    struct.pack_into("<IIIIIIIIII", t, 0, len(t), 0, 1, 6, img, cfg, dev, 1, scan, len(commands))
    struct.pack_into("<H", t, 44, 315)
    return bytes(t)


class Device(TcpPeer):
    """The TCP device: answers "R" lo hi n with n words base + address + i;
    counts connections, requests and closes."""

    def __init__(self, peer):
        super().__init__(peer, DEVICE, DEVICE_PORT)
        self.base = 0xA000
        self.requests = []
        self.serve()

    def take(self, c, buf):
        while len(buf) >= 4:
            req, buf = buf[:4], buf[4:]
            self.requests.append(req)
            if req[0] != ord("R"):
                continue
            addr = req[1] | req[2] << 8
            c.sendall(b"".join(struct.pack("<H", (self.base + addr + i) & 0xFFFF) for i in range(req[3])))
        return buf


class ProtocolManager(unittest.TestCase):
    def setUp(self):
        with open(DRIVER, "rb") as f:
            self.image = f.read()
        self.peer = NetPeer(peer=DEVICE)
        self.addCleanup(self.peer.close)
        self.device = Device(self.peer)
        self.addCleanup(self.device.close)
        self.ctl = Controller(prefix="plc-pmgr-", dirs=("dev", "dev/shm", "mnt/cfg"))
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.download(5, netcfg.io_config(netcfg.config_block()))

    def word(self, n):
        return struct.unpack("<H", self.c.read_reg(R(n), 16))[0]

    def words(self, n, k):
        return [self.word(n + i) for i in range(k)]

    def drv0(self):
        try:
            with open(self.ctl.path("dev", "shm", "drv0.so"), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def test_driver_reads_over_a_virtual_port_status_stop_and_reload(self):
        c, dev = self.c, self.device
        c.set_mode(0)
        # Cyclic read fc 3, address 100 x 4 into %R600; two-way at %R700, address 200 x 4.
        c.download(20, table(self.image, [(1, R(600), 1, 3, 0, 4, 100), (2, R(700), 1, 3, 0, 4, 200)]))
        # The program's feature word 0x8001: the protocol manager is in use.
        c.download(0, struct.pack("<H", 9) + struct.pack("<I", 0x8001) + bytes(5))
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: self.words(600, 4) == [0xA064, 0xA065, 0xA066, 0xA067], 20),
                        (self.words(600, 4), dev.requests[:4]))
        self.assertTrue(wait_for(lambda: self.words(700, 4) == [0xA0C8, 0xA0C9, 0xA0CA, 0xA0CB], 10),
                        self.words(700, 4))
        self.assertEqual(self.drv0(), self.image)
        self.assertEqual(os.stat(self.ctl.path("dev", "shm", "drv0.so")).st_mode & 0o777, 0o600)
        self.assertIn(b"R\x64\x00\x04", dev.requests)
        self.assertIn(b"R\xc8\x00\x04", dev.requests)
        self.assertEqual(dev.connections, 1)
        # Words 2 and 3 of the status area are the driver's status words.
        self.assertTrue(wait_for(lambda: self.words(502, 2) == [0x1100, 0x2222], 10), self.words(500, 4))
        # A changed word of the two-way command goes to the driver as one write.
        c.write_reg(R(702), 16, 0x7777)
        self.assertTrue(wait_for(lambda: self.word(502) == 0x1101, 10), self.words(500, 4))
        seen = len(dev.requests)
        self.assertTrue(wait_for(lambda: len(dev.requests) >= seen + 6, 10))
        self.assertEqual(self.word(502), 0x1101)

        # Mode 0: the driver stops and port 3's connection is closed.
        c.set_mode(0)
        self.assertTrue(wait_for(lambda: dev.closed >= 1, 10), (dev.connections, dev.closed))
        # A new run writes the driver again and loads it: the device's new words arrive.
        os.unlink(self.ctl.path("dev", "shm", "drv0.so"))
        dev.base = 0xB000
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: self.words(600, 4) == [0xB064, 0xB065, 0xB066, 0xB067], 20),
                        self.words(600, 4))
        self.assertEqual(self.drv0(), self.image)
        self.assertEqual(dev.connections, 2)
        # The driver starts afresh: no write counted yet.
        self.assertTrue(wait_for(lambda: self.word(502) == 0x1100, 10), self.words(500, 4))


if __name__ == "__main__":
    unittest.main()
