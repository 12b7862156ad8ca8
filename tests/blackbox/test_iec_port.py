"""The port blocks of an IEC application on the programming port (a
pseudo-terminal): the application, downloaded with the command protocol,
opens port 0 for its own use, sends "HELLO", receives four bytes the peer
writes, echoes three of them, closes on a trigger byte and gives the port
back to the command protocol, which answers again. A second application
dials a numeric Hayes modem (the simulator on the port) with
MODEMAUTODIAL."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from modemsim import ModemSim  # noqa: E402
from test_iec_runtime import written  # noqa: E402

Q1 = 10240  # bit address of %Q1 (%Q1 close done, %Q2 open done)
AQ1 = 24576


class IecPortBlocks(unittest.TestCase):
    def test_open_send_receive_close_on_the_programming_port(self):
        ctl = Controller(prefix="plc-bb-iecport-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, written("port-program"))
        c.set_mode(2)
        # The application takes the port and sends exactly "HELLO".
        self.assertEqual(c.read_exact(5, timeout=10), b"HELLO")
        self.assertTrue(c.silent_for(0.3))
        # Bytes written arrive in pieces; the fourth (1) releases the echo.
        c.write(b"ab")
        self.assertTrue(c.silent_for(0.3))
        c.write(b"z\x01")
        self.assertEqual(c.read_exact(3, timeout=5), b"abz")
        self.assertTrue(c.silent_for(0.3))
        # The trigger byte closes the port: the command protocol answers again.
        c.write(b"\x01")
        deadline = time.monotonic() + 10
        got = None
        while time.monotonic() < deadline:
            c.flush_input()
            try:
                got = c.read_reg(Q1, 16)
                break
            except Exception:  # noqa: BLE001 - the port is not back yet
                time.sleep(0.2)
        self.assertIsNotNone(got, "the command protocol did not answer after the close")
        # close done (%Q1) is 1; open done (%Q2) stays 1 while its enable is held
        self.assertEqual(got[0] & 0x03, 0x03, got.hex())
        self.assertEqual(c.get_mode(), 2)


class IecModemBlocks(unittest.TestCase):
    def test_autodial_on_a_numeric_modem(self):
        ctl = Controller(prefix="plc-bb-iecmodem-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        lines = ctl.path("sim", "lines")
        os.makedirs(lines, exist_ok=True)
        dcd = os.path.join(lines, "ttySP0")
        dtr_out = os.path.join(lines, "ttySP0.out")
        c.set_mode(0)
        c.download(0, written("modem-program"))
        c.set_mode(2)
        sim = ModemSim(ctl.master, verbose=False)
        self.addCleanup(sim.stop)
        dtr_at_escape = []

        def on_line(line, t):
            if line == "+++" and os.path.exists(dtr_out):
                with open(dtr_out) as f:
                    dtr_at_escape.append(f.read())
            if line == "ATDT5551234":
                with open(dcd, "w") as f:
                    f.write("DCD\n")
        sim.on_line = on_line
        sim.answers["ATDT5551234"] = "1\r"

        def saved_aq1():
            img = ctl.registers()
            at = (AQ1 - 1024) // 8
            return img[at] | img[at + 1] << 8

        self.assertTrue(wait_for(lambda: "ATDT5551234" in sim.lines(), 15), sim.lines())
        self.assertEqual(sim.lines(), ["+++", "ATE0S0=0Q0V0X0&C1&D2", "ATDT5551234"])
        self.assertGreaterEqual(sim.times("ATE0S0=0Q0V0X0&C1&D2")[0] - sim.times("+++")[0], 1.4)
        self.assertEqual(dtr_at_escape[0].splitlines()[-1], "DTR 1")
        # CONNECT with carrier: the status word reaches 1 (saved image of %AQ1)
        self.assertTrue(wait_for(lambda: saved_aq1() == 1, 10), saved_aq1())


if __name__ == "__main__":
    unittest.main()
