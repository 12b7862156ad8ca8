"""The README's lines as a newcomer types them: `./tools/setup.sh run` makes
the programming port's pseudo-terminal itself and prints the device, and the
client lines of the README (with the data folder of this test) all work;
the LED examples of the README are what a fresh root shows."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import SOURCE, wait_for  # noqa: E402

SETUP = os.path.join(SOURCE, "tools", "setup.sh")


def readme_section(title):
    """The lines of the README section with this heading, up to the next
    heading of the same or a higher level."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        lines = f.read().splitlines()
    start = next(i for i, ln in enumerate(lines) if re.match(r"^#+ " + re.escape(title) + "$", ln))
    level = len(lines[start].split(" ")[0])
    end = next((i for i in range(start + 1, len(lines))
                if re.match(r"^#{1,%d} " % level, lines[i])), len(lines))
    return lines[start + 1:end]


def readme_code(title):
    """The indented command lines of a README section, as written."""
    return [ln[4:] for ln in readme_section(title) if ln.startswith("    ") and ln.strip()]


def readme_client_lines():
    return [ln.strip() for ln in readme_code("Driving a running controller from the command line")
            if ln.startswith("tools/plcclient.py ")]


class ReadmeLines(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="plc-readme-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.root = os.path.join(self.work, "root")
        os.makedirs(self.root)
        # The README's relative names, from a folder of the test's own.
        for name in ("tools", "examples"):
            os.symlink(os.path.join(SOURCE, name), os.path.join(self.work, name))
        os.symlink(self.root, os.path.join(self.work, "data"))
        self.log = open(os.path.join(self.work, "console"), "w+")
        self.addCleanup(self.log.close)
        env = {k: v for k, v in os.environ.items() if not k.startswith("PLC_")}
        env.update(PLC_ROOT=self.root, PLC_RESET="exit")
        self.proc = subprocess.Popen([SETUP, "run"], env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(self.end)

    def end(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)  # the session this test made, by its id
            self.proc.wait()

    def console(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()

    def leds(self):
        with open(os.path.join(self.root, "sim", "leds")) as f:
            return f.read()

    def test_setup_run_prints_the_port_and_the_client_lines_work(self):
        # The run command builds what it runs first; one that ends without
        # starting the controller fails the test at once with its console.
        self.assertTrue(wait_for(lambda: "Programming port: " in self.console() or self.proc.poll() is not None,
                                 300), self.console())
        m = re.search(r"Programming port: tools/plcclient\.py -d (\S+) get-mode", self.console())
        self.assertTrue(m, self.console())
        self.assertEqual(os.path.realpath(m.group(1)), os.path.realpath(os.path.join(self.root, "sim", "port")))
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.root, "sim", "leds")), 10))
        time.sleep(0.5)
        self.assertEqual(self.leds(), "OK 0 0\nRUN 0 0\n")

        with open(os.path.join(SOURCE, "examples", "first_program.bin"), "rb") as f:
            program = f.read()
        lines = readme_client_lines()
        self.assertEqual(len(lines), 11)
        outputs = {}
        started = {}
        for line in lines:
            started[line.split(" #")[0].strip()] = time.monotonic()
            r = subprocess.run(["/bin/sh", "-c", line], cwd=self.work, capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, "%s: %s%s" % (line, r.stdout, r.stderr))
            outputs[line.split(" #")[0].strip()] = r.stdout
            if "set-mode 2" in line:
                self.assertTrue(wait_for(lambda: self.leds().endswith(" 2\n"), 5), self.leds())
                self.assertRegex(self.leds(), r"^OK 0 0\nRUN [01] 2\n$")
        with open(os.path.join(self.work, "back.bin"), "rb") as f:
            self.assertEqual(f.read(), program)
        # %R1 holds 1234, and the first program counts on from there once a
        # second: at most one count more than the whole seconds since the
        # write began (however busy the machine is).
        write = "tools/plcclient.py -d data/sim/port write-reg 32768 16 1234"
        self.assertEqual(outputs[write], "")
        read = subprocess.run(["/bin/sh", "-c", "tools/plcclient.py -d data/sim/port read-reg 32768"],
                              cwd=self.work, capture_output=True, text=True, timeout=60).stdout
        seconds = int(time.monotonic() - started[write])
        self.assertTrue(1234 <= int(read) <= 1234 + seconds + 1, (read, seconds))

        # Ctrl-C on a terminal reaches its whole foreground group (the set-up
        # script, socat and the controller): it ends with the controller's status.
        os.killpg(self.proc.pid, signal.SIGINT)
        self.assertEqual(self.proc.wait(timeout=20), 0, self.console())
        self.assertIn("Controller stopped", self.console())
        self.assertTrue(wait_for(lambda: not os.path.exists(os.path.join(self.root, "sim", "port")), 5))


if __name__ == "__main__":
    unittest.main()
