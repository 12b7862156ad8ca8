"""The README's first steps as a newcomer types them, lines taken from the
README itself: the first ladder program, the first IEC application, Ethernet
and Modbus TCP in a network namespace read with mbpoll; the client's
failures as one plain line each; the CAN host-bus example run twice."""

import array
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, SOURCE, crc16, wait_for  # noqa: E402
from test_readme import readme_code, readme_section  # noqa: E402

SETUP = os.path.join(SOURCE, "tools", "setup.sh")



def text_of(path):
    with open(path) as f:
        return f.read()


class Checkout(unittest.TestCase):
    """A work folder laid out as the checkout (tools, examples, build) with
    data/ the controller's root; the controller started the README's way."""
    ENV = {}   # settings of the test's own beside PLC_ROOT

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="plc-first-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.root = os.path.join(self.work, "root")
        os.makedirs(self.root)
        for name in ("tools", "examples"):
            os.symlink(os.path.join(SOURCE, name), os.path.join(self.work, name))
        os.symlink(os.path.dirname(os.path.abspath(CONTROLLER)), os.path.join(self.work, "build"))
        os.symlink(self.root, os.path.join(self.work, "data"))
        self.procs = []
        self.addCleanup(self.end)

    def end(self):
        for p in self.procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)  # the session this test made, by its id
                p.wait()

    def start(self, line):
        """The first terminal's line, in the background."""
        log = open(os.path.join(self.work, "console"), "w+")
        self.addCleanup(log.close)
        env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
        env.update(PLC_ROOT=self.root, PLC_RESET="exit", **self.ENV)
        p = subprocess.Popen(["/bin/sh", "-c", line], cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                             stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append(p)
        # The run command builds what it runs first (minutes when the build is
        # stale); one that ends without starting the controller (a failed
        # build, a held lock) fails the test at once with its console.
        self.assertTrue(wait_for(lambda: "Programming port: " in text_of(log.name) or p.poll() is not None, 300),
                        text_of(log.name))
        self.assertIn("Programming port: ", text_of(log.name), "run ended with status %s" % p.poll())
        self.assertTrue(wait_for(lambda: self.sh("tools/plcclient.py -d data/sim/port get-mode",
                                                 check=False).returncode == 0, 10))

    def end_group(self, group):
        try:
            os.killpg(group, signal.SIGKILL)  # the session this test made, by its id
        except ProcessLookupError:
            pass
        wait_for(lambda: not any(os.path.exists("/proc/%d" % p) for p in [group]), 5)

    def start_detached(self, line):
        """The first terminal's line started detached: setsid -f forks and its
        parent exits at once, so the set-up script's parent is gone."""
        console = os.path.join(self.work, "console")
        env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
        env.update(PLC_ROOT=self.root, PLC_RESET="exit")
        subprocess.run(["setsid", "-f", "/bin/sh", "-c", line + " >console 2>&1 </dev/null"], cwd=self.work,
                       env=env, check=True, timeout=10)
        lock = os.path.join(self.root, "sim", "controller.lock")
        pid = []

        def running():
            try:
                pid[:] = [int(text_of(lock))]
                os.kill(pid[0], 0)
                return True
            except (OSError, ValueError):
                return False
        self.assertTrue(wait_for(running, 300), text_of(console) if os.path.exists(console) else "")
        group = os.getpgid(pid[0])  # the session setsid made: set-up script, socat, controller
        self.addCleanup(self.end_group, group)
        self.assertTrue(wait_for(lambda: "Programming port: " in text_of(console), 30), text_of(console))
        self.assertTrue(wait_for(lambda: self.sh("tools/plcclient.py -d data/sim/port get-mode",
                                                 check=False).returncode == 0, 10))
        return console

    def ctrl_c(self):
        """Ctrl-C in the first terminal: the run command's whole group (its
        status is the run command's test, in test_readme)."""
        p = self.procs[0]
        os.killpg(p.pid, signal.SIGINT)
        p.wait(timeout=30)
        self.procs.remove(p)
        self.assertIn("Controller stopped", text_of(os.path.join(self.work, "console")))
        # Its end emptied the lock file: no stale process id is left behind.
        self.assertEqual(text_of(os.path.join(self.root, "sim", "controller.lock")), "")
        self.assertTrue(wait_for(lambda: not os.path.exists(os.path.join(self.root, "sim", "port")), 10))

    def sh(self, line, check=True):
        r = subprocess.run(["/bin/sh", "-c", line], cwd=self.work, capture_output=True, text=True, timeout=60)
        if check:
            self.assertEqual(r.returncode, 0, "%s: %s%s" % (line, r.stdout, r.stderr))
        return r

    def value(self, line):
        return int(self.sh(line).stdout.split()[0])

    def poll(self, line, pred, timeout=5.0):
        """Runs a README line until its printed value satisfies pred."""
        seen = []
        ok = wait_for(lambda: pred(seen.append(self.value(line)) or seen[-1]), timeout)
        self.assertTrue(ok, "%s: last %s" % (line, seen[-1:]))

    def code(self, title):
        return [ln.split(" #")[0].strip() for ln in readme_code(title)]



class FirstSteps(Checkout):
    def test_client_failures_are_one_plain_line(self):
        os.makedirs(os.path.join(self.root, "sim"))
        master, slave = os.openpty()  # a port nobody answers on
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        silent = os.ttyname(slave)
        plain = os.path.join(self.work, "plain.txt")
        open(plain, "w").close()
        cases = [
            ("-d data/sim/nothing get-mode", "data/sim/nothing does not exist: the controller may not be running"),
            ("-d %s -t 0.5 get-mode" % silent, "no answer from"),
            ("-d %s get-mode" % plain, "is not a serial device"),
            ("-H 127.0.0.1 get-mode", "refused the connection"),
            ("-d data get-mode", "error: data is a folder, not a serial device: give the programming port, "
             "e.g. -d data/sim/port"),
            ("-H 127.0.0.l get-mode", "error: 127.0.0.l is not an address or a host name this machine knows"),
            ("-d %s -t 0 get-mode" % silent, "error: -t 0 is not a time-out: give the seconds to wait for an "
             "answer, above 0 (default 3)"),
            ("-d %s -b 1234 get-mode" % silent, "error: -b 1234 is not a baud rate the port takes: give 300, 600, "
             "1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 (default 9600)"),
            ("-d data/sim/port -H 127.0.0.1 get-mode", "error: -d data/sim/port and -H 127.0.0.1 name two ways to "
             "the controller: give a serial device (-d) or a host (-H), not both"),
            ("-d %s -t 0.5 -i 3 get-mode" % silent, "error: no answer from %s (no answer (0 of 1 bytes)): is the "
             "controller running, the port right, and its network id 3? Leave -i out to ask the controller for "
             "its id" % silent),
            ("-H 10.77.9.9 get-mode", "error: 10.77.9.9: network is unreachable: this machine has no route to that "
             "address; is it the controller's, and is the controller in a network namespace (run the client "
             "there with ip netns exec)?"),
            ("-H 127.0.0.1 get-mode", "(a controller whose console says \"Ethernet: the network side did not "
             "start\" has its network side off)"),
        ]
        for args, text in cases:
            r = self.sh("tools/plcclient.py " + args, check=False)
            self.assertNotEqual(r.returncode, 0, args)
            self.assertNotIn("Traceback", r.stderr, args)
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
            self.assertIn(text, r.stderr, args)
        # A data folder the run command cannot write its lock file in: one
        # line, as the controller itself says it, never a traceback.
        lockdir = os.path.join(self.root, "sim", "controller.lock")
        os.makedirs(lockdir)
        r = self.sh("./tools/setup.sh run", check=False)
        data = os.path.join(self.work, "data")
        self.assertEqual((r.returncode, r.stderr), (1, "Cannot open %s/sim/controller.lock (Is a directory): the data "
                                                       "folder %s belongs to another user or is read-only; start the "
                                                       "controller as the user who owns it, or give it a PLC_ROOT of "
                                                       "its own\n" % (data, data)))
        os.rmdir(lockdir)
        # A refused file request: the reply and its meaning.
        self.start("./tools/setup.sh run")
        os.makedirs(os.path.join(self.root, "mnt", "USB0"), exist_ok=True)
        r = self.sh("tools/plcclient.py -d data/sim/port file-get 'A:\\NONE.TXT' x", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.strip(), "refused: 550 (not found or not accessible)")
        r = self.sh("tools/plcclient.py -d data/sim/port file-get 'Z:\\ladder.pgm' x", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("read ladder.pgm with 'upload 0'", r.stderr)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1)

        # Values that cannot travel, refusals with their meaning, and a file
        # that is not a program: one line each, no traceback, a non-zero status.
        cases = [
            ("write-reg 32768 16 -1", 2, "error: value -1 is negative: the client writes the register's 16 bits as "
             "they are; give a negative value as its two's complement (65535 for -1)"),
            ("write-reg 32768 16 65536", 2, "error: value 65536 does not fit 16 bits: give 0..65535"),
            ("write-reg 8192 1 2", 2, "error: value 2 does not fit a bit: give 0..1"),
            ("read-reg -8", 2, "error: address -8 is negative: a register is named by the bit address of its first "
             "bit, e.g. 32768 for %R1 (see the README's table)"),
            ("set-mode 300", 2, "error: mode 300 is not a mode: give 0 (stop), 1, 2 (run), 3 or 4"),
            ("read-reg 12x", 2, "error: argument address: '12x' is not a number (decimal, or hex with 0x) "
             "or a reference such as %R1 (see plcclient.py read-reg --help)"),
            ("write-reg 3136 16 9", 2, "error: write-reg: 0x09 refused: %SR5 refused the value: most system "
             "registers are read-only, and the others take only values within their range (%SR5, the mode, "
             "0..4)"),
            ("write-reg %SR5 32 0", 2, "error: write-reg: 0x09 refused: %SR5 is a 16-bit system register: the "
             "controller takes at most 16 bits there (write-reg 3136 16 VALUE)"),
            ("write-reg 32776 16 5", 2, "error: 32776 is bit 8 of %R1, not the first bit of a register: give "
             "32768 (%R1) or 32784 (%R2), or add --unaligned to write 16 bits from the byte that holds it, as "
             "the controller takes such an address"),
            ("download 0 /dev/null", 2, "error: /dev/null is empty: a memory file holds at least one byte; "
             "nothing was sent"),
            ("file-list 'A:\\NOPE\\*.CSV'", 1, "error: A:\\NOPE\\: no such folder on the controller's drives"),
            ("file-list 'A:\\EMPTY'", 0, "A:\\EMPTY holds no files"),
            ("read-reg 0x20000000", 2, "error: read-reg: 0x0F: no register at this address (the controller "
             "answers a register address outside its image like a damaged frame): check it against the "
             "README's table"),
            ("download 0 no-such.bin", 2, "error: no-such.bin does not exist: check the file name"),
            ("download 0 examples/first_program.lst", 2, "error: examples/first_program.lst is text, not a memory "
             "file: memory files are binary, written by tools/plclist.py (a listing goes through it first) or "
             "build/iec_program_writer; nothing was sent"),
            # A file of the other kind, told from its bytes: the program's
            # first record (id 0x0604, 201 bytes) runs past its 31 bytes, the
            # Ethernet file's slot 2 is the Ethernet module's (0xFA00).
            ("download 5 examples/first_program.bin", 2, "error: examples/first_program.bin is not an I/O "
             "configuration: its slot records (u16 id, u16 length, data, for slots 0, 1 and 2; 0xFFFF alone for an "
             "empty slot) do not fit its 31 bytes, so the controller would take the slots as not configured and "
             "drop the Ethernet configuration; was it a program (download 0)? Nothing was sent"),
            ("download 0 examples/ethernet_modbus.bin", 2, "error: examples/ethernet_modbus.bin is an I/O "
             "configuration (slot 2 holds the Ethernet module's record, id 0xFA00), not a program: download it as "
             "type 5 (download 5 examples/ethernet_modbus.bin); nothing was sent"),
            ("upload 0 /nonexist/dir/x.bin", 2, "error: the folder /nonexist/dir does not exist: create it, or give "
             "upload a path in a folder that exists; nothing was asked of the controller"),
            ("file-get 'A:\\X.TXT' /nonexist/dir/x", 2, "error: the folder /nonexist/dir does not exist: create "
             "it, or give file-get a path in a folder that exists; nothing was asked of the controller"),
            ("read-reg 32768 15", 2, "error: width 15 is not a register width: give 1 for a bit, 16 for a word, 32 "
             "for two (or another multiple of 8)"),
            ("read-reg 32768 2", 2, "error: width 2 is not a register width: give 1 for a bit, 16 for a word, 32 "
             "for two (or another multiple of 8)"),
            ("-f 2000 get-mode", 2, "error: -f 2000 is not a frame size: give 64..1024 data bytes per frame"),
            ("--devcie data/sim/port get-mode", 2, "error: unknown option --devcie, did you mean --device? "
             "(see plcclient.py --help)"),
            ("read-reg %R0", 2, "error: argument address: register numbers start at 1: %R0 "
             "(see plcclient.py read-reg --help)"),
            # A backslash the shell took away (A:\\LOGS\\X.BIN unquoted).
            ("file-put examples/first_program.bin A:LOGSX.BIN", 2, "error: A:LOGSX.BIN has no folder separator "
             "after the drive: did the shell take a backslash away? Quote the name ('A:\\...'), or write "
             "A:\\LOGSX.BIN for the top folder"),
        ]
        os.makedirs(os.path.join(self.root, "mnt", "USB0", "EMPTY"))
        before = [self.sh("tools/plcclient.py -d data/sim/port upload %d - --header" % t).stdout for t in (0, 5)]
        for args, status, line in cases:
            r = self.sh("tools/plcclient.py -d data/sim/port " + args, check=False)
            self.assertEqual((r.returncode, r.stderr), (status, line + "\n"), args)
        self.assertEqual([self.sh("tools/plcclient.py -d data/sim/port upload %d - --header" % t).stdout
                          for t in (0, 5)], before)
        self.assertEqual(self.value("tools/plcclient.py -d data/sim/port read-reg %R2"), 0)
        self.sh("tools/plcclient.py -d data/sim/port write-reg 32776 16 5 --unaligned")   # %R1's high byte
        self.assertEqual(self.value("tools/plcclient.py -d data/sim/port read-reg 32768 32"), 0x0500)
        # A file that is no program, yet not one the client can tell (the
        # Ethernet file with another module id in slot 2), downloaded as the
        # program: the download says the mode, the start says why the
        # controller stayed stopped.
        with open(os.path.join(SOURCE, "examples", "ethernet_modbus.bin"), "rb") as f:
            other = bytearray(f.read())
        other[4:6] = b"\x00\xfb"
        with open(os.path.join(self.work, "other.bin"), "wb") as f:
            f.write(other)
        self.sh("tools/plcclient.py -d data/sim/port set-mode 0")
        r = self.sh("tools/plcclient.py -d data/sim/port download 0 other.bin")
        self.assertRegex(r.stdout, r"^120 bytes in \d+\.\d\d s; controller in mode 0\n$")
        r = self.sh("tools/plcclient.py -d data/sim/port set-mode 2", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr, r"^error: set-mode 2 acknowledged, but the controller is in mode 0: word 131 = "
                         r"0x01[0-9A-F]{2}: invalid instruction: the program holds a word the controller cannot "
                         r"execute \(its offset is in words 180-181\); was the file a program\?\n$")
        # That fault is not blamed on the next file, which is taken; the next
        # start is refused with the fault's meaning.
        r = self.sh("tools/plcclient.py -d data/sim/port download 5 examples/ethernet_modbus.bin", check=False)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertRegex(r.stdout, r"^120 bytes in \d+\.\d\d s; controller in mode 0\n$")
        r = self.sh("tools/plcclient.py -d data/sim/port set-mode 2", check=False)
        self.assertEqual(r.returncode, 2)
        self.assertRegex(r.stderr, r"^error: set-mode 2 refused: word 131 = 0x01[0-9A-F]{2}: invalid instruction: ")
        # comm-lock 0 applies the I/O configuration the controller holds:
        # one without the Ethernet module's record is said, as what it does.
        for name, out in (("examples/io_default.bin", "released; the I/O configuration the controller applied (file "
                           "5) holds no Ethernet configuration (no record of module 0xFA00 in slot 2), so its "
                           "Ethernet services (Modbus TCP and the others) are off; download one (download 5 FILE), "
                           "then comm-lock 0 again\n"), ("examples/ethernet_modbus.bin", "")):
            self.sh("tools/plcclient.py -d data/sim/port download 5 " + name)
            r = self.sh("tools/plcclient.py -d data/sim/port comm-lock 0")
            self.assertEqual((r.stdout, r.stderr), (out, ""), name)
        # Ctrl-C during file-put: no partial file stays under the name given,
        # and the name can be uploaded again.
        with open(os.path.join(self.work, "big.bin"), "wb") as f:
            f.write(bytes(range(256)) * 8192)
        p = subprocess.Popen(["/bin/sh", "-c", "exec tools/plcclient.py -d data/sim/port file-put big.bin "
                              "'A:\\BIG.BIN'"], cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        partial = os.path.join(self.root, "mnt", "USB0", "BIG.BIN")
        card = os.path.realpath(os.path.join(self.root, "mnt", "USB0")) + "/"

        def upload_sizes():
            """Sizes of the card files the controller holds open (the upload's
            own file has no name until it is whole)."""
            with open(os.path.join(self.root, "sim", "controller.lock")) as f:
                pid = f.read().strip()
            out = []
            fds = "/proc/%s/fd" % pid
            for n in os.listdir(fds) if pid and os.path.isdir(fds) else []:
                try:
                    if os.readlink(os.path.join(fds, n)).startswith(card):
                        out.append(os.stat(os.path.join(fds, n)).st_size)
                except OSError:
                    pass
            return out
        self.assertTrue(wait_for(lambda: any(n > 4096 for n in upload_sizes()), 30))
        self.assertFalse(os.path.exists(partial))    # nothing under the name before it is whole
        p.send_signal(signal.SIGINT)
        p.communicate(timeout=30)
        self.assertTrue(wait_for(lambda: upload_sizes() == [], 40))   # the part received is dropped
        self.assertFalse(os.path.exists(partial))
        self.sh("tools/plcclient.py -d data/sim/port file-put examples/first_program.bin 'A:\\BIG.BIN'")
        with open(partial, "rb") as f, open(os.path.join(SOURCE, "examples", "first_program.bin"), "rb") as g:
            self.assertEqual(f.read(), g.read())
        self.assertEqual(self.sh("tools/plclist.py --help").stdout.splitlines()[0],
                         "usage: tools/plclist.py ladder|ethernet|table LISTING OUTPUT")

    def test_stray_bytes_on_the_port_never_give_a_wrong_value(self):
        """Bytes another client left on the port (a whole answer nobody read,
        a frame cut off half-way) are never taken for an answer."""
        self.start("./tools/setup.sh run")
        sys.path.insert(0, os.path.join(SOURCE, "tools"))
        from plcclient import build_frame
        port = os.path.join(self.work, "data", "sim", "port")

        def waiting(fd):
            n = array.array("i", [0])
            fcntl.ioctl(fd, termios.FIONREAD, n)
            return n[0]

        def leave(kind):
            fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
            if kind in ("stale", "both"):
                os.write(fd, build_frame(0x16, bytes([127, 16]) + (3136).to_bytes(2, "little")))  # %SR5: 0
                # Its answer, 0xFF 2 0 0 and a check byte, waits on the port
                # unread: the test goes on once all five bytes are there.
                self.assertTrue(wait_for(lambda: waiting(fd) >= 5, 10), (kind, waiting(fd)))
            if kind in ("half", "both"):
                os.write(fd, bytes([0x01, 0x05, 0x7F]))   # get_mode announcing 5 data bytes, cut after one
            os.close(fd)
        client = "tools/plcclient.py -d data/sim/port "
        self.sh(client + "write-reg 32768 16 4321")
        for kind in ("stale", "half", "both"):
            for line, out in (("get-mode", "0\n"), ("read-reg 32768", "4321\n"), ("write-reg 32784 16 77", ""),
                              ("read-reg %R2", "77\n")):
                leave(kind)
                r = self.sh(client + "-t 1 " + line, check=False)   # -t: a cut frame costs one time-out
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, out, ""), (kind, line))
            self.sh(client + "write-reg 32784 16 0")
        # The controller's own end of the pair: one line naming the other end.
        r = self.sh("tools/plcclient.py -d data/dev/ttySP0 -t 0.5 get-mode", check=False)
        self.assertEqual((r.returncode, r.stderr), (2, "error: no answer on data/dev/ttySP0, the controller's own "
                                                       "end of the port's pair: give the other end, -d data/sim/port\n"))
        self.assertEqual(self.sh(client + "get-mode").stdout, "0\n")

    def test_a_download_in_run_mode_is_taken_not_stored(self):
        self.ENV = {"PLC_NETNS": "machine"}   # the README reader's own network
        client = "tools/plcclient.py -d data/sim/port "
        self.start("./tools/setup.sh run")
        for line in ("set-mode 0", "download 0 examples/first_program.bin", "set-mode 2"):
            self.sh(client + line)
        r = self.sh(client + "download 5 examples/ethernet_modbus.bin")
        self.assertEqual(r.stderr, "")
        self.assertRegex(r.stdout, r"^120 bytes in \d+\.\d\d s; controller in mode 2; taken, not stored: in run "
                         r"mode the controller keeps a download in memory only and a restart loses it; to store "
                         r"it, set-mode 0, download it again, then set-mode 2\n$")
        header = client + "upload 5 - --header"
        self.assertRegex(self.sh(header).stdout, r"^crc 0x[0-9A-F]{4} length 120\n$")
        self.ctrl_c()
        self.start("./tools/setup.sh run")
        self.assertRegex(self.sh(header).stdout, r"^crc 0x[0-9A-F]{4} length 12\n$")   # a fresh one's
        # As the line says.
        for line in ("set-mode 0", "download 5 examples/ethernet_modbus.bin", "set-mode 2"):
            self.assertEqual(self.sh(client + line).stderr, "")
        self.ctrl_c()
        self.start("./tools/setup.sh run")
        self.assertRegex(self.sh(header).stdout, r"^crc 0x[0-9A-F]{4} length 120\n$")
        self.assertEqual(self.value(client + "get-mode"), 2)
        # A start with an Ethernet configuration asks several times to set the
        # host's clock, which the console names once.
        console = text_of(os.path.join(self.work, "console"))
        self.assertEqual(console.count("System time not set on this host"), 1, console)

        # set-mode 3 arms an on-line change: a program download goes to the
        # change buffer, and the client says so (status 1); the README's
        # steps apply it and store it.
        self.sh("tools/plclist.py ladder examples/email/program.lst changed.bin")
        with open(os.path.join(self.work, "changed.bin"), "rb") as f:
            changed = f.read()
        program = client + "upload 0 - --header"
        old = self.sh(program).stdout
        self.sh(client + "set-mode 3")
        r = self.sh(client + "download 0 changed.bin", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stdout, r"^%d bytes in \d+\.\d\d s; controller in mode 3\n$" % len(changed))
        self.assertEqual(r.stderr, "error: not stored as the program: set-mode 3 armed an on-line change, so the "
                         "file went into the change buffer (file 26) and the program is unchanged. The change is "
                         "applied to a running program: in mode 2, write-reg 0x10030000 16 3 makes it the running "
                         "program and set-mode 2 then stores it; any other set-mode drops it. To replace the "
                         "program instead: set-mode 0, then download it again\n")
        self.assertEqual(self.sh(program).stdout, old)
        self.sh(client + "write-reg 0x10030000 16 3")
        want = "crc 0x%04X length %d\n" % (crc16(changed), len(changed))
        self.assertTrue(wait_for(lambda: self.sh(program).stdout == want, 5), self.sh(program).stdout)
        self.sh(client + "set-mode 2")
        self.assertEqual(self.value(client + "get-mode"), 2)
        self.ctrl_c()
        self.start("./tools/setup.sh run")
        self.assertEqual(self.sh(program).stdout, want)       # stored

    def stored(self):
        """Every file of the configuration flash, byte for byte, but the
        register image the controller saves every few seconds in any mode."""
        cfg = os.path.join(self.root, "mnt", "cfg")
        out = {}
        for name in sorted(os.listdir(cfg)):
            if name in ("autoreg.dta", "bbram.dta"):
                continue
            with open(os.path.join(cfg, name), "rb") as f:
                out[name] = f.read()
        return out

    def test_a_cut_off_download_keeps_the_stored_files(self):
        """A download cut off in stop mode (Ctrl-C on the client, or a second
        client's request on the port), of the program and of a table: every
        stored file stays as it was, the controller holds the stored
        application again and runs it."""
        self.ENV = {"PLC_NETNS": "machine"}   # the README reader's own network
        client = "tools/plcclient.py -d data/sim/port "
        self.start("./tools/setup.sh run")
        self.sh("tools/plclist.py table examples/email/mail.lst mail.bin")
        for line in ("set-mode 0", "download 5 examples/ethernet_modbus.bin", "comm-lock 0", "download 21 mail.bin",
                     "download 0 examples/first_program.bin"):
            self.sh(client + line)
        before = self.stored()
        self.assertEqual(sorted(before), ["config.pgm", "ladder.pgm"])
        with open(os.path.join(SOURCE, "examples", "first_program.bin"), "rb") as f:
            program = f.read()
        with open(os.path.join(self.work, "mail.bin"), "rb") as f:
            mail = f.read()
        with open(os.path.join(SOURCE, "examples", "ethernet_modbus.bin"), "rb") as f:
            ethernet = f.read()
        headers = {0: program, 5: ethernet, 21: mail}
        with open(os.path.join(self.work, "big.bin"), "wb") as f:
            f.write(bytes(2 << 20))
        console = os.path.join(self.work, "console")
        said = ("Download of file type %d abandoned: the controller stays in mode 0 and holds its stored files "
                "again (ladder.pgm and config.pgm are as they were)\n")
        cut = ("the download of file %s was cut off half-way; the controller gives it up after its frame time-out "
               "and holds what it held before: its stored files, unchanged (in run mode, what the file was "
               "replacing); download the file again\n")
        labels = {0: "0 (program)", 21: "21 (messaging table)"}
        for way in ("ctrl-c", "second client"):
            for ftype in (0, 21):
                count = text_of(console).count(said % ftype)
                if way == "second client":
                    # The one-line request of another terminal, its client
                    # started and waiting, so that it comes while the frames go
                    # however busy the machine is.
                    other = subprocess.Popen(
                        ["/usr/bin/python3", "-c", "import sys; sys.path.insert(0, 'tools'); import plcclient; "
                         "sys.stdin.readline(); sys.argv[1:] = ['-d', 'data/sim/port', 'read-reg', '32768']; "
                         "plcclient.main()"], cwd=self.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, text=True)
                p = subprocess.Popen(["/bin/sh", "-c", "exec %sdownload %d big.bin" % (client, ftype)], cwd=self.work,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

                def written():   # bytes the client has written so far: its frames under way
                    with open("/proc/%d/io" % p.pid) as f:
                        return int(re.search(r"^wchar: (\d+)$", f.read(), re.M).group(1))
                self.assertTrue(wait_for(lambda: written() > 64 * 100, 10))
                if way == "ctrl-c":
                    p.send_signal(signal.SIGINT)
                    out, err = p.communicate(timeout=30)
                    self.assertEqual((p.returncode, out, err), (130, "", "interrupted: " + cut % labels[ftype]))
                else:
                    other.communicate("go\n", timeout=60)
                    out, err = p.communicate(timeout=60)
                    self.assertEqual((p.returncode, out), (2, ""), err)
                    self.assertRegex(err, r"^error: download: [^\n]*: " + re.escape(cut % labels[ftype]) + "$")
                self.assertTrue(wait_for(lambda: text_of(console).count(said % ftype) == count + 1, 10),
                                text_of(console))
                self.assertEqual(self.stored(), before, (way, ftype))
                for t, data in headers.items():
                    self.assertEqual(self.sh(client + "upload %d - --header" % t).stdout,
                                     "crc 0x%04X length %d\n" % (crc16(data), len(data)), (way, ftype, t))
                self.assertEqual(self.value(client + "get-mode"), 0)
                self.assertEqual(self.value(client + "read-reg 3120") & 0x0004, 0)
        # The stored application runs, now and after a restart.
        self.sh(client + "set-mode 2")
        first = self.value(client + "read-reg %R1")
        self.poll(client + "read-reg %R1", lambda v: v >= first + 2)
        self.ctrl_c()
        self.start("./tools/setup.sh run")
        self.assertEqual(self.value(client + "get-mode"), 2)
        self.assertEqual(self.sh(client + "upload 21 - --header").stdout,
                         "crc 0x%04X length %d\n" % (crc16(mail), len(mail)))

    def test_an_abandoned_download_and_the_readme_remedy(self):
        self.ENV = {"PLC_NETNS": "machine"}   # the README reader's own network
        client = "tools/plcclient.py -d data/sim/port "
        self.start("./tools/setup.sh run")
        for line in ("set-mode 0", "download 0 examples/first_program.bin"):
            self.sh(client + line)
        # The stored program damaged (a flash fault), then a download cut off
        # after its first frame, in stop mode: no whole application is stored
        # to load again.
        with open(os.path.join(self.root, "mnt", "cfg", "ladder.pgm"), "r+b") as f:
            f.truncate(5)
        sys.path.insert(0, os.path.join(SOURCE, "tools"))
        from plcclient import PlcClient
        with PlcClient.open_device(os.path.join(self.work, "data", "sim", "port")) as c:
            c.expect_byte(c.ask(0x04, bytes([c.target, 0])), what="download")
            c.expect_byte(c.transact(0xFF, bytes(64)), what="first frame")
        block = self.code("After an abandoned download")
        self.assertEqual(block[0], "Download of file type 0 abandoned: the controller stays in mode 0 and holds its "
                         "stored files again (ladder.pgm and config.pgm are as they were)")
        block = block[1:]
        said = block[0]
        self.assertTrue(said.startswith("Download of file type 0 abandoned: no whole application is stored "), said)
        console = os.path.join(self.work, "console")
        self.assertTrue(wait_for(lambda: said + "\n" in text_of(console), 10), text_of(console))
        fault = self.value(client + "read-reg 3120")
        self.assertEqual(fault & 0x090F, 0x0004)
        r = self.sh(client + "set-mode 2", check=False)
        self.assertEqual((r.returncode, r.stderr), (2, "error: set-mode 2 refused: word 131 = 0x%04X: no valid "
                                                       "program (the file was not a program, or a download was "
                                                       "abandoned)\n" % fault))
        # The README's remedy; each download names the files still invalid.
        lines = block[1:]
        self.assertEqual(len(lines), 5)
        self.sh(lines[0])
        still = ["0 (program), 5 (I/O configuration); download each", "0 (program); download it", ""]
        for line, names in zip(lines[1:4], still):
            r = self.sh(line)
            self.assertRegex(r.stdout, r"^\d+ bytes in \d+\.\d\d s; controller in mode 0\n$")
            note = ("note: invalid since a download was abandoned (or a stored file was damaged): %s again, and "
                    "the tables the program uses, or the controller discards the program at its next start (see "
                    "\"After an abandoned download\" in the README)\n" % names) if names else ""
            self.assertEqual(r.stderr, note, line)
        self.sh(lines[4])
        # After a restart the program runs.
        self.ctrl_c()
        self.start("./tools/setup.sh run")
        self.assertEqual(self.value(client + "get-mode"), 2)
        self.assertEqual(self.value(client + "read-reg 3120") & 0x0004, 0)
        first = self.value(client + "read-reg %R1")
        self.poll(client + "read-reg %R1", lambda v: v >= first + 2)

        # Ctrl-C on the client half-way through a download: it says that the
        # download was abandoned and what the controller then does.
        with open(os.path.join(self.work, "big.bin"), "wb") as f:
            f.write(bytes(4 << 20))
        p = subprocess.Popen(["/bin/sh", "-c", "exec " + client + "download 20 big.bin"], cwd=self.work,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def written():   # bytes the client has written so far: its frames under way
            with open("/proc/%d/io" % p.pid) as f:
                return int(re.search(r"^wchar: (\d+)$", f.read(), re.M).group(1))
        self.assertTrue(wait_for(lambda: written() > 64 * 100, 10))
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=30)
        self.assertEqual((p.returncode, out), (130, ""))
        self.assertEqual(err, "interrupted: the download of file 20 (protocol-manager table) was cut off half-way; "
                         "the controller gives it up after its frame time-out and holds what it held before: its "
                         "stored files, unchanged (in run mode, what the file was replacing); download the file "
                         "again\n")

    def test_readme_sentences_on_stop_backup_and_lock_hold(self):
        """What the README says of an IEC application at mode 0, of the
        backup word and of the lock file after kill -9, done as it says."""
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = " ".join(f.read().split())
        client = "tools/plcclient.py -d data/sim/port "
        self.start("./tools/setup.sh run")
        console = os.path.join(self.work, "console")
        cfg = os.path.join(self.root, "mnt", "cfg")

        def stamp(name):
            try:
                return os.stat(os.path.join(cfg, name)).st_mtime_ns
            except FileNotFoundError:
                return None
        # set-mode 0 prints nothing and writes neither file; the next
        # set-mode 2 stops the application (retain file and hot-restart image
        # written) and starts it again.
        self.assertIn("`set-mode 0` itself prints nothing: it stops the scan, and the application's retain file "
                      "(`mnt/cfg/z7.ret`) and hot-restart image (`mnt/cfg/z7.hot`) are written at that next "
                      "`set-mode 2`.", readme)
        self.sh("build/iec_program_writer program iec.bin")
        for line in ("set-mode 0", "download 0 iec.bin", "set-mode 2"):
            self.sh(client + line)
        first = self.value(client + "read-reg 24576")
        self.poll(client + "read-reg 24576", lambda v: v > first)
        stops = text_of(console).count("Application stopped\n")
        before = (stamp("z7.ret"), stamp("z7.hot"))
        self.sh(client + "set-mode 0")
        self.assertEqual(self.value(client + "get-mode"), 0)
        self.assertEqual(text_of(console).count("Application stopped\n"), stops)
        self.assertEqual((stamp("z7.ret"), stamp("z7.hot")), before)
        self.sh(client + "set-mode 2")
        self.assertTrue(wait_for(lambda: text_of(console).count("Application stopped\n") == stops + 1, 10),
                        text_of(console))
        after = (stamp("z7.ret"), stamp("z7.hot"))
        self.assertTrue(None not in after and after[0] != before[0] and after[1] != before[1], (before, after))

        # The backup word, written whole as the README says: bit 6 stores the backup.
        m = re.search(r"`(write-reg 5680 16 64)` sets bit 6", readme)
        self.assertTrue(m)
        self.sh(client + m.group(1))
        backup = os.path.join(cfg, "bkpreg.dta")
        self.assertTrue(wait_for(lambda: os.path.exists(backup) and os.path.getsize(backup) == 109192, 10))

        # kill -9: the lock file keeps the dead id, and that is harmless.
        self.assertIn("After `kill -9` it keeps the dead process's id, which is harmless", readme)
        lock = os.path.join(self.root, "sim", "controller.lock")
        pid = int(text_of(lock))
        os.kill(pid, signal.SIGKILL)   # the controller this test started, by its id
        self.procs[0].wait(timeout=30)
        self.procs.pop(0)
        self.assertEqual(text_of(lock), "%d\n" % pid)
        r = self.sh("./tools/setup.sh stop", check=False)
        self.assertEqual((r.returncode, r.stderr),
                         (1, "No controller runs on the data folder %s\n" % os.path.join(self.work, "data")))
        self.start("./tools/setup.sh run")
        self.assertEqual(self.value(client + "get-mode"), 2)

    def test_walkthrough_outputs_leave_git_status_clean(self):
        """Every file a README walkthrough writes into the checkout's top
        folder (a built table, program or library) is one git ignores."""
        names = set()
        with open(os.path.join(SOURCE, "README.md")) as f:
            for ln in f:
                code = ln.split(" #")[0].split() if ln.startswith("    ") else []
                if code and code[0] in ("tools/plclist.py", "build/iec_program_writer") and "/" not in code[-1]:
                    names.add(code[-1])
                if code and code[0] == "cc" and "-o" in code:
                    names.add(code[code.index("-o") + 1])
        self.assertEqual(sorted(names), ["iec.bin", "mail-program.bin", "mail.bin", "mqtt-payload.so", "mqtt.bin",
                                         "sms-program.bin", "sms.bin"])
        r = subprocess.run(["git", "-C", SOURCE, "check-ignore", "--no-index"] + sorted(names), capture_output=True,
                           text=True, timeout=30)
        self.assertEqual((r.returncode, sorted(r.stdout.split())), (0, sorted(names)), r.stderr)

    def test_can_example_runs_twice(self):
        self.start("./tools/setup.sh run")
        block = [ln[4:] for ln in readme_section("CAN port 0 and the CANopen node")
                 if ln.startswith("    ") and not ln.startswith("    PLC_CONTROLLER")]
        script = "\n".join(block)
        self.assertIn("os.unlink", script)
        for _ in range(2):
            r = subprocess.run(["/usr/bin/python3", "-c", script], cwd=self.work, capture_output=True, text=True,
                               timeout=20)
            self.assertEqual(r.returncode, 0, r.stderr)
            # The answer as the README's comment writes it: identifier and data bytes in hex.
            comment = next(ln for ln in block if ln.startswith("print(")).split("# ", 1)[1]
            self.assertEqual(r.stdout, comment + "\n")
            self.assertRegex(r.stdout, r"^0x5ff 4. 00 10 00( [0-9a-f]{2}){4}\n$")


if __name__ == "__main__":
    unittest.main()
