"""ASCII over TCP on the running controller: a peer on the far side of a veth
pair connects to the configured port; the ladder program's register blocks
are read and written over the command protocol on the serial port."""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import wait_for  # noqa: E402
from test_modbus import HOST, R, ModbusCase, config_block, io_config  # noqa: E402

SEND, CTRL, RECV, STATUS = R(300), R(299), R(1300), R(298)


def ascii_record(port=5000):
    return [0x00800000, 0, port, SEND, CTRL, RECV, STATUS]


class AsciiOverTcp(ModbusCase):
    def test_receive_cut_at_end_character_send_and_long_parts(self):
        # F bit 10 clear: ASCII on; bit 3 set: no Modbus.
        self.start(config_block(flags=0x200001DA, records=[ascii_record()]))
        c = self.c
        s = self.conn(5000)
        c.write_reg(RECV + 16, 16, 13)
        s.sendall(b"AB\r")
        self.assertTrue(wait_for(lambda: self.word(RECV) == 2, 3), self.word(RECV))
        self.assertEqual(self.word(RECV + 32), 0x4241)
        self.assertTrue(self.word(STATUS) & 0x8000)
        c.write_reg(RECV, 16, 0)
        c.write_reg(RECV + 16, 16, 48)
        s.sendall(b"AB\r")
        self.assertTrue(wait_for(lambda: self.word(RECV) == 3, 3), self.word(RECV))
        self.assertEqual(self.word(RECV + 48) & 0xFF, 13)

        # The program sends HELLO.
        c.write_reg(SEND, 16, 5)
        for i, pair in enumerate((b"HE", b"LL", b"O\0")):
            c.write_reg(SEND + 32 + 16 * i, 16, int.from_bytes(pair, "little"))
        c.write_reg(CTRL, 16, 1)
        got = b""
        s.settimeout(3)
        while len(got) < 5:
            got += s.recv(64)
        self.assertEqual(got, b"HELLO")
        self.assertTrue(wait_for(lambda: self.word(CTRL) == 0, 2))
        # 2,500 asked: 2,000 go, status bit 1.
        c.write_reg(SEND, 16, 2500)
        c.write_reg(CTRL, 16, 1)
        got = b""
        while len(got) < 2000:
            got += s.recv(4096)
        self.assertEqual(len(got), 2000)
        self.assertTrue(wait_for(lambda: self.word(STATUS) & 2, 2))
        self.assertEqual(self.word(CTRL), 0)

        # 1,380 bytes and 700 more at once: 2,000 stored, the second part cut.
        c.write_reg(RECV, 16, 0)
        s.sendall(b"x" * 1380 + b"y" * 700)
        self.assertTrue(wait_for(lambda: self.word(RECV) == 2000, 3), self.word(RECV))
        self.assertTrue(self.word(STATUS) & 1)
        self.assertEqual(self.c.read_reg(RECV + 32 + 8 * 1380, 16), b"yy")
        s.close()
        # Out of run mode the port closes.
        c.set_mode(0)
        time.sleep(0.5)
        t = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.settimeout(1)
        with self.assertRaises(ConnectionRefusedError):
            t.connect((HOST, 5000))
        t.close()

    def test_a_bad_reference_switches_ascii_off_for_its_own_configuration_only(self):
        # Send and status references below the register image: ASCII off.
        bad = [0x00800000, 0, 5000, 100, CTRL, RECV, 500]
        self.start(config_block(flags=0x200001DA, records=[bad]))
        c = self.c
        self.assertTrue(wait_for(lambda: self.word(R(51)) == 0x1ED, 3))  # the configuration is in force
        t = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.settimeout(1)
        with self.assertRaises(ConnectionRefusedError):
            t.connect((HOST, 5000))
        t.close()
        # The same configuration with good references, downloaded after it:
        # ASCII over TCP serves.
        c.set_mode(0)
        c.download(5, io_config(config_block(flags=0x200001DA, records=[ascii_record()])))
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))
        s = self.conn(5000)  # tried again until it is accepted, for up to 10 s
        c.write_reg(RECV + 16, 16, 13)
        s.sendall(b"OK\r")
        self.assertTrue(wait_for(lambda: self.word(RECV) == 2, 5), self.word(RECV))
        self.assertEqual(self.word(RECV + 32), 0x4B4F)


if __name__ == "__main__":
    unittest.main()
