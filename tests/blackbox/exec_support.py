"""Starting and watching the real controller for the executive's black-box
tests: a fresh root, console output in a file, the programming port on a
pseudo-terminal when asked for."""

import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.environ.get("PLC_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from plcclient import PlcClient, ProtocolError, set_raw  # noqa: E402

CONTROLLER = os.environ.get("PLC_CONTROLLER", "build/controller")
REG_BYTES = 109176


def word_of(image, n):
    return image[2 * n] | image[2 * n + 1] << 8


class Controller:
    def __init__(self, root=None):
        self.own_root = root is None
        self.root = root or tempfile.mkdtemp(prefix="plc-exec-")
        for d in ("dev", "mnt/cfg", "sim"):
            os.makedirs(self.path(d), exist_ok=True)
        self.proc = None
        self.master = self.slave = None
        self.client = None
        self.runs = 0

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self, args=(), env=None, port=False, wait=True):
        if port:
            self.master, self.slave = pty.openpty()
            set_raw(self.master)
            set_raw(self.slave)
            link = self.path("dev", "ttySP0")
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.ttyname(self.slave), link)
        full_env = dict(os.environ, PLC_ROOT=self.root, PLC_RESET="exit")
        full_env.update(env or {})
        self.runs += 1
        self.log_path = self.path("console.%d.log" % self.runs)
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([CONTROLLER] + list(args), env=full_env,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        if wait:
            self.wait_running()
        if port:
            self.client = PlcClient(self.master, timeout=3.0)
            deadline = time.monotonic() + 10
            while True:
                try:
                    self.client.flush_input()
                    self.client.target = self.client.get_local_id()
                    break
                except ProtocolError:
                    if time.monotonic() > deadline or self.proc.poll() is not None:
                        raise
                    time.sleep(0.1)
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
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_console(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.console():
                return True
            if self.proc.poll() is not None:
                return text in self.console()
            time.sleep(0.02)
        return False

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def children(self):
        """Process ids whose parent is the controller."""
        out = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == self.proc.pid:
                    out.append(int(pid))
            except (OSError, IndexError, ValueError):
                pass
        return out

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

    def stop(self, sig=signal.SIGTERM):
        rc = None
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            try:
                rc = self.proc.wait(timeout=10)
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
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state != "Z"
    except OSError:
        return False
