"""Start and stop the controller for the benchmark scripts: the programming
port is a pseudo-terminal linked as dev/ttySP0 under the given root, and a
PlcClient on it is ready once the controller answers get_local_id."""

import os
import pty
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from plcclient import PlcClient, ProtocolError, set_raw  # noqa: E402,F401

CONTROLLER = os.environ.get("PLC_CONTROLLER", os.path.join(HERE, "..", "build", "controller"))


def start(root):
    """Starts the controller on root; answers (process, client, handles to give to stop)."""
    master, slave = pty.openpty()
    set_raw(master)
    set_raw(slave)
    link = os.path.join(root, "dev", "ttySP0")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    env = dict(os.environ, PLC_ROOT=root, PLC_RESET="exit")
    log = open(os.path.join(root, "controller.log"), "a")
    proc = subprocess.Popen([CONTROLLER], env=env, stdout=log, stderr=subprocess.STDOUT)
    c = PlcClient(master, timeout=5.0)
    deadline = time.monotonic() + 10
    while True:
        try:
            c.flush_input()
            c.target = c.get_local_id()
            return proc, c, (master, slave, log)
        except ProtocolError:
            if time.monotonic() > deadline:
                stop(proc, (master, slave, log))
                raise
            time.sleep(0.1)


def stop(proc, fds):
    """Ends the controller (by its process id) and closes its port and log."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    os.close(fds[0])
    os.close(fds[1])
    fds[2].close()
