#!/usr/bin/python3
"""Storage seen from outside: the files a first start creates (checked byte
for byte against the default contents and their CRC-16), the free-space record
and its reporter process, and saves that survive a kill at any instant."""
import os
import random
import re
import signal
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, SOURCE, Controller, crc16, pid_alive, wait_for, word_of  # noqa: E402
from bbsupport import REG_BYTES as IMAGE_SIZE  # noqa: E402

SAVER = os.path.join(os.path.dirname(CONTROLLER), "storage_saver")


def stored(data):
    return struct.pack("<II", crc16(data), len(data)) + data


# Default contents of the files.
LADDER = bytes([0x09, 0x00])
IO_CONFIG = bytes([0xFF, 0, 0, 0] * 3)
TABLE = bytes([0x08, 0, 0, 0, 0, 0, 0, 0])
SETUP = bytes(80)

EXPECTED_LADDER_PGM = stored(LADDER)
EXPECTED_CONFIG_PGM = (stored(IO_CONFIG)
                       + struct.pack("<HH", len(SETUP), crc16(SETUP)) + SETUP
                       + stored(TABLE) * 3              # protocol manager, messaging, data log
                       + struct.pack("<II", 0, 0)       # parameter table, never written
                       + stored(TABLE) * 2)             # CANopen, MQTT


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def parse_block(data, pos):
    crc, n = struct.unpack_from("<II", data, pos)
    body = data[pos + 8:pos + 8 + n]
    return crc, n, body, pos + 8 + n


class Storage(unittest.TestCase):
    def setUp(self):
        # An empty root: the files are the controller's own first start.
        self.ctl = Controller(dirs=(), prefix="plc-bb-storage-")
        self.addCleanup(self.ctl.cleanup)
        self.root = self.ctl.root

    def path(self, rel):
        return os.path.join(self.root, rel)

    def test_first_start_files_record_and_reporter(self):
        os.makedirs(self.path("mnt/USB0"))
        ctl = self.ctl.start(wait=False)
        ladder, config, autoreg = (self.path("mnt/cfg/" + n) for n in ("ladder.pgm", "config.pgm", "autoreg.dta"))

        self.assertTrue(wait_for(lambda: read(ladder) == EXPECTED_LADDER_PGM, 15), read(ladder))
        self.assertTrue(wait_for(lambda: read(config) == EXPECTED_CONFIG_PGM, 5), read(config))

        def image_ok():
            d = read(autoreg)
            return d is not None and len(d) == IMAGE_SIZE and d.endswith(b"WATCHBAT")
        self.assertTrue(wait_for(image_ok, 10), "autoreg.dta never held a whole image")
        for f in (ladder, config, autoreg):
            self.assertEqual(os.stat(f).st_mode & 0o777, 0o600, f)

        # The free-space record: six words, the card's triple first, rewritten every second.
        record = self.path("dev/shm/read.dat")
        self.assertTrue(wait_for(lambda: (read(record) or b"") != b"", 5))
        data = read(record)
        self.assertEqual(len(data), 24)
        words = struct.unpack("<6I", data)
        v = os.statvfs(self.path("mnt/USB0"))
        self.assertEqual(words[1], min(v.f_blocks, 0xFFFFFFFF))
        self.assertEqual(words[2], v.f_frsize)
        self.assertEqual(words[3:], (0, 0, 0))  # no stick in drive B:
        stamps = set()
        end = time.monotonic() + 3.5
        while time.monotonic() < end:
            st = os.stat(record)
            stamps.add((st.st_ino, st.st_mtime_ns))
            time.sleep(0.1)
        self.assertGreaterEqual(len(stamps), 3, "record not rewritten every second")
        os.makedirs(self.path("mnt/USB1"))
        self.assertTrue(wait_for(lambda: struct.unpack("<6I", read(record) or bytes(24))[5] != 0, 3))

        # The reporter is a child of the controller and ends with it, even on kill -9.
        exe = os.path.realpath(CONTROLLER)
        reporters = [c for c in ctl.children() if os.path.realpath("/proc/%d/exe" % c) == exe]
        self.assertTrue(reporters, "no free-space reporter child")
        ctl.stop(signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not any(pid_alive(c) for c in reporters), 5), "reporter outlived the controller")

        # A second start on the same root keeps the stored files as they are.
        ctl.start(wait=False)
        self.assertTrue(wait_for(image_ok, 10))
        time.sleep(1.0)
        self.assertEqual(read(ladder), EXPECTED_LADDER_PGM)
        self.assertEqual(read(config), EXPECTED_CONFIG_PGM)
        ctl.stop(signal.SIGKILL)

    def check_ladder(self, data):
        crc, n, body, end = parse_block(data, 0)
        self.assertEqual(end, len(data), "ladder.pgm length")
        self.assertEqual(crc, crc16(body), "ladder.pgm CRC")

    def check_config(self, data):
        pos = 0
        for i in range(8):
            if i == 1:  # register set-up area: u16 length, u16 CRC
                n, crc = struct.unpack_from("<HH", data, pos)
                body = data[pos + 4:pos + 4 + n]
                pos += 4 + n
            else:
                crc, n, body, pos = parse_block(data, pos)
            self.assertEqual(len(body), n, "block %d cut short" % i)
            self.assertEqual(crc & 0xFFFF, crc16(body), "block %d CRC" % i)
        self.assertEqual(pos, len(data), "config.pgm length")

    def test_kill_during_saves_leaves_whole_files(self):
        random.seed(7)
        saves = 0
        for _ in range(25):
            saver = self.ctl.start(exe=SAVER, wait=False)
            saver.wait_console("\n", 60)  # one save completed
            first = saver.console().partition("\n")[0]
            self.assertTrue(first.strip().isdigit(), first)
            time.sleep(random.uniform(0.0, 0.3))
            saver.stop(signal.SIGKILL)
            saves += len(saver.console().split())
            self.check_ladder(read(self.path("mnt/cfg/ladder.pgm")))
            self.check_config(read(self.path("mnt/cfg/config.pgm")))
            image = read(self.path("mnt/cfg/autoreg.dta"))
            self.assertEqual(len(image), IMAGE_SIZE)
            self.assertTrue(image.endswith(b"WATCHBAT"))
        self.assertGreater(saves, 25)

    def start_after_damage(self, name, offset):
        """First start on the root, then the mode word set to 2 in the stored
        image and one byte of a stored file flipped; answers the image saved
        by the next start."""
        ctl = self.ctl.start(wait=True)
        ctl.stop(signal.SIGTERM)
        image = bytearray(read(self.path("mnt/cfg/autoreg.dta")))
        image[2 * 132:2 * 132 + 2] = struct.pack("<H", 2)
        with open(self.path("mnt/cfg/autoreg.dta"), "wb") as f:
            f.write(image)
        damaged = bytearray(read(self.path("mnt/cfg/" + name)))
        damaged[offset] ^= 0x40
        with open(self.path("mnt/cfg/" + name), "wb") as f:
            f.write(damaged)
        ctl.start(wait=True)
        ctl.stop(signal.SIGTERM)
        return read(self.path("mnt/cfg/autoreg.dta"))

    def test_damaged_program_is_never_run(self):
        # A flipped byte in the stored program: the application is marked
        # invalid (bit 0x04 of word 131) and the controller stays stopped,
        # although it was running when it was stopped.
        image = self.start_after_damage("ladder.pgm", 8)
        self.assertTrue(word_of(image, 131) & 0x04, hex(word_of(image, 131)))
        self.assertEqual(word_of(image, 132), 0)

    def test_a_store_that_fails_is_seen_at_once(self):
        # The stored file cannot be written (its temporary name is a folder):
        # word 54278 (%ESR7) shows the save-failure bit at once, and the
        # client's download answer says the file was not stored.
        sys.path.insert(0, os.path.join(SOURCE, "tools"))
        from plcclient import download_state, judge_download
        ctl = self.ctl
        c = ctl.start(port=True).client
        c.set_mode(0)
        esr7 = lambda: int.from_bytes(c.read_reg(0x10030000 + 16 * 6, 16), "little")  # noqa: E731
        self.assertEqual(esr7(), 0)
        before_file = read(self.path("mnt/cfg/config.pgm"))
        os.mkdir(self.path("mnt/cfg/config.pgm.tmp"))
        io = bytes([0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0x11, 0x22])
        before = download_state(c)
        c.download(5, io)
        self.assertEqual(esr7(), 0x0080)
        status, out, err = judge_download(c, 5, io, before)
        self.assertEqual((status, out), (1, ["14 bytes; controller in mode 0"]))
        self.assertEqual(err, ["error: the controller could not store it, a restart loses it: word 54278 = 0x0080: "
                               "the configuration or register file could not be written; is the configuration "
                               "flash (mnt/cfg) full or read-only?"])
        self.assertEqual(read(self.path("mnt/cfg/config.pgm")), before_file)
        # Room again: stored, and the bit set before is no new failure.
        os.rmdir(self.path("mnt/cfg/config.pgm.tmp"))
        before = download_state(c)
        c.download(5, io)
        self.assertEqual(judge_download(c, 5, io, before), (0, ["14 bytes; controller in mode 0"], []))
        self.assertEqual(read(self.path("mnt/cfg/config.pgm"))[:8 + len(io)], stored(io))

    def test_a_folder_of_another_user_or_read_only_is_left_as_it_is(self):
        # Written as root (a program, registers, a register backup and an IEC
        # retain file), then started as "nobody": the files are not readable
        # (0600), and then the folder is read-only. Each start names the file
        # or folder and the error and ends with status 1; every stored file
        # stays byte for byte, with its owner, and root's next start runs the
        # program with its registers.
        ctl = self.ctl
        c = ctl.start(port=True).client
        c.set_mode(0)
        with open(os.path.join(SOURCE, "examples", "first_program.bin"), "rb") as f:
            program = f.read()
        c.download(0, program)
        c.write_reg(32768 + 16 * 9, 16, 4321)  # %R10
        self.assertEqual(ctl.stop(signal.SIGTERM), 0)
        cfg = self.path("mnt/cfg")
        for name, data in (("bkpreg.dta", b"backup of the registers"), ("z7.ret", b"retained values")):
            with open(os.path.join(cfg, name), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(cfg, name), 0o600)
        self.assertEqual(read(os.path.join(cfg, "ladder.pgm")), stored(program))

        def snapshot():
            return {n: (read(os.path.join(cfg, n)), os.stat(os.path.join(cfg, n)).st_uid) for n in os.listdir(cfg)}
        before = snapshot()
        self.assertEqual(read(self.path("sim/controller.lock")), b"")   # a clean end empties it
        nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        for d, _, _ in os.walk(self.root):
            os.chown(d, 65534, -1)               # the folders are nobody's, the files root's
        os.unlink(self.path("sim/controller.lock"))
        ctl.start(wait=False, argv_prefix=nobody)
        self.assertEqual(ctl.wait_exit(10), 1, ctl.console())
        # The folder is nobody's, so it is not what is wrong: the line names
        # the file's owner (root, uid 0) and the user that runs (uid 65534).
        self.assertRegex(ctl.console(), r"^Cannot read %s/(ladder\.pgm|config\.pgm|autoreg\.dta|bbram\.dta|"
                         r"bkpreg\.dta|z7\.ret) \(Permission denied\): the file belongs to another user \(uid 0\) "
                         r"than the one the controller runs as \(uid 65534\), "
                         r"who owns its folder; the controller stops and changes no stored file; give the file to "
                         r"uid 65534 \(chown\), or start the controller as uid 0\n$" % re.escape(cfg))
        self.assertEqual(snapshot(), before)
        ctl.stop()

        # Read-only: the files readable, nothing writable.
        for d, _, files in os.walk(self.root):
            os.chmod(d, 0o555)
            for n in files:
                if not os.path.islink(os.path.join(d, n)):
                    os.chmod(os.path.join(d, n), 0o444)
        self.addCleanup(lambda: [os.chmod(d, 0o755) for d, _, _ in os.walk(self.root)])
        ctl.start(wait=False, argv_prefix=nobody)
        self.assertEqual(ctl.wait_exit(10), 1, ctl.console())
        self.assertEqual(ctl.console(), "Cannot write %s (Permission denied): the data folder %s belongs to another "
                         "user or is read-only; the controller stops and changes nothing: start it as the user "
                         "who owns the folder\n" % (self.path("sim"), self.root))
        self.assertEqual(snapshot(), before)
        ctl.stop()

        for d, _, files in os.walk(self.root):
            os.chmod(d, 0o755)
            os.chown(d, 0, -1)
            for n in files:
                if not os.path.islink(os.path.join(d, n)):
                    os.chmod(os.path.join(d, n), 0o600)
        c = ctl.start(port=True).client
        self.assertEqual(c.upload(0), program)
        self.assertEqual(int.from_bytes(c.read_reg(32768 + 16 * 9, 16), "little"), 4321)
        self.assertEqual(read(os.path.join(cfg, "bkpreg.dta")), b"backup of the registers")

    def test_damaged_configuration_block_is_detected(self):
        # The same for a flipped byte in the I/O configuration block.
        image = self.start_after_damage("config.pgm", 9)
        self.assertTrue(word_of(image, 131) & 0x04, hex(word_of(image, 131)))
        self.assertEqual(word_of(image, 132), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
