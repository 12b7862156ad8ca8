"""The running controller from outside: start-up order, command line,
watchdog, modes across restarts, auto-save, the service script and the cause
line of a fatal signal."""

import os
import signal
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, pid_alive, wait_for, word_of  # noqa: E402

W_MODE = 132
R1_BYTE = (32768 - 1024) // 8


class ExecCase(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller()
        self.addCleanup(self.ctl.cleanup)

    def assert_hardware_check_first(self, lines):
        """The start-up's shell lines come first: inetd stopped before
        anything else, then the kernel settings at their values, then the
        kernel text for the revision."""
        self.assertEqual(lines[0:1], ["killall -9 inetd"])
        uname = lines.index("uname -a > /dev/shm/rev.txt")
        settings = {}
        for line in lines[1:uname]:
            words = line.split()
            self.assertEqual((len(words), words[0], words[2]), (4, "echo", ">"), line)
            settings[words[3]] = words[1]
        self.assertEqual(settings, {
            "/proc/sys/vm/dirty_writeback_centisecs": "10",
            "/proc/sys/vm/dirty_expire_centisecs": "20",
            "/proc/sys/net/ipv4/conf/eth0/arp_filter": "0",
            "/proc/sys/net/ipv4/conf/eth1/arp_filter": "0",
            "/proc/sys/net/ipv4/conf/all/arp_ignore": "1",
            "/proc/sys/net/ipv4/conf/all/proxy_arp": "1",
            "/proc/sys/net/ipv4/tcp_retries2": "5",
        })

    def commands(self):
        try:
            with open(self.ctl.path("sim", "commands.log")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def hang_loop(self):
        """Makes the main loop block: the button file becomes a FIFO without
        a writer, and the service tick's next read of it waits."""
        buttons = self.ctl.path("sim", "buttons")
        if os.path.exists(buttons):
            os.unlink(buttons)
        os.mkfifo(buttons)
        return buttons


class StartUp(ExecCase):
    def test_normal_start_order_and_clean_stop(self):
        self.ctl.start()
        lines = self.commands()
        self.assert_hardware_check_first(lines)
        self.assertIn("echo 0 > /proc/sys/kernel/printk", lines)
        self.assertGreater(lines.index("echo 0 > /proc/sys/kernel/printk"), lines.index("uname -a > /dev/shm/rev.txt"))
        with open(self.ctl.path("dev", "shm", "rev.txt")) as f:
            self.assertIn("3544", f.read())
        self.assertIn("WatchdogScan", self.ctl.thread_names())
        regs = self.ctl.registers()
        self.assertEqual(word_of(regs, 164), 570, "firmware number")
        self.assertEqual(regs[108560:108569], b"2.6.35.44")
        self.assertEqual(self.ctl.stop(), 0)
        self.assertIn("Controller stopped", self.ctl.console())

    def test_low_kernel_revision_has_no_watchdog_thread(self):
        self.ctl.start(env={"PLC_UNAME": "Linux plc 2.6.35.3-3543 #1 PREEMPT armv5tejl GNU/Linux"})
        self.assertNotIn("WatchdogScan", self.ctl.thread_names())
        self.assertEqual(self.ctl.stop(), 0)

    def test_mac_ids_from_the_identity_file(self):
        image = bytes(range(76))
        with open(self.ctl.path("mnt", "cfg", "TINYIMGE.BIN"), "wb") as f:
            f.write(image)
        self.ctl.start()
        regs = self.ctl.registers()
        # The last four bytes of the first MAC ID, reversed, in bytes 324..327.
        self.assertEqual(regs[324:328], bytes([13, 12, 11, 10]))
        self.ctl.stop()

    def test_one_argument_installs_before_loading_anything(self):
        self.ctl.start(args=["install"], wait=False)
        # No card: the installation says so and keeps signalling on the LEDs.
        self.assertTrue(self.ctl.wait_console("Missing MICRO-SD or USB Insert and Try Again", 10), self.ctl.console())
        time.sleep(1.0)
        self.assertIsNone(self.ctl.proc.poll(), "the installation does not come back")
        cfg = os.listdir(self.ctl.path("mnt", "cfg"))
        for name in ("ladder.pgm", "config.pgm", "autoreg.dta"):
            self.assertNotIn(name, cfg, "nothing stored is loaded or created before the installation")
        lines = self.commands()
        self.assert_hardware_check_first(lines)
        self.assertNotIn("echo 0 > /proc/sys/kernel/printk", lines)
        self.assertEqual(self.ctl.stop(), 0)


class Watchdog(ExecCase):
    def test_hung_loop_is_reset_by_the_watchdog(self):
        self.ctl.start()
        reg = self.ctl.path("mnt", "cfg", "autoreg.dta")
        fifo = self.hang_loop()
        t0 = time.monotonic()
        time.sleep(1.0)
        before = os.stat(reg).st_mtime_ns  # no auto-save runs from here on
        rc = self.ctl.wait_exit(15)
        took = time.monotonic() - t0
        self.assertEqual(rc, 3, "reset (PLC_RESET=exit): %s" % self.ctl.console())
        self.assertIn("Watchdog expired", self.ctl.console())
        self.assertGreater(took, 3.5)
        self.assertLess(took, 8.0)
        # The watchdog thread saved the image while the loop was hung.
        self.assertGreater(os.stat(reg).st_mtime_ns, before)
        os.unlink(fifo)

    def test_two_arguments_never_open_the_watchdog(self):
        self.ctl.start(args=["a", "b"])
        self.assertNotIn("echo 0 > /proc/sys/kernel/printk", self.commands())
        fifo = self.hang_loop()
        time.sleep(8)
        self.assertIsNone(self.ctl.proc.poll(), "no watchdog: the hung loop is not reset")
        self.assertNotIn("Watchdog expired", self.ctl.console())
        # Let the loop go on, then end it.
        fd = os.open(fifo, os.O_WRONLY)
        os.unlink(fifo)
        os.close(fd)
        self.assertEqual(self.ctl.stop(), 0)


class Modes(ExecCase):
    def hold_run(self):
        with open(self.ctl.path("sim", "buttons"), "w") as f:
            f.write("RUN\n")
        ok = self.ctl.wait_console("Changed the Controller Mode", 8)
        os.unlink(self.ctl.path("sim", "buttons"))
        self.assertTrue(ok, self.ctl.console())

    def run_led(self):
        try:
            with open(self.ctl.path("sim", "leds")) as f:
                for line in f:
                    if line.startswith("RUN"):
                        return int(line.split()[2])
        except FileNotFoundError:  # not written yet
            pass
        return None

    def test_mode_survives_restart(self):
        self.ctl.start()
        self.assertEqual(word_of(self.ctl.registers(), W_MODE), 0)
        self.hold_run()
        self.assertTrue(wait_for(lambda: word_of(self.ctl.registers(), W_MODE) == 2, 5), "saved with the new mode")
        self.assertTrue(wait_for(lambda: self.run_led() not in (0, None), 5), self.run_led())  # a later pass lights it
        self.ctl.stop(signal.SIGKILL)
        self.ctl.start()
        self.assertEqual(word_of(self.ctl.registers(), W_MODE), 2)
        self.assertTrue(wait_for(lambda: self.run_led() not in (0, None), 5), "running again after the restart")
        # RUN again stops; that too survives.
        self.hold_run()
        self.assertTrue(wait_for(lambda: word_of(self.ctl.registers(), W_MODE) == 0, 5), "saved stopped")
        self.ctl.stop()
        self.ctl.start()
        self.assertEqual(word_of(self.ctl.registers(), W_MODE), 0)
        self.assertTrue(wait_for(lambda: self.run_led() == 0, 5), self.run_led())
        self.ctl.stop()


class AutoSave(ExecCase):
    def test_written_register_saved_within_a_second_and_kept_after_kill(self):
        c = self.ctl.start(port=True).client
        c.write_reg(32768, 16, 0x4B1D)
        # Saved within a second: allowed three.
        self.assertTrue(wait_for(lambda: self.ctl.registers()[R1_BYTE:R1_BYTE + 2] == b"\x1d\x4b", 3),
                        "in autoreg.dta within a second")
        self.ctl.stop(signal.SIGKILL)
        c = self.ctl.start(port=True).client
        self.assertEqual(c.read_word((32768 - 1024) // 16), 0x4B1D)
        self.ctl.stop()

    def test_no_auto_save_during_a_download(self):
        c = self.ctl.start(port=True).client
        reg = self.ctl.path("mnt", "cfg", "autoreg.dta")
        c.expect_byte(c.transact(0x04, bytes([c.target, 0])), what="download")
        start = os.stat(reg).st_mtime_ns
        t0 = time.monotonic()
        while time.monotonic() - t0 < 2.5:
            c.expect_byte(c.transact(0xFF, bytes(64)), what="data frame")
            time.sleep(0.2)
        self.assertEqual(os.stat(reg).st_mtime_ns, start, "no auto-save while downloading")
        c.expect_byte(c.transact(0xFF, b""), what="end of file")
        self.assertTrue(wait_for(lambda: os.stat(reg).st_mtime_ns > start, 5), "auto-save resumes")
        self.ctl.stop()


class ServiceScript(ExecCase):
    def write_script(self, body):
        d = self.ctl.path("opt", "valmar")
        os.makedirs(d, exist_ok=True)
        p = os.path.join(d, "MasterScript.sh")
        with open(p, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(p, 0o755)
        return d

    def test_controller_survives_its_script_exiting(self):
        d = self.write_script('echo started > "$(dirname "$0")/ran"\nexit 0\n')
        c = self.ctl.start(port=True).client
        self.assertIn("killall MasterScript.sh", self.commands())
        time.sleep(1.0)
        self.assertTrue(os.path.exists(os.path.join(d, "ran")))
        time.sleep(1.5)
        self.assertIsNone(self.ctl.proc.poll())
        # The loop goes on: a register written now is read back.
        c.write_reg(32768, 16, 0x1234)
        self.assertEqual(c.read_word((32768 - 1024) // 16), 0x1234, "the loop goes on")
        self.assertEqual(self.ctl.stop(), 0)

    def test_script_reads_the_pipe_and_never_outlives_the_controller(self):
        d = self.write_script('echo $$ > "$(dirname "$0")/pid"\nexec cat > "$(dirname "$0")/stdin"\n')
        for how in (signal.SIGTERM, signal.SIGKILL):
            self.ctl.start()
            deadline = time.monotonic() + 5
            while not os.path.exists(os.path.join(d, "pid")) and time.monotonic() < deadline:
                time.sleep(0.05)
            with open(os.path.join(d, "pid")) as f:
                pid = int(f.read())
            self.assertTrue(pid_alive(pid))
            self.assertIn(pid, self.ctl.children())
            self.ctl.stop(how)
            deadline = time.monotonic() + 3
            while pid_alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertFalse(pid_alive(pid), "script left behind after %s" % how.name)
            os.unlink(os.path.join(d, "pid"))


class FatalSignal(ExecCase):
    def test_fpe_cause_line_then_countdown(self):
        self.ctl.start()
        os.kill(self.ctl.proc.pid, signal.SIGFPE)
        self.assertTrue(self.ctl.wait_console("Reset in:58", 4), self.ctl.console())
        out = self.ctl.console()
        self.assertIn("System Exception Occurred\nErroneous Arithmetic Operation performed\n", out)
        self.assertNotIn("Reset in:59", out)
        self.ctl.stop(signal.SIGKILL)

    def test_watchdog_is_closed_during_the_countdown(self):
        # The countdown takes longer than the 5 s time-out: the watchdog must
        # have been closed, or it would reset first.
        self.ctl.start()
        os.kill(self.ctl.proc.pid, signal.SIGILL)
        self.assertTrue(self.ctl.wait_console("Reset in:51", 12), self.ctl.console())
        self.assertNotIn("Watchdog expired", self.ctl.console())
        self.assertIn("Illegal Code execution", self.ctl.console())
        self.ctl.stop(signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
