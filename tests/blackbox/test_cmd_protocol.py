"""The programming protocol of the running controller, driven over a
pseudo-terminal linked as its programming port, with the client in tools/."""

import os
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, crc16  # noqa: E402
from plcclient import ACK, BADSUM, NAK, ProtocolError, build_frame  # noqa: E402

OWN_ID = 127  # the network id a fresh controller settles on
SR5 = 3072 + 16 * 4  # %SR5, the mode word
R1 = 32768            # %R1


def word_ref(bit_address):
    return bit_address // 16


class CmdCase(unittest.TestCase):
    oem = None

    def setUp(self):
        self.ctl = Controller(oem=self.oem, prefix="plc-cmd-")
        self.addCleanup(self.ctl.cleanup)
        self.start()

    def start(self):
        """(Re)starts the controller; the client on its programming port."""
        self.c = self.ctl.start(port=True, wait=False).client
        return self.c

    def raw(self, data, n, timeout=2.0):
        self.c.write(bytes(data))
        return self.c.read_exact(n, timeout)

    def assertSilent(self, seconds=0.6):
        self.assertTrue(self.c.silent_for(seconds), "an answer came where none was due")


class FrameLayer(CmdCase):
    def test_get_local_id_byte_for_byte_and_checksum_errors(self):
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x77], 4), bytes([0xFF, 0x01, 0x7F, 0x81]))
        # A bad checksum gets exactly one 0x0F and the next frame is served.
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x78], 1), bytes([BADSUM]))
        self.assertSilent(0.3)
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x77], 4), bytes([0xFF, 0x01, 0x7F, 0x81]))

    def test_unknown_short_and_oversized_frames_are_refused(self):
        for cmd in (0x27, 0x30, 0x00, 0x24):
            self.assertEqual(self.raw(build_frame(cmd, [OWN_ID]), 1), bytes([NAK]), hex(cmd))
        # Too short for the command: no stale bytes of the frame before are used.
        self.c.write_reg(R1, 16, 0x0102)
        self.assertEqual(self.raw(build_frame(0x16, [OWN_ID, 16]), 1), bytes([NAK]))
        self.assertEqual(self.raw(build_frame(0x02, [OWN_ID]), 1), bytes([NAK]))
        self.assertEqual(self.raw(build_frame(0x18, [OWN_ID, 16, 0x00, 0x80]), 1), bytes([NAK]))
        self.assertEqual(self.raw(build_frame(0x01, []), 1), bytes([NAK]))
        self.assertEqual(self.c.get_mode(), 0)
        # Longer than the receive buffer: consumed, refused, and the controller carries on.
        big = bytes([OWN_ID, 16]) + bytes(1023)
        self.assertEqual(self.raw(build_frame(0x16, big), 1), bytes([NAK]))
        huge = bytes([OWN_ID]) + bytes(range(256)) * 16
        self.assertEqual(self.raw(build_frame(0x18, huge, long_form=True), 1), bytes([NAK]))
        self.assertEqual(self.c.read_word((R1 - 1024) // 16), 0x0102)
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x77], 4), bytes([0xFF, 0x01, 0x7F, 0x81]))

    def test_mid_frame_silence_resets_the_receiver(self):
        self.c.write(bytes([0x09, 0x01]))
        time.sleep(0.9)
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x77], 4), bytes([0xFF, 0x01, 0x7F, 0x81]))

    def test_negotiation_switches_answers_to_the_long_form(self):
        self.assertEqual(self.raw(build_frame(0x23, [OWN_ID, 0x01, 0x04]), 1), bytes([NAK]))  # 1025
        self.assertEqual(self.raw(build_frame(0x23, [OWN_ID, 63, 0]), 1), bytes([NAK]))
        self.assertEqual(self.raw(build_frame(0x23, [OWN_ID, 0x00, 0x04]), 1), bytes([ACK]))  # 1024
        ans = self.raw(build_frame(0x01, [OWN_ID]), 6)
        self.assertEqual(ans[:4], bytes([0xFF, 0xFF, 0x01, 0x00]))
        self.assertEqual(sum(ans) & 0xFF, 0)
        # A zero-length frame ends the long form.
        self.assertEqual(self.raw(build_frame(0xFF, []), 1), bytes([NAK]))
        self.assertEqual(self.raw(build_frame(0x01, [OWN_ID]), 4)[:2], bytes([0xFF, 0x01]))

    def test_global_frames(self):
        # No broadcast flag: dropped without an answer.
        self.c.write(build_frame(0x01, [255]))
        self.assertSilent()
        self.c.write(build_frame(0x16, [255, 16, 0x00, 0x80]))
        self.assertSilent()
        # Broadcast flag: executed, not answered.
        self.c.write(build_frame(0x18, [255, 16, 0x00, 0x80, 0x34, 0x12]))
        self.assertSilent()
        self.assertEqual(self.c.read_reg(R1, 16), bytes([0x34, 0x12]))
        self.c.write(build_frame(0x02, [255, 1]))
        self.assertSilent()
        self.assertEqual(self.c.get_mode(), 1)
        # get_local_id answers whatever id it names.
        self.assertEqual(self.raw(build_frame(0x09, [255]), 4), bytes([0xFF, 0x01, 0x7F, 0x81]))


class OemSeed(CmdCase):
    oem = 0x85

    def test_seed_from_oem_byte(self):
        self.assertEqual(self.raw([0x09, 0x01, 0x7F, 0x77], 1), bytes([BADSUM]))
        f = build_frame(0x09, [0x7F], seed=5)
        self.assertEqual(f, bytes([0x09, 0x01, 0x7F, 0x72]))
        ans = self.raw(f, 4)
        self.assertEqual(ans[:3], bytes([0xFF, 0x01, 0x7F]))
        self.assertEqual((5 + sum(ans)) & 0xFF, 0)


class MemoryFiles(CmdCase):
    def test_download_upload_verify_and_restart(self):
        c = self.c
        small = bytes((i * 7 + 3) & 0xFF for i in range(3001))
        c.download(0, small)                       # 64-byte frames
        self.assertEqual(c.upload(0), small)
        crc, ln = c.upload(0, header=True)
        self.assertEqual((crc & 0xFFFF, ln), (crc16(small), len(small)))

        big = os.urandom(50000 + 3)
        c.negotiate(1024)
        c.download(0, big, 1024)
        c.negotiate(1024)
        self.assertEqual(c.upload(0), big)
        self.assertEqual(c.upload(0, header=True)[1], len(big))
        self.assertTrue(c.verify(0, big))
        changed = bytes([big[0] ^ 0xFF]) + big[1:]
        # The first data frame already differs: 0x09 to it.
        c.send(0x03, [c.target, 0])
        self.assertEqual(c.read_answer(), ("byte", ACK))
        c.send(0xFF, changed[:64])
        self.assertEqual(c.read_answer(), ("byte", NAK))
        self.assertFalse(c.verify(0, changed))

        self.ctl.stop()
        c = self.start()
        self.assertEqual(c.upload(0), big)
        self.assertEqual(c.upload(0, header=True), (crc16(big), len(big)))

    def test_too_long_download_is_refused_and_nothing_stored_is_lost(self):
        c = self.c
        prog = os.urandom(4000)
        c.download(0, prog)
        time.sleep(0.2)
        with open(self.ctl.path("mnt", "cfg", "ladder.pgm"), "rb") as f:
            stored = f.read()
        # The register set-up area takes 80 bytes.
        with self.assertRaises(ProtocolError) as e:
            c.download(4, bytes(81))
        self.assertEqual(e.exception.answer, ("byte", NAK))
        # Past the 2 MB a stored program may have.
        c.negotiate(1024)
        with self.assertRaises(ProtocolError) as e:
            c.download(0, os.urandom(2 * 1024 * 1024 + 1024), 1024)
        self.assertEqual(e.exception.answer, ("byte", NAK))
        self.assertIn("offset 2097152", str(e.exception))
        c.long_frames = False
        time.sleep(6)  # the conversation times out; an open download would be closed now
        with open(self.ctl.path("mnt", "cfg", "ladder.pgm"), "rb") as f:
            self.assertEqual(f.read(), stored)
        self.assertEqual(c.upload(0), prog)
        self.ctl.stop()
        c = self.start()
        self.assertEqual(c.upload(0), prog)

    def test_exactly_the_bound_is_accepted(self):
        c = self.c
        c.download(4, bytes(range(80)))
        self.assertEqual(c.upload(4), bytes(range(80)))


class Registers(CmdCase):
    def test_version_and_mode_through_registers(self):
        c = self.c
        num = c.read_word(164)
        ver = c.read_word(165)
        c.send(0x08, [c.target])
        kind, data = c.read_answer()
        if num < 255:
            self.assertEqual(data, bytes([num, ver // 100, ver % 100]))
        else:
            self.assertEqual(data, bytes([0xFF, ver // 100, ver % 100, num & 0xFF, num >> 8]))
        self.assertEqual(c.get_version(), (num, "%d.%02d" % (ver // 100, ver % 100)))

        c.write_reg(SR5, 16, 1)              # through PlcReg_Set: the mode changes
        self.assertEqual(c.get_mode(), 1)
        c.set_mode(3)                        # arms an on-line change
        self.assertEqual(c.get_mode(), 3)
        self.assertEqual(c.read_reg(SR5, 16), bytes([3, 0]))
        c.set_mode(0)
        self.assertEqual(c.get_mode(), 0)

    def test_write_read_escapes_clear_and_refusals(self):
        c = self.c
        c.write_reg(R1, 16, 0xBEEF)
        self.assertEqual(c.read_reg(R1, 16), bytes([0xEF, 0xBE]))
        c.write_reg(R1 + 16, 32, 0x11223344)
        self.assertEqual(c.read_reg(R1 + 16, 32), bytes([0x44, 0x33, 0x22, 0x11]))
        c.write_reg(R1 + 3, 1, 1)
        self.assertEqual(c.read_reg(R1 + 3, 1), b"\x01")
        # 1776 and 1777 escapes: 0x10000 + e and 0x20000 + e.
        c.send(0x18, [c.target, 16, 0xF0, 0x06, 0x10, 0x00, 0xAA, 0x55])
        self.assertEqual(c.read_answer(), ("byte", ACK))
        self.assertEqual(c.read_reg(0x10010, 16), bytes([0xAA, 0x55]))
        c.send(0x16, [c.target, 16, 0xF1, 0x06, 0x20, 0x00])
        self.assertEqual(c.read_answer(), ("frame", bytes([0, 0])))
        c.write_reg(0x20020, 16, 0x0707)
        c.send(0x16, [c.target, 16, 0xF1, 0x06, 0x20, 0x00])
        self.assertEqual(c.read_answer(), ("frame", bytes([7, 7])))
        # Outside the image: 0x0F.
        for addr in (0x20000000, 0x0CC400, 0x10031000):
            c.send(0x16, bytes([c.target, 16]) + bytes([0, 0]) + addr.to_bytes(4, "little"))
            self.assertEqual(c.read_answer(), ("byte", BADSUM), hex(addr))
            c.send(0x18, bytes([c.target, 16]) + bytes([0, 0]) + addr.to_bytes(4, "little") + b"\x01\x00")
            self.assertEqual(c.read_answer(), ("byte", BADSUM), hex(addr))
        # Width 0 clears the registers.
        c.send(0x18, [c.target, 0, 0x00, 0x80])
        self.assertEqual(c.read_answer(), ("byte", ACK))
        self.assertEqual(c.read_reg(R1, 16), bytes([0, 0]))


class Datagrams(CmdCase):
    def test_lists_escapes_writes_timeouts_and_delete_all(self):
        c = self.c
        refs = [0, 0] + [word_ref(R1) + i for i in range(28)]
        dg = c.dg_create(refs, key=0x4242)
        self.assertNotEqual(dg, 255)
        for i in range(28):
            c.write_reg(R1 + 16 * i, 16, 0x100 + i)
        data = c.dg_read(dg, key=0x4242)
        self.assertEqual(len(data), 56)
        self.assertEqual(data, b"".join((0x100 + i).to_bytes(2, "little") for i in range(28)))
        self.assertIsNone(c.dg_read(dg, key=0x4243))

        four = c.dg_create([word_ref(R1) + 40 + i for i in range(4)], key=1)
        self.assertFalse(c.dg_write(four, [1, 2, 3], key=1))
        self.assertEqual(c.dg_read(four, key=1), bytes(8))
        self.assertTrue(c.dg_write(four, [1, 2, 3, 4], key=1))
        self.assertEqual(c.read_reg(R1 + 16 * 43, 16), bytes([4, 0]))

        # A trailing escape is refused; several escapes count the real references.
        self.assertEqual(c.dg_create([word_ref(R1), 0]), 255)
        multi = c.dg_create([0, 0, word_ref(R1), 0, 0, word_ref(R1) + 1, word_ref(R1) + 2])
        self.assertEqual(len(c.dg_read(multi)), 6)
        self.assertEqual(c.dg_create([1] * 31), 255)

        quick = c.dg_create([word_ref(R1)], key=9, timeout=1)
        self.assertIsNotNone(c.dg_read(quick, key=9))
        time.sleep(0.2)
        self.assertIsNone(c.dg_read(quick, key=9))

        self.assertTrue(c.dg_delete(255, key=0))
        self.assertIsNone(c.dg_read(dg, key=0x4242))
        self.assertIsNone(c.dg_read(four, key=1))


class PortSettings(CmdCase):
    def test_baud_rate_change_falls_back_after_silence(self):
        c = self.c
        self.assertEqual(c.get_baud_rate(), 5)
        c.set_baud_rate(9)
        time.sleep(0.2)
        self.assertEqual(termios.tcgetattr(self.ctl.slave)[5], termios.B115200)
        self.assertEqual(c.get_baud_rate(), 9)
        time.sleep(9.8)
        self.assertEqual(termios.tcgetattr(self.ctl.slave)[5], termios.B9600)
        self.assertEqual(c.get_baud_rate(), 5)


if __name__ == "__main__":
    unittest.main(verbosity=2)
