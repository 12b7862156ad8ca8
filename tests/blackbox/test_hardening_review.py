"""The controller from outside where a hostile card, a pulled card, a failing
write, a download in run mode or a stale CAN endpoint must not get through:
an IEC application or a ladder program downloaded in run mode is stored and
runs at its last frame, and a mode that cannot be taken is refused; symbolic links on the card
are names that do not exist, for the file transfer, the ladder file
instructions and the card copy; a transfer whose card is pulled ends at once;
a refused CSV read leaves the registers alone; a clone save cut short leaves no
temporary file; a register backup that cannot be written says so and keeps the
old one; stale sockets on the CAN host bus never cut a live peer off; the
installation and a missing root end as asked."""

import os
import platform
import signal
import socket
import struct
import sys
import tempfile
import shutil
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402
from test_media import END, M, Q, R, file_op, program, rung  # noqa: E402

FXP_LINE, FXP_WRITE, FXP_READ = 0x1C, 0x1D, 0x1E
REFUSED = ("byte", 0x09)
ACKED = ("byte", 0xA0)


def fds_into(pid, folder):
    """The controller's open descriptors on files inside folder."""
    out = []
    d = "/proc/%d/fd" % pid
    for n in os.listdir(d):
        try:
            t = os.readlink(os.path.join(d, n))
        except OSError:
            continue
        if t.startswith(folder + "/"):
            out.append(t)
    return out


class CardCase(unittest.TestCase):
    """A controller with a card (mnt/USB0) and a folder outside the card
    holding what links on the card point to."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-card-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.card = self.ctl.path("mnt", "USB0")
        self.outside = tempfile.mkdtemp(prefix="plc-outside-")
        self.addCleanup(shutil.rmtree, self.outside, True)
        with open(os.path.join(self.outside, "secret.txt"), "wb") as f:
            f.write(b"not on the card")
        os.makedirs(os.path.join(self.outside, "dir"))
        with open(os.path.join(self.outside, "dir", "inner.txt"), "wb") as f:
            f.write(b"inner")
        os.symlink(os.path.join(self.outside, "dir"), os.path.join(self.card, "ESC"))
        os.symlink(os.path.join(self.outside, "secret.txt"), os.path.join(self.card, "PW.TXT"))
        os.symlink(os.path.join(self.outside, "secret.txt"), os.path.join(self.card, "PW.CSV"))
        with open(os.path.join(self.card, "OWN.TXT"), "wb") as f:
            f.write(b"own")

    def outside_unchanged(self):
        self.assertEqual(sorted(os.listdir(self.outside)), ["dir", "secret.txt"])
        self.assertEqual(os.listdir(os.path.join(self.outside, "dir")), ["inner.txt"])
        with open(os.path.join(self.outside, "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), b"not on the card")


class LinksOverFileTransfer(CardCase):
    def test_links_are_names_that_do_not_exist(self):
        c = self.ctl.start(port=True).client
        cases = [
            ("retr A:\\PW.TXT", 550),
            ("retr A:\\ESC\\INNER.TXT", 550),
            ("cwd A:\\ESC", 550),
            ("mkd A:\\ESC\\D", 550),
            ("mkd A:\\ESC", 550),
            ("stor A:\\ESC\\NEW.TXT", 501),
            ("stor A:\\PW.TXT", 501),
            ("dele A:\\PW.TXT", 550),
            ("dele A:\\ESC\\INNER.TXT", 550),
            ("rnfr A:\\PW.TXT A:\\X.TXT", 550),
            ("rnfr A:\\OWN.TXT A:\\ESC\\OWN.TXT", 550),
            ("rmd A:\\ESC", 550),
        ]
        for line, code in cases:
            self.assertEqual(c.fxp(line), (code, None), line)
        # The listing of the card shows its own file, and no link.
        code, total = c.fxp("list")
        self.assertEqual(code, 619)
        listing = c.fxp_read().decode()
        self.assertEqual(len(listing), total)
        names = [ln.split(" ")[1] for ln in listing.split("\r\n") if ln]
        self.assertEqual(names, ["OWN.TXT"])
        self.outside_unchanged()
        self.assertTrue(os.path.islink(os.path.join(self.card, "PW.TXT")))
        # The card's own file still reads.
        self.assertEqual(c.fxp("retr A:\\OWN.TXT"), (619, 3))
        self.assertEqual(c.fxp_read(), b"own")


class LinksInLadderFileInstructions(CardCase):
    def test_csv_read_write_and_copy_refuse_links(self):
        words = (rung(M(1), file_op(250, 0, R(10), 5, 0, 2, R(100), "A:\\PW.CSV"), Q(1))
                 + rung(M(2), file_op(251, 2 | END, R(20), 5, 0, 1, R(102), "A:\\ESC\\OUT.CSV"), Q(2))
                 + rung(M(3), file_op(250, 0, R(30), 5, 0, 1, R(104), "A:\\ESC\\INNER.CSV"), Q(3))
                 + [9])
        with open(os.path.join(self.outside, "secret.txt"), "wb") as f:
            f.write(b"not on the card")
        with open(os.path.join(self.outside, "dir", "INNER.CSV"), "wb") as f:
            f.write(b"7\r\n")
        c = self.ctl.start(port=True, wait=False).client
        c.set_mode(0)
        c.download(0, program(words))
        c.write_reg(R(10), 16, 0x5A5A)
        c.write_reg(R(30), 16, 0x5A5A)
        c.write_reg(R(20), 16, 9)
        c.set_mode(2)

        def status(ref):
            wait_for(lambda: int.from_bytes(c.read_reg(ref, 16), "little") != 65534, 10)
            return int.from_bytes(c.read_reg(ref, 16), "little")

        for bit, st in ((M(1), R(100)), (M(3), R(104))):
            c.write_reg(bit, 1, 1)
            self.assertEqual(status(st), 66, "read through a link: not found")
            c.write_reg(bit, 1, 0)  # releases the drive
        self.assertEqual(int.from_bytes(c.read_reg(R(10), 16), "little"), 0x5A5A)
        self.assertEqual(int.from_bytes(c.read_reg(R(30), 16), "little"), 0x5A5A)
        c.write_reg(M(2), 1, 1)
        self.assertNotEqual(status(R(102)), 0, "write through a link refused")
        self.assertEqual(sorted(os.listdir(os.path.join(self.outside, "dir"))), ["INNER.CSV", "inner.txt"])
        with open(os.path.join(self.outside, "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), b"not on the card")


class LinkedFirmwareOnTheCard(unittest.TestCase):
    def test_a_firmware_file_that_links_off_the_card_is_never_copied(self):
        ctl = Controller(prefix="plc-fwlink-", dirs=("dev", "mnt/cfg", "mnt/USB0", "mnt/firm", "sim",
                                                     "sys/block/mmcblk0"))
        self.addCleanup(ctl.cleanup)
        open(ctl.path("dev", "mmcblk0p1"), "wb").close()
        os.symlink("USB0", ctl.path("mnt", "USB"))
        with open(ctl.path("mnt", "firm", "firmware"), "wb") as f:
            f.write(b"firmware in place")
        outside = tempfile.mkdtemp(prefix="plc-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "image"), "wb") as f:
            f.write(b"not from the card" * 100)
        folder = ctl.path("mnt", "USB0", "UPDATE", "V1560001")
        os.makedirs(folder)
        os.symlink(os.path.join(outside, "image"), os.path.join(folder, "vbx310c"))
        c = ctl.start(port=True).client
        c.set_mode(2)
        # As with no firmware file in the folder: the request ends, nothing is copied.
        c.write_word(281, 0x8200)
        self.assertTrue(wait_for(lambda: c.read_word(281) & 0x8000 == 0, 10), "the request ended")
        self.assertIsNone(ctl.wait_exit(0.5), "no reboot")
        self.assertEqual(c.get_mode(), 2)
        with open(ctl.path("sim", "commands.log")) as f:
            self.assertNotIn("/mnt/firm/firmware", f.read())
        with open(ctl.path("mnt", "firm", "firmware"), "rb") as f:
            self.assertEqual(f.read(), b"firmware in place")


class PulledCardMidTransfer(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-pull-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(self.ctl.cleanup)
        self.card = self.ctl.path("mnt", "USB0")
        self.c = self.ctl.start(port=True).client

    def pull(self):
        os.rename(self.card, self.card + ".out")
        return self.card + ".out"

    def test_stor_ends_when_the_card_is_pulled(self):
        c = self.c
        self.assertEqual(c.fxp("stor A:\\BIG.BIN"), (150, None))
        block = bytes(range(63))
        for _ in range(10):
            self.assertEqual(c.transact(FXP_WRITE, bytes([c.target]) + block), ACKED)
        # The blocks go to an upload file of their own (open in the
        # controller, on the card), which takes the name only when whole.
        path = os.path.join(self.card, "BIG.BIN")

        def upload_size():
            d = "/proc/%d/fd" % self.ctl.proc.pid
            for n in os.listdir(d):
                try:
                    if os.readlink(os.path.join(d, n)).startswith(self.card + "/"):
                        return os.stat(os.path.join(d, n)).st_size
                except OSError:
                    continue
            return None

        self.assertTrue(wait_for(lambda: upload_size() == 630, 5), upload_size())
        self.assertFalse(os.path.exists(path), "nothing under the name before the upload is whole")
        gone = self.pull()
        answers = [c.transact(FXP_WRITE, bytes([c.target]) + block) for _ in range(3)]
        self.assertIn(REFUSED, answers, "a block after the pull")
        self.assertEqual(answers[answers.index(REFUSED):], [REFUSED] * (3 - answers.index(REFUSED)))
        self.assertEqual(c.transact(FXP_WRITE, bytes([c.target]), 10.0), REFUSED, "the close")
        self.assertFalse(os.path.exists(os.path.join(gone, "BIG.BIN")), "a cut upload never takes the name")
        self.assertEqual(fds_into(self.ctl.proc.pid, gone), [])
        # The card back: the next transfer works.
        os.rename(gone, self.card)
        self.assertEqual(c.fxp("stor A:\\SMALL.BIN"), (150, None))
        c.fxp_write(b"abc")
        with open(os.path.join(self.card, "SMALL.BIN"), "rb") as f:
            self.assertEqual(f.read(), b"abc")

    def test_retr_ends_when_the_card_is_pulled(self):
        c = self.c
        data = bytes((i * 7) & 0xFF for i in range(20000))
        with open(os.path.join(self.card, "BIG.BIN"), "wb") as f:
            f.write(data)
        self.assertEqual(c.fxp("retr A:\\BIG.BIN"), (619, 20000))
        got = bytearray()
        for _ in range(4):
            got += c.expect_frame(c.transact(FXP_READ, bytes([c.target])))
        self.assertEqual(bytes(got), data[:len(got)])
        gone = self.pull()
        answers = [c.transact(FXP_READ, bytes([c.target])) for _ in range(3)]
        self.assertEqual(answers[-1], REFUSED, answers)
        received = len(got) + sum(len(a[1]) for a in answers if a[0] == "frame")
        self.assertLess(received, 20000)
        self.assertTrue(wait_for(lambda: fds_into(self.ctl.proc.pid, gone) == [], 5),
                        fds_into(self.ctl.proc.pid, gone))


class RefusedCsvRead(unittest.TestCase):
    def test_refused_and_text_reads_write_only_what_was_read(self):
        ctl = Controller(prefix="plc-csvr-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(ctl.cleanup)
        with open(ctl.path("mnt", "USB0", "TEXT.CSV"), "wb") as f:
            f.write(b"xy,zz\r\n")
        words = (rung(M(1), file_op(250, 0, R(1230), 0, 0, 127, R(1300), "A:\\TEXT.CSV"), Q(1))
                 + rung(M(2), file_op(250, 0, R(1240), 0, 0, 20, R(1302), "A:\\TEXT.CSV"), Q(2))
                 + [9])
        c = ctl.start(port=True, wait=False).client
        c.set_mode(0)
        c.download(0, program(words))
        for r in (1230, 1231, 1240, 1241, 1242):
            c.write_reg(R(r), 16, 0x5A5A)
        c.set_mode(2)

        def word(n):
            return int.from_bytes(c.read_reg(R(n), 16), "little")

        c.write_reg(M(1), 1, 1)
        self.assertTrue(wait_for(lambda: word(1300) not in (65534, 65532, 0x5A5A, 0), 10), word(1300))
        self.assertEqual(word(1300), 86)
        self.assertEqual([word(1230), word(1231)], [0x5A5A, 0x5A5A], "a refused read writes nothing")
        c.write_reg(M(1), 1, 0)  # releases the drive
        c.write_reg(M(2), 1, 1)
        self.assertTrue(wait_for(lambda: word(1302) == 0, 10), word(1302))
        self.assertEqual(word(1303), 2)
        # "xy" and not one byte more.
        self.assertEqual([word(1240), word(1241), word(1242)], [0x7978, 0x5A5A, 0x5A5A])


class CloneSaveOnAPulledCard(unittest.TestCase):
    def test_no_temporary_file_is_left_anywhere(self):
        from test_backup import W291, program as feat_program
        ctl = Controller(prefix="plc-clonepull-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim"))
        self.addCleanup(ctl.cleanup)
        card = ctl.path("mnt", "USB0")
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, feat_program([1024 + 16 * 2048, 38, 10240, 9], 0x8004))
        c.download(22, bytes((i * 13) & 0xFF for i in range(60000)))
        time.sleep(1.5)  # the card's free space is published
        c.write_reg(W291 + 8, 1, 1)
        tmp = os.path.join(card, "AUTOLOAD.PGM.TMP")
        self.assertTrue(wait_for(lambda: os.path.exists(tmp), 30), ctl.console())
        os.rename(card, card + ".out")

        def word291():
            try:
                c.flush_input()
                return c.read_word(291)
            except Exception:  # the port is lent to the clone save meanwhile
                return None

        self.assertTrue(wait_for(lambda: (word291() or 0) & 0x400, 60), "making the clone failed (bit 10)")
        self.assertEqual([n for n in os.listdir(card + ".out") if n.endswith(".TMP")], [])
        self.assertFalse(os.path.exists(os.path.join(card + ".out", "AUTOLOAD.PGM")))


class BackupStoreThatCannotBeWritten(unittest.TestCase):
    def test_failure_is_reported_and_the_old_backup_kept(self):
        from test_backup import R1, W291
        ctl = Controller(prefix="plc-bkpfail-", dirs=("dev", "mnt/cfg", "sim"))
        self.addCleanup(ctl.cleanup)
        bkp = ctl.path("mnt", "cfg", "bkpreg.dta")
        soc = ctl.path("sim", "soc")
        c = ctl.start(port=True).client
        c.set_mode(0)

        def bit(n):
            return (c.read_word(291) >> n) & 1

        def persist():
            # The RTC persistent register 3 (0x80056090) in the SoC window file that holds it.
            for name in os.listdir(soc):
                base, size = int(name, 16), os.path.getsize(os.path.join(soc, name))
                if base <= 0x80056090 < base + size:
                    with open(os.path.join(soc, name), "rb") as f:
                        f.seek(0x80056090 - base)
                        return struct.unpack("<I", f.read(4))[0]
            self.fail("no SoC window holds the persistent register")

        def store():
            c.write_reg(W291 + 6, 1, 1)
            self.assertTrue(wait_for(lambda: bit(6) == 0, 5), "store done")

        # The stored file cannot be written (its temporary name is taken by a folder).
        blocker = bkp + ".tmp"
        os.mkdir(blocker)
        self.assertEqual(persist() & 0x80, 0)
        c.write_word(R1, 0x1111)
        store()
        self.assertEqual(bit(3), 0, "no backup is present")
        self.assertFalse(os.path.exists(bkp))
        self.assertEqual(persist() & 0x80, 0x80, "the save failure bit")
        # shown in word 54278 (%ESR7) at once, not only after the next start
        esr7 = lambda: int.from_bytes(c.read_reg(0x10030000 + 16 * 6, 16), "little")  # noqa: E731
        self.assertEqual(esr7(), persist() & 0xFFFF)
        self.assertEqual(esr7() & 0x80, 0x80)

        os.rmdir(blocker)
        c.write_word(R1, 0x1234)
        store()
        self.assertEqual(bit(3), 1)
        with open(bkp, "rb") as f:
            old = f.read()
        self.assertEqual(old[8 + 2 * R1:8 + 2 * R1 + 2], bytes([0x34, 0x12]))

        os.mkdir(blocker)
        c.write_word(R1, 0x9999)
        store()
        self.assertEqual(bit(3), 1, "the old backup is still present")
        with open(bkp, "rb") as f:
            self.assertEqual(f.read(), old)
        # A restore brings back what the file holds.
        c.write_reg(W291 + 13, 1, 1)
        self.assertTrue(wait_for(lambda: bit(14) == 1, 5))
        c.write_reg(W291 + 14, 1, 0)
        self.assertEqual(ctl.wait_exit(10), 3, "restored and reset")
        regs = ctl.registers()
        self.assertEqual(regs[2 * R1:2 * R1 + 2], bytes([0x34, 0x12]))


class CanHostBusStaleEndpoints(unittest.TestCase):
    def test_every_live_peer_gets_every_frame(self):
        from test_can import Peer
        ctl = Controller(prefix="plc-canstale-")
        self.addCleanup(ctl.cleanup)
        peers = [Peer(ctl.root, "live%d" % i) for i in range(3)]
        for p in peers:
            self.addCleanup(p.close)
        folder = os.path.join(ctl.root, "sim", "can", "can0")
        # Sockets that bound their names and closed: the files stay behind.
        for i in range(300):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            s.bind(os.path.join(folder, "stale%03d" % i))
            s.close()
        ctl.start()
        for p in peers:
            self.assertEqual([(f[0], f[1]) for f in p.wait(0x77F, 5)], [(0x77F, b"\x00")], p.name)
        for ask in peers:
            for p in peers:
                p.clear()
            ask.send(0x67F, bytes([0x40, 0x00, 0x10, 0, 0, 0, 0, 0]))
            for p in peers:
                got = p.wait(0x5FF, 5)
                self.assertEqual([f[1] for f in got], [bytes.fromhex("4200100095010000")], p.name)
        # The stale names are gone; the live ones and the controller's own stay.
        left = sorted(os.listdir(folder))
        self.assertEqual([n for n in left if n.startswith("stale")], [])
        self.assertEqual([n for n in left if n.startswith("live")], ["live0", "live1", "live2"])


class DownloadInRunMode(unittest.TestCase):
    def test_iec_application_and_ladder_program_stored_and_run_in_mode_2(self):
        from test_hardening import M as HM, PROGRAM_A
        from test_iec_runtime import AQ3, written
        from plcclient import ACK, CMD_DOWNLOAD, CMD_SET_MODE, DATA
        ctl = Controller(prefix="plc-dlrun2-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(2)
        iec = written("program")
        cfg = ctl.path("mnt", "cfg")

        def aq3():
            return int.from_bytes(c.read_reg(AQ3, 16), "little")

        def stored_program():
            with open(os.path.join(cfg, "ladder.pgm"), "rb") as f:
                return f.read()

        c.download(0, iec)
        self.assertEqual(c.get_mode(), 2)
        start = aq3()
        self.assertTrue(wait_for(lambda: aq3() > start + 10, 5), "the application runs")
        with open(os.path.join(cfg, "z7.cod"), "rb") as f:
            self.assertEqual(f.read(), written("image"))
        self.assertEqual(stored_program()[4:8], struct.pack("<I", len(iec)))
        self.assertEqual(stored_program()[8:], iec)

        # A ladder program over the running application, in small frames.
        self.assertEqual(c.transact(CMD_DOWNLOAD, bytes([c.target, 0])), ("byte", ACK))
        for pos in range(0, len(PROGRAM_A), 6):
            self.assertEqual(c.transact(DATA, PROGRAM_A[pos:pos + 6]), ("byte", ACK))
        self.assertEqual(c.transact(DATA, b""), ("byte", ACK))
        self.assertEqual(c.get_mode(), 2)
        c.write_reg(HM(1), 1, 1)
        self.assertTrue(wait_for(lambda: c.read_reg(HM(101), 1)[0] & 1, 5), "the ladder program runs")
        self.assertEqual(stored_program()[8:], PROGRAM_A)
        self.assertFalse(os.path.exists(os.path.join(cfg, "z7.cod")))
        after = aq3()
        time.sleep(0.3)
        self.assertEqual(aq3(), after, "the application stopped")

        # Stored: the next start runs it.
        ctl.stop()
        c = ctl.start(port=True).client
        c.set_mode(2)
        c.write_reg(HM(1), 1, 1)
        self.assertTrue(wait_for(lambda: c.read_reg(HM(101), 1)[0] & 1, 5), "the stored program runs")

        # A mode that cannot be taken is refused: run with a fault that forces stop.
        c.set_mode(0)
        c.download(0, program([254, 9]))
        self.assertEqual(c.transact(CMD_SET_MODE, bytes([c.target, 2])), ("byte", ACK))
        self.assertTrue(wait_for(lambda: c.get_mode() == 0, 5), "the bad instruction stops the scan")
        self.assertEqual(c.transact(CMD_SET_MODE, bytes([c.target, 2])), ("byte", 0x09))
        self.assertEqual(c.get_mode(), 0)


class StopDuringInstallation(unittest.TestCase):
    def test_sigint_and_sigterm_end_a_failed_installation(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            ctl = Controller(prefix="plc-inststop-", dirs=("dev", "mnt/cfg", "mnt/USB0", "sim", "usr/bin"))
            self.addCleanup(ctl.cleanup)
            open(ctl.path("dev", "mmcblk0p1"), "wb").close()
            os.symlink("USB0", ctl.path("mnt", "USB"))
            # The warm reset re-executes, as on a workstation by default.
            ctl.start(args=("X",), env={"PLC_RESET": "exec"}, wait=False)
            self.assertTrue(ctl.wait_console("Missing File:qmkern.sb", 10), ctl.console())
            os.kill(ctl.proc.pid, sig)
            self.assertEqual(ctl.wait_exit(10), 0, "%s ends it: %s" % (sig.name, ctl.console()))
            self.assertEqual(ctl.console().count("Missing File:qmkern.sb"), 1)


@unittest.skipIf(platform.machine().startswith("arm") or platform.machine() == "aarch64",
                 "an ARM board uses the board's paths")
class NoRootOnAWorkstation(unittest.TestCase):
    def test_an_unset_root_stops_the_controller(self):
        work = tempfile.mkdtemp(prefix="plc-noroot-")
        self.addCleanup(shutil.rmtree, work, True)
        exe = os.path.abspath(CONTROLLER)
        for value in (None, ""):
            env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
            env["PLC_RESET"] = "exit"
            if value is not None:
                env["PLC_ROOT"] = value
            import subprocess
            p = subprocess.Popen([exe], env=env, cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
            try:
                out, _ = p.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                self.fail("the controller ran without a root")
            self.assertEqual(p.returncode, 1)
            lines = out.decode().splitlines()
            self.assertEqual(len(lines), 1, lines)
            self.assertIn("PLC_ROOT", lines[0])
            self.assertEqual(os.listdir(work), [])


if __name__ == "__main__":
    unittest.main()
