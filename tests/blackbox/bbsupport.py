"""Running the real controller for the black-box tests: a fresh temporary
root (PLC_ROOT) with only the PLC_* settings a test gives, console output
collected in a file of its own, the programming port on a pseudo-terminal
when asked for, waits on files and console text, and an end, by process id,
to every process started."""

import os
import pty
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.environ.get("PLC_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
# crc16: CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF), worked
# out in Python apart from the controller.
from plcclient import PlcClient, ProtocolError, crc16, set_raw  # noqa: E402,F401

CONTROLLER = os.environ.get("PLC_CONTROLLER", "build/controller")


REG_BYTES = 109176  # autoreg.dta: the whole register image


def word_of(image, n):
    return image[2 * n] | image[2 * n + 1] << 8


def wait_for(pred, timeout, step=0.05):
    """True once pred() holds, polled every step seconds for timeout seconds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


def link_up(c, within=10, errors=(ProtocolError,), message=None, alive=None):
    """Asks client c for the controller's id until it answers (at most within
    seconds, or while alive() holds); sets c.target to it and answers it.
    Gives up with AssertionError(message), or the last error when no message."""
    deadline = time.monotonic() + within
    while True:
        try:
            c.flush_input()
            c.target = c.get_local_id()
            return c.target
        except errors:
            if time.monotonic() > deadline or (alive is not None and not alive()):
                if message is not None:
                    raise AssertionError(message) from None
                raise
            time.sleep(0.1)


def recv_exact(s, n, timeout=5.0):
    """Exactly n bytes from socket s; EOFError when the peer closes first."""
    s.settimeout(timeout)
    out = b""
    while len(out) < n:
        chunk = s.recv(n - len(out))
        if not chunk:
            raise EOFError("closed after %r" % out)
        out += chunk
    return out


def holds_for(pred, seconds, step=0.05):
    """True when pred() holds at every sample for the whole window: the way to
    check that something does not happen."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if not pred():
            return False
        time.sleep(step)
    return pred()


def children(pid):
    """Process ids whose parent is pid."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                out.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return out


def pid_alive(pid):
    """Running: neither gone nor a zombie waiting to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state not in ("Z", "X")
    except OSError:
        return False


class Controller:
    """One executable (the controller unless told otherwise) on a root:
    started, restarted and stopped as a test needs."""

    def __init__(self, root=None, dirs=("dev", "mnt/cfg"), oem=None, prefix="plc-bb-"):
        """root: a folder of the test's own (kept at cleanup), or None for a
        fresh one; dirs: folders made in it before the first start; oem: the
        OEM byte stored in mnt/cfg/oeminfo, whose low seven bits seed the
        programming port's checksums."""
        self.own_root = root is None
        self.root = root or tempfile.mkdtemp(prefix=prefix)
        self.logs = tempfile.mkdtemp(prefix=prefix + "log-")
        for d in dirs:
            os.makedirs(self.path(d), exist_ok=True)
        self.seed = 0
        if oem is not None:
            os.makedirs(self.path("mnt", "cfg"), exist_ok=True)
            with open(self.path("mnt", "cfg", "oeminfo"), "wb") as f:
                f.write(bytes([oem]))
            self.seed = oem & 0x7F
        self.proc = None
        self.log = None
        self.log_path = None
        self.master = self.slave = None
        self.client = None
        self.runs = 0

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self, args=(), env=None, port=False, wait=True, cwd=None, argv_prefix=(), exe=None):
        """Starts exe (the controller) with args, the PLC_* settings of env
        and any other variables env sets, in cwd (the root), behind
        argv_prefix (a tracer). port: the programming port on a pseudo-
        terminal and self.client talking to it; wait: until the loop runs."""
        if port:
            self.master, self.slave = pty.openpty()
            set_raw(self.master)
            set_raw(self.slave)
            os.makedirs(self.path("dev"), exist_ok=True)
            link = self.path("dev", "ttySP0")
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.ttyname(self.slave), link)
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
        full_env["PLC_ROOT"] = self.root
        full_env["PLC_RESET"] = "exit"  # a reset ends the process instead of re-executing it
        full_env.update(env or {})
        self.runs += 1
        self.log_path = os.path.join(self.logs, "console.%d.log" % self.runs)
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(list(argv_prefix) + [exe or CONTROLLER] + list(args), env=full_env,
                                     cwd=cwd or self.root, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        if wait:
            self.wait_running()
        if port:
            self.client = PlcClient(self.master, seed=self.seed, timeout=3.0)
            link_up(self.client, alive=lambda: self.proc.poll() is None)
            self.client.flush_input()
        return self

    def wait_running(self, timeout=10):
        """Until the loop runs: the register file is written by the auto-save."""
        reg = self.path("mnt", "cfg", "autoreg.dta")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(reg) and os.path.getsize(reg) == REG_BYTES and "Reset" not in self.console():
                time.sleep(0.6)  # at least one auto-save of this run
                return
            if self.proc.poll() is not None:
                raise AssertionError("controller ended at start: %s" % self.console())
            time.sleep(0.05)
        raise AssertionError("controller did not start: %s" % self.console())

    def console(self):
        """Everything the last run wrote to its output so far."""
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    def output(self):
        """The console output as lines."""
        return self.console().splitlines()

    def _wait_output(self, seen, timeout):
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if seen():
                return time.monotonic() - start
            if self.proc.poll() is not None:
                return time.monotonic() - start if seen() else None
            time.sleep(0.02)
        return None

    def wait_console(self, text, timeout):
        """True once the console output holds text."""
        return self._wait_output(lambda: text in self.console(), timeout) is not None

    def wait_line(self, text, timeout):
        """Seconds until a console line equal to text appeared, or None."""
        return self._wait_output(lambda: text in self.output(), timeout)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def press_run(self, held):
        """The simulated RUN button held down (its file written whole) or let go."""
        path = self.path("sim", "buttons")
        if not held:
            if os.path.exists(path):
                os.unlink(path)
            return
        with open(path + ".new", "w") as f:
            f.write("RUN\n")
        os.rename(path + ".new", path)

    def children(self):
        """Process ids whose parent is the running process."""
        return children(self.proc.pid)

    def thread_names(self):
        names = []
        task = "/proc/%d/task" % self.proc.pid
        for t in os.listdir(task):
            try:
                with open(os.path.join(task, t, "comm")) as f:
                    names.append(f.read().strip())
            except OSError:
                pass
        return names

    def registers(self):
        with open(self.path("mnt", "cfg", "autoreg.dta"), "rb") as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM, pid=None, timeout=15):
        """Sends sig to the process by its id (or to pid, one it started),
        kills it if it has not ended within timeout seconds, and closes the
        port. Answers the exit status."""
        rc = None
        if self.proc is not None:
            if self.proc.poll() is None:
                os.kill(pid or self.proc.pid, sig)
            try:
                rc = self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                rc = self.proc.wait()
            self.proc = None
            self.log.close()
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None
        self.client = None
        return rc

    def cleanup(self):
        self.stop(signal.SIGKILL)
        shutil.rmtree(self.logs, ignore_errors=True)
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)


# ---- network peers ---------------------------------------------------------------------
CLONE_NEWNET = 0x40000000


class NetPeer:
    """eth0 of the test's namespace as one end of a veth pair whose other end
    (eth0p, with address peer/prefix) lives in a second namespace held by a
    sleeping process of ours. Sockets made through socket() live in that
    second namespace; run() runs a command there."""

    def __init__(self, peer="10.77.0.1", prefix=24):
        import ctypes
        self.libc = ctypes.CDLL(None, use_errno=True)
        subprocess.run(["ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth0p"], check=True)
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "3600"])
        ns = "/proc/%d/ns/net" % self.holder.pid
        own = os.readlink("/proc/self/ns/net")
        if not wait_for(lambda: os.path.exists(ns) and os.readlink(ns) != own, 5):
            raise AssertionError("peer namespace not made")
        subprocess.run(["ip", "link", "set", "eth0p", "netns", str(self.holder.pid)], check=True)
        self.run("ip", "link", "set", "lo", "up")
        self.run("ip", "addr", "add", "%s/%d" % (peer, prefix), "dev", "eth0p")
        self.run("ip", "link", "set", "eth0p", "up")
        self.peer = peer

    def run(self, *cmd, check=True):
        return subprocess.run(["nsenter", "-t", str(self.holder.pid), "-n"] + list(cmd), check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def socket(self, *args):
        """A socket made inside the peer's namespace."""
        import socket as so
        own = os.open("/proc/self/ns/net", os.O_RDONLY)
        peer = os.open("/proc/%d/ns/net" % self.holder.pid, os.O_RDONLY)
        try:
            if self.libc.setns(peer, CLONE_NEWNET) != 0:
                raise OSError("setns into the peer namespace failed")
            try:
                return so.socket(*args)
            finally:
                self.libc.setns(own, CLONE_NEWNET)
        finally:
            os.close(own)
            os.close(peer)

    def connect(self, host, port, timeout=3.0, nodelay=False, within=10):
        """A TCP connection from the peer's side, tried again every 0.2 s
        until it is accepted or `within` seconds have passed."""
        import socket as so
        deadline = time.monotonic() + within
        while True:
            s = self.socket(so.AF_INET, so.SOCK_STREAM)
            s.settimeout(timeout)
            try:
                s.connect((host, port))
                if nodelay:
                    s.setsockopt(so.IPPROTO_TCP, so.TCP_NODELAY, 1)
                return s
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def tcp_client(self, host, port=18501, timeout=3.0, **kw):
        """A programming client over TCP from the peer's side."""
        import socket as so
        s = self.socket(so.AF_INET, so.SOCK_STREAM)
        s.settimeout(timeout)
        s.connect((host, port))
        s.setsockopt(so.IPPROTO_TCP, so.TCP_NODELAY, 1)
        from plcclient import TcpPlcClient
        return TcpPlcClient(s, timeout=timeout, **kw)

    def link(self, up):
        self.run("ip", "link", "set", "eth0p", "up" if up else "down")

    def close(self):
        if self.holder.poll() is None:
            self.holder.kill()
        self.holder.wait()
        subprocess.run(["ip", "link", "del", "eth0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class TcpPeer:
    """A TCP server at addr:port inside a peer namespace, on its own thread
    once serve() is called: one connection at a time, the bytes received
    handed to take(conn, buf), which answers what is complete and returns the
    rest; counts connections and closes by the other side."""

    def __init__(self, peer, addr, port):
        self.srv = peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind((addr, port))
        self.srv.listen(4)
        self.srv.settimeout(0.2)
        self.connections = self.closed = 0
        self.stop = False
        self.t = None

    def serve(self):
        self.t = threading.Thread(target=self.run, daemon=True)
        self.t.start()

    def take(self, conn, buf):
        return b""

    def wrap(self, conn):
        """The connection to serve (a TLS peer wraps it); None drops it."""
        return conn

    def run(self):
        while not self.stop:
            try:
                c, _ = self.srv.accept()
            except socket.timeout:
                continue
            self.connections += 1
            c = self.wrap(c)
            if c is None:
                continue
            c.settimeout(0.2)
            buf = b""
            while not self.stop:
                try:
                    chunk = c.recv(4096)
                except socket.timeout:
                    continue
                except OSError:  # reset with an answer unread, or a TLS failure
                    chunk = b""
                if not chunk:
                    self.closed += 1
                    break
                buf = self.take(c, buf + chunk)
            c.close()

    def close(self):
        self.stop = True
        if self.t is not None:
            self.t.join(5)
        self.srv.close()


# TCP states as TCP_INFO gives them.
TCP_ESTABLISHED, TCP_SYN_SENT = 1, 2


def tcp_state(s):
    """The kernel's TCP state of socket s (TCP_INFO's first byte)."""
    return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]


class Flood(threading.Thread):
    """A host that floods a TCP server with connections that never send a
    byte, from address src of a peer namespace: a burst of `burst` opened
    back to back and held, then one more every `period` seconds until
    stop() (at most `limit` seconds). A connection the server closes is
    closed here and counted in `closed`; `opened` counts them all."""

    def __init__(self, peer, src, host, port, burst=64, period=0.01, limit=30):
        super().__init__(daemon=True)
        self.peer, self.src, self.dst = peer, src, (host, port)
        self.burst, self.period, self.limit = burst, period, limit
        self.socks = []  # in the order they were opened
        self.opened = self.closed = 0
        self.halt = threading.Event()
        self.burst_done = threading.Event()
        self.lock = threading.Lock()

    def _open(self, blocking):
        s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((self.src, 0))
        if blocking:
            s.settimeout(3)
            try:
                s.connect(self.dst)
            except OSError:
                s.close()
                return
            s.setblocking(False)
        else:
            s.setblocking(False)
            s.connect_ex(self.dst)
        with self.lock:
            self.socks.append(s)
            self.opened += 1

    def _prune(self):
        with self.lock:
            keep = []
            for s in self.socks:
                if tcp_state(s) in (TCP_ESTABLISHED, TCP_SYN_SENT):
                    keep.append(s)
                else:
                    s.close()
                    self.closed += 1
            self.socks = keep

    def run(self):
        end = time.monotonic() + self.limit
        for _ in range(self.burst):
            self._open(blocking=True)
        self.burst_done.set()
        due = time.monotonic()
        while not self.halt.is_set() and time.monotonic() < end:
            self._open(blocking=False)
            self._prune()
            due += self.period
            self.halt.wait(max(0.0, due - time.monotonic()))

    def stop(self):
        self.halt.set()
        self.join(10)

    def held(self):
        """After stop(): the connections the server still holds, once none
        is connecting (the closed ones are counted and closed)."""
        self._prune()
        with self.lock:
            if any(tcp_state(s) == TCP_SYN_SENT for s in self.socks):
                return None
            return len(self.socks)

    def close(self):
        self.stop()
        with self.lock:
            for s in self.socks:
                s.close()
            self.socks = []


class ManyHosts(threading.Thread):
    """Hosts that each hold one connection to a TCP server, from addresses
    srcs of a peer namespace, and never send a whole request (only `first`,
    the first byte of one): a connection the server closes is closed here,
    counted in `closed`, and its host connects again at once. Until stop()
    (at most `limit` seconds); `ready` is set once every host has connected
    once."""

    def __init__(self, peer, srcs, host, port, first=b"\x00", limit=30):
        super().__init__(daemon=True)
        self.peer, self.srcs, self.dst, self.first, self.limit = peer, list(srcs), (host, port), first, limit
        self.socks = {}
        self.opened = self.closed = 0
        self.halt = threading.Event()
        self.ready = threading.Event()
        self.lock = threading.Lock()

    def _open(self, src):
        s = self.peer.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((src, 0))
        s.settimeout(3)
        try:
            s.connect(self.dst)
            s.sendall(self.first)
        except OSError:
            s.close()
            return None
        s.setblocking(False)
        self.opened += 1
        return s

    def run(self):
        end = time.monotonic() + self.limit
        for src in self.srcs:
            s = self._open(src)
            with self.lock:
                self.socks[src] = s
        self.ready.set()
        while not self.halt.is_set() and time.monotonic() < end:
            for src in self.srcs:
                with self.lock:
                    s = self.socks[src]
                if s is not None and tcp_state(s) in (TCP_ESTABLISHED, TCP_SYN_SENT):
                    continue
                if s is not None:
                    s.close()
                    self.closed += 1
                s = self._open(src)
                with self.lock:
                    self.socks[src] = s
            self.halt.wait(0.01)

    def stop(self):
        self.halt.set()
        self.join(10)

    def close(self):
        self.stop()
        with self.lock:
            for s in self.socks.values():
                if s is not None:
                    s.close()
            self.socks = {}


def poll_failures(ask, connect, conn=None, periods=((0.1, 10), (0.5, 4), (2.0, 2))):
    """A client that polls: for each (period, count), count requests one
    period apart through ask(conn), which answers True when the answer is
    the one expected, on conn. A request that fails (False, an error or a
    close) is counted, and the client connects again at once, as a master
    does. Answers {period: failed requests} and the connection (None when
    the last connect failed)."""
    failed = {}
    for period, count in periods:
        failed[period] = 0
        for _ in range(count):
            time.sleep(period)
            try:
                ok = conn is not None and ask(conn)
            except (OSError, EOFError, AssertionError, ProtocolError):
                ok = False
            if ok:
                continue
            failed[period] += 1
            try:
                if conn is not None:
                    conn.close()
            except OSError:
                pass
            try:
                conn = connect()
            except (OSError, EOFError, AssertionError, ProtocolError):
                conn = None
    return failed, conn


def ip_addr(dev="eth0"):
    """The IPv4 addresses of dev in this namespace, as "a.b.c.d/n" texts."""
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", dev], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout
    return [w.split()[3] for w in out.splitlines() if len(w.split()) > 3]


def default_route():
    out = subprocess.run(["ip", "-4", "route", "show", "default"], stdout=subprocess.PIPE, text=True).stdout
    return out.strip()


def fd_count(pid):
    """Descriptors process pid holds open."""
    return len(os.listdir("/proc/%d/fd" % pid))


def task_count(pid):
    """Threads of process pid."""
    return len(os.listdir("/proc/%d/task" % pid))


def rss_kb(pid):
    """Resident memory of process pid in KiB."""
    with open("/proc/%d/status" % pid) as f:
        return int([ln for ln in f if ln.startswith("VmRSS:")][0].split()[1])
