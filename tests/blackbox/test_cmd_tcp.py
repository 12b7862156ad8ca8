"""The programming tool's long transfers over TCP port 18501 on the running
controller: a download in multi-part packets (while another connection asks
and is told busy) that the serial port uploads intact, and an upload at
level 2 in parts sized by system word 282."""

import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from test_modbus import HOST, ModbusCase, config_block  # noqa: E402
from plcclient import build_frame  # noqa: E402


def header(length, level=0, cmd=0):
    return struct.pack("<IHHHH12sHH", 0, level, 0x1234, 0xABCD, cmd, bytes(12), 0, length)


class CommandProtocolOverTcp(ModbusCase):
    def tool(self, level=0):
        deadline = time.monotonic() + 20
        while True:
            try:
                t = self.peer.tcp_client(HOST, timeout=5)
                t.level = level
                t.target = t.get_local_id()
                self.addCleanup(t.close)
                return t
            except Exception:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.3)

    def test_multi_part_download_and_upload_in_parts(self):
        self.c.download(5, __import__("test_modbus").io_config(config_block()))
        self.c.comm_lock(0)
        c = self.c
        t = self.tool()
        blob = bytes((i * 13 + 5) & 0xFF for i in range(2048))
        t.send(0x04, bytes([t.target, 22]))
        self.assertEqual(t.read_answer(), ("byte", 0xA0))
        other = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        other.settimeout(3)
        other.connect((HOST, 18501))
        self.addCleanup(other.close)
        t0 = time.monotonic()
        for half in (blob[:1024], blob[1024:]):
            payload = b"\xff\x00" + half + bytes([(-(0xFF + sum(half))) & 0xFF])
            t.sock.sendall(header(len(payload)) + payload)
            if half is blob[:1024]:
                # Another connection's get_mode meanwhile: busy, status 8.
                other.sendall(header(4) + bytes([0x01, 0x01, t.target, (-(2 + t.target)) & 0xFF]))
                busy = other.recv(64)
                self.assertEqual(busy[28:], b"\x60")
                self.assertEqual(struct.unpack("<H", busy[10:12])[0], 8)
            head, answer = t.reply(5)
            self.assertEqual(answer, b"\xa0")
        rate = 2048 / (time.monotonic() - t0)
        end = b"\xff\x00\x01"
        t.sock.sendall(header(len(end)) + end)
        self.assertEqual(t.reply(5)[1], b"\xa0")
        print("multi-part download: %.0f KB/s" % (rate / 1024), file=sys.stderr)
        t.send(0x19, bytes([t.target, 0]))  # end of exchange
        t.read_answer()
        self.assertEqual(c.upload(22), blob)

        # Upload at level 2, word 282 = 327: 8 parts of 256 bytes, each after
        # a host frame, then one part with no data.
        c.write_word(282, 327)
        u = self.tool(level=2)
        u.request(build_frame(0x05, bytes([u.target, 22, 0])))
        self.assertEqual(u.reply(5)[1], b"\xa0")
        got = b""
        for i in range(9):
            head, part = u.reply(5)
            n = struct.unpack("<H", head[26:28])[0]
            self.assertEqual(part[:2], b"\xff\x00", i)
            self.assertEqual((0xFF + sum(part[2:])) & 0xFF, 0, i)
            if i < 8:
                self.assertEqual(n, 259, i)
            else:
                self.assertEqual(n, 3)
            got += part[2:-1]
            if i < 8:
                u.request(b"\xa0")
        self.assertEqual(got, blob)


if __name__ == "__main__":
    unittest.main()
