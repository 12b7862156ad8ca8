"""The register HTTP server and the in-program FTP server against clients
that misbehave, driven from a veth peer and a second address on it:
connections closed before their banner, half-open and idle connections by
the hundred, several commands in one packet, uploads cut by a kill or a full
card, a refused login, names of other drives, a foreign host on a passive
data port, a host flooding the FTP port. Each server keeps serving others,
an upload replaces its file whole or not at all, FTP serves only the card,
and the controller's descriptors and memory stay flat."""

import os
import signal
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Flood, ManyHosts, ip_addr, poll_failures, rss_kb, wait_for  # noqa: E402
from test_net_services import ServicesBase  # noqa: E402

HOST = "10.77.0.2"
FOREIGN = "10.77.0.4"  # a second host on the peer's link
# Runs the controller with a 1 MB file system of its own as the card.
MOUNT_SMALL_CARD = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs -o size=1m tmpfs "$PLC_ROOT/mnt/USB0" && exec "$@"', "sh"]
WRITE_FAILED = b"HTTP/1.0 500 \r\nContent-Length: 27\r\n\r\nNetX HTTP File Write Failed"
# Names that lead off the card: the configuration flash as Z: in every
# spelling, and relative climbs out of the card's folder.
OFF_CARD = ["Z:\\", "z:/", "Z:", "z:", "../cfg/", "..\\cfg\\", "A:/../cfg/", "/../cfg/"]


def pattern(n, seed):
    return bytes((i * seed + (i >> 8)) & 0xFF for i in range(n))


class NetHardening(ServicesBase, unittest.TestCase):
    def up(self, **kw):
        self.start(**kw)
        self.assertTrue(wait_for(lambda: ip_addr() == [HOST + "/24"], 10), ip_addr())

    def restart(self, argv_prefix=()):
        self.c = self.ctl.start(port=True, argv_prefix=argv_prefix).client
        self.c.comm_lock(0)

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.ctl.proc.pid))

    def assert_fds_back(self, base):
        seen = []
        ok = wait_for(lambda: seen.append(self.fd_count()) or seen[-1] <= base, 10)
        self.assertTrue(ok, "descriptors %d at the start, %s now" % (base, seen[-1:]))

    def card(self, *parts):
        """A path on the card as the controller sees it (its own mount namespace)."""
        root = "/proc/%d/root" % self.ctl.proc.pid if self.ctl.proc is not None else ""
        return os.path.join(root + self.ctl.path("mnt", "USB0"), *parts)

    def open_sizes(self):
        """Sizes of the files the controller holds open on the card."""
        out = []
        d = "/proc/%d/fd" % self.ctl.proc.pid
        for n in os.listdir(d):
            try:
                if os.readlink(os.path.join(d, n)).startswith(self.ctl.path("mnt", "USB0")):
                    out.append(os.stat(os.path.join(d, n)).st_size)
            except OSError:
                pass
        return out

    def http_socket(self):
        p = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(p.close)
        p.settimeout(15)
        p.connect((HOST, 80))
        return p

    def kill_in_upload(self, received, files):
        """kill -9 once the upload in hand holds what was sent; the card
        holds files, then and after a restart."""
        self.assertTrue(wait_for(lambda: received in self.open_sizes(), 10), self.open_sizes())
        self.ctl.stop(signal.SIGKILL)
        self.assert_card(files)
        self.restart()
        self.assert_card(files)

    def assert_free(self, free):
        """The card's free blocks back to free."""
        seen = []
        ok = wait_for(lambda: seen.append(os.statvfs(self.card()).f_bfree) or seen[-1] == free, 10)
        self.assertTrue(ok, "%d blocks free before, %s now" % (free, seen[-1:]))

    # A reply counts as prompt within this many seconds: a SYN the kernel
    # sends again already takes one second, so one second is not enough.
    PROMPT = 3

    def new_client(self, wait=PROMPT):
        """A new FTP client of the peer's address: its socket, its banner (or
        the error) and the seconds the banner took (wait at most)."""
        t0 = time.monotonic()
        k = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(k.close)
        k.settimeout(wait)
        try:
            k.connect((HOST, 21))
            banner = self.line(k)
        except OSError as e:
            banner = repr(e).encode()
        return k, banner, time.monotonic() - t0

    def login(self):
        s = self.ftp_connect()
        self.addCleanup(s.close)
        self.assertEqual(self.line(s), b"220 Connection Ready \r\n")
        self.assertEqual(self.cmd(s, "USER alice"), b"331 Enter password \r\n")
        self.assertEqual(self.cmd(s, "PASS pw1"), b"230 Logged in \r\n")
        self.assertEqual(self.cmd(s, "TYPE I"), b"200 Type Binary \r\n")
        return s

    def passive(self, s, foreign=False):
        """The data connection of a PASV; with foreign, a foreign host takes the
        announced port first and sends bytes, and is closed unread."""
        self.assertEqual(self.cmd(s, "PASV"), b"227 Entering Passive Mode(10,77,0,2,117,48) \r\n")
        if foreign:
            f = self.foreign()
            f.connect((HOST, 30000))
            f.sendall(b"foreign bytes")
            self.assert_closed_unread(f)
        d = self.ftp_connect(port=30000)
        self.addCleanup(d.close)
        return d

    def upload(self, s, command, data, foreign=False):
        """A passive STOR or APPE of data; the final reply."""
        d = self.passive(s, foreign)
        self.assertEqual(self.cmd(s, command), b"150 File Open for Write \r\n")
        d.sendall(data)
        d.close()
        return self.line(s)

    def assert_card(self, files):
        self.assertEqual(sorted(os.listdir(self.card())), sorted(files))
        for name, data in files.items():
            with open(self.card(name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def foreign(self):
        """A TCP socket of the peer's namespace bound to the second address."""
        if not getattr(self, "foreign_up", False):
            self.peer.run("ip", "addr", "add", FOREIGN + "/24", "dev", "eth0p")
            self.foreign_up = True
        f = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(f.close)
        f.settimeout(5)
        f.bind((FOREIGN, 0))
        return f

    def assert_closed_unread(self, f):
        """The controller closes f without a byte."""
        try:
            got = f.recv(100)
        except ConnectionResetError:
            got = b""
        except socket.timeout:
            got = b"<still open after 5 s>"
        self.assertEqual(got, b"")

    def flash(self):
        """Every name under the configuration flash, with its content (None for a folder)."""
        top = self.ctl.path("mnt", "cfg")
        out = {}
        for d, dirs, files in os.walk(top):
            for n in dirs:
                out[os.path.relpath(os.path.join(d, n), top)] = None
            for n in files:
                with open(os.path.join(d, n), "rb") as f:
                    out[os.path.relpath(os.path.join(d, n), top)] = f.read()
        return out

    def listing(self, s, command):
        """A passive NLST or LIST: its data, and the two replies."""
        d = self.passive(s)
        first = self.cmd(s, command)
        return self.read_all(d), first, self.line(s)

    def test_ftp_refused_password_ends_the_login_and_no_name_leaves_the_card(self):
        self.up()
        os.makedirs(self.ctl.path("mnt", "cfg", "sub"))
        with open(self.ctl.path("mnt", "cfg", "secret.dta"), "wb") as f:
            f.write(b"flash only")
        with open(self.card("r.txt"), "wb") as f:
            f.write(b"r")

        # A refused password after a good login (read only) ends the login.
        s = self.ftp_connect()
        self.addCleanup(s.close)
        self.assertEqual(self.line(s), b"220 Connection Ready \r\n")
        for line, answer in [("USER bob", b"331 Enter password \r\n"), ("PASS any", b"230 Logged in \r\n"),
                             ("USER nobody", b"331 Enter password \r\n"), ("PASS wrong", b"530 Login Fail \r\n"),
                             ("PWD", b"530 Not logged in \r\n"), ("PASV", b"530 Not logged in \r\n"),
                             ("MKD made", b"530 Not logged in \r\n"), ("DELE r.txt", b"530 Not logged in \r\n"),
                             ("USER alice", b"331 Enter password \r\n"), ("PASS pw2", b"530 Login Fail \r\n"),
                             ("STOR r.txt", b"530 Not logged in \r\n"), ("QUIT", b"221 Logging Off \r\n")]:
            self.assertEqual(self.cmd(s, line), answer, line)
        self.assert_card({"r.txt": b"r"})

        # Every drive but the card is refused, as the command's own failure.
        flash = self.flash()
        s = self.login()
        base = self.fd_count()
        rss = []
        refusals = [("RETR", "secret.dta", b"550 File Open Fail \r\n"),
                    ("STOR", "secret.dta", b"550 File Open Failed \r\n"),
                    ("STOR", "ladder.pgm", b"550 File Open Failed \r\n"),
                    ("APPE", "secret.dta", b"550 File Open Failed \r\n"),
                    ("DELE", "secret.dta", b"550 Delete Failed \r\n"),
                    ("RNFR", "secret.dta", b"550 Rename File not found \r\n"),
                    ("MKD", "new", b"550 Directory Create failed \r\n"),
                    ("RMD", "sub", b"550 Delete Directory Fail \r\n"),
                    ("CWD", "sub", b"550 Change Dir Fail \r\n"), ("CWD", "", b"550 Change Dir Fail \r\n"),
                    ("NLST", "sub", b"550 List bad Directory \r\n"), ("SIZE", "secret.dta", b"502 Not Implemented \r\n")]
        for round in range(2):
            for prefix in OFF_CARD:
                for command, name, answer in refusals:
                    line = "%s %s%s" % (command, prefix, name)
                    if command in ("RETR", "STOR", "APPE", "NLST"):
                        self.passive(s)
                    self.assertEqual(self.cmd(s, line), answer, line)
                self.assertEqual(self.cmd(s, "RNFR r.txt"), b"350 Rename File From \r\n")
                self.assertEqual(self.cmd(s, "RNTO %sr.txt" % prefix), b"550 Rename failed \r\n", prefix)
            # The client is still at the card's root, and lists the card.
            self.assertEqual(self.cmd(s, "PWD"), b'257 "/" is current Directory \r\n')
            for command in ("NLST", "LIST"):
                names, first, last = self.listing(s, command)
                self.assertEqual(sorted(n.split(b" ")[-1] for n in names.split(b"\r\n")),
                                 [b"", b".", b"..", b"r.txt"], command)
                self.assertEqual((first, last), (b"150 Sending List \r\n", b"226 List End \r\n"), command)
            rss.append(rss_kb(self.ctl.proc.pid))
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        # Nothing on the flash changed but the register image, which the
        # controller saves on its own every few seconds.
        now = self.flash()
        changed = sorted(n for n in set(now) | set(flash) if now.get(n, 0) != flash.get(n, 0))
        self.assertIn(changed, ([], ["autoreg.dta"]))
        self.assert_card({"r.txt": b"r"})
        self.assert_fds_back(base)
        self.assertLess(rss[1] - rss[0], 512, rss)

    def test_ftp_passive_port_takes_only_the_client_host(self):
        self.up()
        data = pattern(5000, 3)
        with open(self.card("r.bin"), "wb") as f:
            f.write(data)
        s = self.login()
        base = self.fd_count()
        rss = []
        for round in range(2):
            # A foreign host takes the announced port first and sends bytes:
            # it is closed unread, and the client's own connection gets the file.
            d = self.passive(s, foreign=True)
            self.assertEqual(self.cmd(s, "RETR r.bin"), b"150 File Opened \r\n")
            self.assertEqual(self.read_all(d), data)
            self.assertEqual(self.line(s), b"226 File Sent \r\n")
            # Before a STOR: nothing of the foreign host is stored.
            self.assertEqual(self.upload(s, "STOR up.bin", data[::-1], foreign=True), b"250 File Written \r\n")
            self.assert_card({"r.bin": data, "up.bin": data[::-1]})
            rss.append(rss_kb(self.ctl.proc.pid))
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        self.assert_fds_back(base)
        self.assertLess(rss[1] - rss[0], 512, rss)

    def test_ftp_serves_every_waiting_connection_and_every_command(self):
        self.up()
        with open(self.card("r.txt"), "wb") as f:
            f.write(b"r")
        self.assertEqual(self.cmd(self.login(), "QUIT"), b"221 Logging Off \r\n")
        base = self.fd_count()

        # Fifty clients that connect and close at once, without their banner.
        for i in range(50):
            k = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
            k.settimeout(5)
            try:
                k.connect((HOST, 21))
            except OSError as e:
                self.fail("connection %d not taken: %s" % (i, e))
            finally:
                k.close()
        # The new client is greeted once the server has taken those that wait
        # before it (with a busy machine, its SYN may find the port's queue
        # full and go again a second later).
        s, banner, _ = self.new_client(wait=6)
        self.assertEqual(banner, b"220 Connection Ready \r\n")

        # Commands that arrive in one packet are all answered, in order.
        s.sendall(b"USER alice\r\nPASS pw1\r\nPWD\r\nNOOP\r\nSIZE r.txt\r\n")
        self.assertEqual([self.line(s) for _ in range(5)],
                         [b"331 Enter password \r\n", b"230 Logged in \r\n", b'257 "/" is current Directory \r\n',
                          b"200 NOOP Success \r\n", b"502 Not Implemented \r\n"])
        s.sendall(b"RNFR r.txt\r\n" * 250 + b"NOOP\r\n")
        got = [self.line(s) for _ in range(251)]
        self.assertEqual(got.count(b"350 Rename File From \r\n"), 250, got[:3])
        self.assertEqual(got[-1], b"200 NOOP Success \r\n")
        # A command cut over two packets is answered once it is whole.
        s.sendall(b"NO")
        s.sendall(b"OP\r\n")
        self.assertEqual(self.line(s), b"200 NOOP Success \r\n")

        # Ten clients of one host hold every record: an eleventh of that host
        # is greeted in place of the one of them idle longest (the first of
        # the nine logged in after this one, which has sent a command since),
        # a client of a second host in place of the eleventh, which never
        # sent a command: the idlest of all. A second client of that host
        # then takes the place of the next of the nine (the one after the
        # client that has sent a command since).
        others = [self.login() for _ in range(9)]
        self.assertEqual(self.cmd(s, "NOOP"), b"200 NOOP Success \r\n")
        eleventh = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(eleventh.close)
        eleventh.settimeout(self.PROMPT)
        eleventh.connect((HOST, 21))
        self.assertEqual(self.line(eleventh), b"220 Connection Ready \r\n")
        self.assertEqual(others[0].recv(100), b"")
        t0 = time.monotonic()
        second = self.foreign()
        second.settimeout(self.PROMPT)
        second.connect((HOST, 21))
        self.assertEqual(self.line(second), b"220 Connection Ready \r\n")
        self.assertLess(time.monotonic() - t0, self.PROMPT)
        self.assertEqual(eleventh.recv(100), b"")
        self.assertEqual(self.cmd(others[1], "NOOP"), b"200 NOOP Success \r\n")
        t0 = time.monotonic()
        third = self.foreign()
        third.settimeout(self.PROMPT)
        third.connect((HOST, 21))
        self.assertEqual(self.line(third), b"220 Connection Ready \r\n")
        self.assertLess(time.monotonic() - t0, self.PROMPT)
        self.assertEqual(others[2].recv(100), b"")
        self.assertEqual(self.cmd(others[1], "NOOP"), b"200 NOOP Success \r\n")
        for o in others + [eleventh, second, third]:
            o.close()
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")

        self.assert_fds_back(base)

    def test_ftp_serves_other_hosts_while_one_floods_it(self):
        """The second address floods port 21: 64 connections back to back and
        held, then one every 10 ms, none sending a byte. A logged-in client
        of the peer's address meanwhile sends NOOP 10 times 0.1 s apart, 4
        times 0.5 s apart and twice 2 s apart and loses none; three new
        clients of its address get their banners within a second; the
        connections the server closed are the flood's own."""
        self.up()
        self.peer.run("ip", "addr", "add", FOREIGN + "/24", "dev", "eth0p")
        self.foreign_up = True
        base = self.fd_count()
        s = self.login()
        flood = Flood(self.peer, FOREIGN, HOST, 21)
        self.addCleanup(flood.close)
        flood.start()
        burst = flood.burst_done.wait(15)
        failed, s = poll_failures(lambda c: self.cmd(c, "NOOP") == b"200 NOOP Success \r\n", self.login, s)
        greeted, clients = [], []
        for _ in range(3):
            k, banner, took = self.new_client()
            clients.append(k)
            greeted.append((banner, took < self.PROMPT))
        flood.stop()
        seen = []
        settled = wait_for(lambda: seen.append(flood.held()) or seen[-1] == 10 - 4, 10)
        counts = "flood: %d opened, %d closed by the server, %s held" % (flood.opened, flood.closed, seen[-1:])
        self.assertEqual((burst, failed), (True, {0.1: 0, 0.5: 0, 2.0: 0}), counts)
        self.assertEqual(greeted, [(b"220 Connection Ready \r\n", True)] * 3, counts)
        self.assertTrue(settled, counts)
        self.assertEqual(flood.opened, flood.closed + 10 - 4, counts)
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        for k in clients:
            k.close()
        flood.close()
        self.assert_fds_back(base)

    def test_ftp_serves_a_client_while_ten_hosts_hold_every_connection(self):
        """Ten hosts of the peer's link each hold one connection to port 21
        and never send a whole command, connecting again when closed. A
        logged-in client of the peer's address sends NOOP thirty times 0.1 s
        apart and loses none: a client that never asked gives way first."""
        self.up()
        hosts = ["10.77.0.%d" % (10 + i) for i in range(10)]
        for a in hosts:
            self.peer.run("ip", "addr", "add", a + "/24", "dev", "eth0p")
        base = self.fd_count()
        many = ManyHosts(self.peer, hosts, HOST, 21, b"N")
        self.addCleanup(many.close)
        many.start()
        self.assertTrue(many.ready.wait(15))
        try:
            s = self.login()
        except (OSError, AssertionError):
            s = None
        failed, s = poll_failures(lambda c: self.cmd(c, "NOOP") == b"200 NOOP Success \r\n", self.login, s,
                                  periods=((0.1, 30),))
        many.stop()
        counts = "hosts: %d connections opened, %d closed by the server" % (many.opened, many.closed)
        self.assertEqual(failed, {0.1: 0}, counts)
        self.assertGreater(many.closed, 0, counts)
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        many.close()
        self.assert_fds_back(base)

    def test_register_server_serves_a_whole_request_behind_half_open_ones(self):
        self.up()
        self.wait_register_server()
        base = self.fd_count()
        held = []
        for _ in range(2):
            h = self.http_socket()
            h.sendall(b"GET /readreg.htm;reg-R1;fmt-INT HTTP/1.0\r\n")
            held.append(h)
        self.c.write_reg(32768 + 16 * 99, 16, 321)  # %R100
        t0 = time.monotonic()
        try:
            answer = self.get("/readreg.htm;reg-R100;fmt-INT")
        except OSError as e:
            answer = repr(e).encode()
        self.assertEqual(answer, self.page(b"<body>321</body>\r\n"))
        self.assertLess(time.monotonic() - t0, self.PROMPT)
        # The half-open requests are closed unanswered.
        for h in held:
            self.assertEqual(h.recv(100), b"")
        # A client whose header comes in two parts keeps its place while newer
        # idle connections take every record: the oldest idle ones give way.
        idle = [self.http_socket() for _ in range(8)]
        slow = self.http_socket()
        slow.sendall(b"GET /readreg.htm;reg-R100;fmt-INT HTTP/1.0\r\n")
        idle += [self.http_socket() for _ in range(3)]
        slow.sendall(b"\r\n")
        self.assertEqual(self.read_all(slow), self.page(b"<body>321</body>\r\n"))
        for h in idle:
            h.close()
        # Each of several connections that arrive together is served.
        results = [None] * 4

        def one(i):
            try:
                results[i] = self.get("/readreg.htm;reg-R100;fmt-INT")
            except OSError as e:
                results[i] = repr(e).encode()
        threads = [threading.Thread(target=one, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(15)
        self.assertEqual(results, [self.page(b"<body>321</body>\r\n")] * 4)
        self.assert_fds_back(base)

    def test_register_server_answers_a_folder_and_a_client_behind_two_hundred_idle_ones(self):
        self.up(http_account=False)
        self.wait_register_server()
        os.mkdir(self.card("sub"))
        missing = b"HTTP/1.0 404 \r\nContent-Length: %d\r\n\r\nNetX HTTP Server unable to find file: %s"
        self.assertEqual(self.get("/sub"), missing % (42, b"/sub"))
        self.assertEqual(self.get("/"), missing % (39, b"/"))
        self.assertEqual(self.http(b"HEAD /sub/ HTTP/1.0\r\n\r\n"), missing % (43, b"/sub/"))

        self.c.write_reg(32768 + 16 * 99, 16, 321)  # %R100
        base = self.fd_count()
        rss = []
        for round in range(2):
            # 200 connections from a second host, one every 2 ms, every other
            # one with half a request; then a normal request.
            crowd = []
            for i in range(200):
                h = self.foreign()
                try:
                    h.connect((HOST, 80))
                    if i % 2:
                        h.sendall(b"GET /readreg.htm;reg-R1;fmt-INT HTTP/1.0\r\n")
                except OSError as e:
                    self.fail("connection %d of the crowd: %r" % (i, e))
                h.setblocking(False)
                crowd.append(h)
                time.sleep(0.002)
            t0 = time.monotonic()
            try:
                answer = self.get("/readreg.htm;reg-R100;fmt-INT")
            except OSError as e:
                answer = repr(e).encode()
            took = time.monotonic() - t0
            self.assertEqual(answer, self.page(b"<body>321</body>\r\n"))
            self.assertLess(took, self.PROMPT)
            # The server held the newest of the crowd and let the others go unanswered.
            got = {}

            def let_go():
                for i, h in enumerate(crowd):
                    try:
                        d = h.recv(100)
                    except BlockingIOError:
                        continue
                    except ConnectionResetError:
                        d = b""
                    if i not in got or d:
                        got[i] = got.get(i, b"") + d
                return len(got) >= 200 - 8
            self.assertTrue(wait_for(let_go, 10), "%d let go" % len(got))
            self.assertEqual(set(got.values()), {b""})
            for h in crowd:
                h.close()
            self.assert_fds_back(base)
            rss.append(rss_kb(self.ctl.proc.pid))
        self.assertLess(rss[1] - rss[0], 512, rss)

    def test_upload_cut_by_a_kill_leaves_the_old_file(self):
        self.up(http_account=False)
        self.wait_register_server()
        old = pattern(200000, 7)
        new = pattern(200000, 13)
        with open(self.card("old.bin"), "wb") as f:
            f.write(old)

        # kill -9 in the middle of a STOR over the file.
        s = self.login()
        d = self.passive(s)
        self.assertEqual(self.cmd(s, "STOR old.bin"), b"150 File Open for Write \r\n")
        d.sendall(new[:100000])
        self.kill_in_upload(100000, {"old.bin": old})

        # kill -9 in the middle of a PUT over the file.
        self.wait_register_server()
        p = self.http_socket()
        p.sendall(b"PUT /old.bin HTTP/1.0\r\nContent-Length: 200000\r\n\r\n" + new[:100000])
        self.kill_in_upload(100000, {"old.bin": old})

        # A PUT that stops short is refused and leaves the old file.
        self.wait_register_server()
        base = self.fd_count()
        p = self.http_socket()
        p.sendall(b"PUT /old.bin HTTP/1.0\r\nContent-Length: 200000\r\n\r\n" + new[:5000])
        self.assertEqual(self.read_all(p), b"HTTP/1.0 500 \r\nContent-Length: 25\r\n\r\nNetX HTTP Receive Timeout")
        self.assert_card({"old.bin": old})
        # Whole uploads replace the file.
        self.assertEqual(self.http(b"PUT /old.bin HTTP/1.0\r\nContent-Length: 200000\r\n\r\n" + new),
                         b"HTTP/1.0 200 \r\n\r\n")
        self.assert_card({"old.bin": new})
        # A client that closes its side after the whole body is answered too.
        p = self.http_socket()
        p.sendall(b"PUT /old.bin HTTP/1.0\r\nContent-Length: 200000\r\n\r\n" + old)
        p.shutdown(socket.SHUT_WR)
        self.assertEqual(self.read_all(p), b"HTTP/1.0 200 \r\n\r\n")
        self.assert_card({"old.bin": old})
        s = self.login()
        self.assertEqual(self.upload(s, "STOR old.bin", new), b"250 File Written \r\n")
        self.assertEqual(self.upload(s, "APPE old.bin", b"tail"), b"250 File Written \r\n")
        self.assert_card({"old.bin": new + b"tail"})
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        self.assert_fds_back(base)

    def test_upload_to_a_full_card_keeps_the_old_file(self):
        # The card is a 1 MB file system in the controller's own mount namespace.
        self.up(http_account=False, argv_prefix=MOUNT_SMALL_CARD)
        self.assertEqual(os.statvfs(self.card()).f_blocks * os.statvfs(self.card()).f_frsize, 1 << 20)
        self.wait_register_server()
        old = pattern(300000, 7)
        with open(self.card("old.bin"), "wb") as f:
            f.write(old)
        free = os.statvfs(self.card()).f_bfree
        base = self.fd_count()

        # A 2 MB PUT: 500, the old file kept, no partial file, the space back.
        big = pattern(2 << 20, 13)
        p = self.http_socket()

        def send():
            try:
                p.sendall(b"PUT /old.bin HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(big) + big)
            except OSError:
                pass  # the server stops reading once it has answered
        t = threading.Thread(target=send)
        t.start()
        answer = b""
        try:
            while True:
                chunk = p.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except OSError:
            pass
        t.join(15)
        self.assertEqual(answer, WRITE_FAILED)
        self.assert_card({"old.bin": old})
        self.assert_free(free)

        # FTP: a STOR and an APPE that do not fit answer 550 and leave the card as it was.
        s = self.login()
        self.assertEqual(self.upload(s, "STOR new.bin", big), b"550 File Write Failed \r\n")
        self.assert_card({"old.bin": old})
        self.assertEqual(self.upload(s, "APPE old.bin", pattern(800000, 5)), b"550 File Write Failed \r\n")
        self.assert_card({"old.bin": old})
        self.assert_free(free)
        self.assertEqual(self.upload(s, "APPE old.bin", b"tail"), b"250 File Written \r\n")
        self.assert_card({"old.bin": old + b"tail"})
        self.assertEqual(self.cmd(s, "QUIT"), b"221 Logging Off \r\n")
        self.assert_fds_back(base)


if __name__ == "__main__":
    unittest.main()
