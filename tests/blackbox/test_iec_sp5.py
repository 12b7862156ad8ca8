"""The SP5 file-transfer slave on the programming port: with PLC_SP5_ADDRESS
set, the switch to the runtime (0x26) opens channel 1 as the SP5 slave.
Frames are built here (CRC-16 and file CRC-32 worked out bit by bit) and
sent over the port's pseudo-terminal; 'H','R' gives the port back."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, crc16, wait_for  # noqa: E402
from test_iec_runtime import written  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from plcclient import ACK  # noqa: E402

ADDR = 0x0123


def crc32(data):
    c = 0xFFFFFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA000A001 if c & 1 else c >> 1
    return c


def frame(kind, seq, msg, seg, payload, addr=ADDR):
    h = struct.pack(">HBBBBH", addr, ord(kind), seq, msg, seg, len(payload))
    return b"SP5" + h + payload + struct.pack(">H", crc16(h + payload)) + b"]"


def ft(cmd, args=b"", password=bytes(8)):
    return b"F5" + bytes([cmd]) + password + args


def named(name, rest=b""):
    return bytes([len(name)]) + name.encode() + rest


class Sp5Link(unittest.TestCase):
    def read_frame(self, c):
        head = c.read_exact(11)
        self.assertEqual(head[:3], b"SP5", head)
        n = struct.unpack(">H", head[9:11])[0]
        rest = c.read_exact(n + 3)
        return head + rest

    def test_file_transfer_over_the_programming_port_and_the_hand_back(self):
        ctl = Controller(prefix="plc-bb-sp5-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True, env={"PLC_SP5_ADDRESS": str(ADDR)}).client
        c.set_mode(0)
        c.download(0, written("program"))
        c.set_mode(2)
        c.expect_byte(c.transact(0x26, bytes([c.target])), ACK, "0x26")
        c.flush_input()
        # kind 21, value 1, in one frame: answered by the communication server
        req = frame("S", 1, 1, 0, b"Z7\x00\x03\x15\x00\x01")
        self.assertEqual(req.hex(), "53503501235301010000075a3700031500011" "4f05d")
        c.write(req)
        self.assertEqual(self.read_frame(c).hex(), "5350350123410101000007" "5a370003150000" "06085d")
        # bad CRC: the header back as '?'
        bad = bytearray(frame("S", 2, 2, 0, b"Z7"))
        bad[-2] ^= 1
        c.write(bytes(bad))
        self.assertEqual(self.read_frame(c).hex(), "53503501233f0202000000" "72ee5d")
        # upload of a file of the runtime folder, block by block
        data = bytes((i * 7 + i // 256) & 0xFF for i in range(3000))
        with open(ctl.path("mnt", "cfg", "data.bin"), "wb") as f:
            f.write(data)
        c.write(frame("S", 3, 3, 0, ft(1, named("data.bin", struct.pack(">I", 100)))))
        a = self.read_frame(c)
        self.assertEqual(a[11:-3], b"F5\x01\x00" + struct.pack(">II", 3000, crc32(data[:100])))
        self.assertTrue(os.path.exists(ctl.path("mnt", "cfg", "sp5ftr.tmp")))
        got = b""
        seq = 4
        for off in range(0, 3000, 1000):
            msgno = seq
            c.write(frame("S", seq, msgno, 0, ft(5, struct.pack(">IH", off, 1000))))
            seq += 1
            msg = b""
            for k in range(1, 6):
                a = self.read_frame(c)
                self.assertEqual(a[5], ord("A"))
                self.assertEqual(a[8], (k | 0x80) if k == 5 else k)
                msg += a[11:-3]
                if k < 5:
                    c.write(frame("N", seq, msgno, k + 1, b""))
                    seq += 1
            self.assertEqual(msg[:4], b"F5\x05\x00")
            got += msg[4:]
        self.assertEqual(got, data)
        c.write(frame("S", seq, seq, 0, ft(3, named("data.bin"))))
        self.assertEqual(self.read_frame(c)[11:-3], b"F5\x03\x00" + struct.pack(">II", 3000, crc32(data)))
        self.assertFalse(os.path.exists(ctl.path("mnt", "cfg", "sp5ftr.tmp")))
        # the controller's own frame start gives the port back
        c.write(b"HR\x00\x00")

        def command_protocol_answers():
            try:
                return c.get_mode() in (2, 3)
            except Exception:
                c.flush_input()
                return False

        self.assertTrue(wait_for(command_protocol_answers, 10.0))


if __name__ == "__main__":
    unittest.main()
