"""The IEC Modbus blocks on the programming port, driven by real peers over a
socat pseudo-terminal pair: the application opens the port for Modbus RTU
(OPENCOMM), serves a pymodbus RTU client through MODBUSMAPSLAVE (station
0x11, arrays as its map) and, once the client sets coil 7, polls a pymodbus
RTU server through MODBUSDOREQUEST; what the poll read shows on %AQ in the
saved register file."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, link_up, set_raw, wait_for  # noqa: E402
from test_iec_runtime import written  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from plcclient import PlcClient  # noqa: E402

AQ1 = 24576

RTU_SERVER = """
import sys
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer
hr = ModbusSequentialDataBlock(0, [0] * 200)
hr.setValues(0x6B, [0xAE41, 0x5652, 0x4340])
ctx = ModbusServerContext(slaves={1: ModbusSlaveContext(hr=hr, zero_mode=True)}, single=False)
StartSerialServer(context=ctx, framer=ModbusRtuFramer, port=sys.argv[1], baudrate=9600, timeout=0.05)
"""


class IecModbusBlocks(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecmbb-")
        self.addCleanup(self.ctl.cleanup)
        self.peer = self.ctl.path("peer")
        port = self.ctl.path("dev", "ttySP0")
        self.socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + port, "pty,raw,echo=0,link=" + self.peer],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.end, self.socat)
        self.assertTrue(wait_for(lambda: os.path.exists(port) and os.path.exists(self.peer), 10), "socat pair")

    @staticmethod
    def end(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def saved_word(self, ref):
        img = self.ctl.registers()
        at = (ref - 1024) // 8
        return img[at] | img[at + 1] << 8

    def download(self):
        """The application downloaded and started over the command protocol
        on the peer end of the pair, which is then closed."""
        fd = os.open(self.peer, os.O_RDWR | os.O_NOCTTY)
        try:
            set_raw(fd)
            c = PlcClient(fd, timeout=3.0)
            link_up(c, message="no answer on the port")
            c.set_mode(0)
            c.download(0, written("modbus-blocks-program"))
            c.set_mode(2)
        finally:
            os.close(fd)

    def test_slave_then_master_against_pymodbus(self):
        self.ctl.start()
        self.download()
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusRtuFramer
        m = ModbusSerialClient(port=self.peer, framer=ModbusRtuFramer, baudrate=9600, timeout=1)
        self.assertTrue(m.connect())
        closed = []

        def close():
            if not closed:
                m.close()
                closed.append(1)
        self.addCleanup(close)

        def regs(addr, n):
            try:
                r = m.read_holding_registers(addr, n, slave=0x11)
            except Exception:  # noqa: BLE001 - the port is not Modbus yet
                return None
            return None if r.isError() else list(r.registers)
        # The application turns the port to Modbus RTU in its first cycles.
        self.assertTrue(wait_for(lambda: regs(0, 4) == [0x0A0B, 0x0C0D, 0x1234, 0xFFFE], 15), regs(0, 4))
        self.assertFalse(m.write_registers(1, [0x0BEE, 0x5555], slave=0x11).isError())
        self.assertEqual(regs(0, 4), [0x0A0B, 0x0BEE, 0x5555, 0xFFFE])
        r = m.read_holding_registers(3, 2, slave=0x11)  # past the holding array
        self.assertTrue(r.isError())
        self.assertEqual(r.exception_code, 2)
        self.assertEqual(list(m.read_input_registers(0, 2, slave=0x11).registers), [0x4321, 0x8765])
        r = m.read_input_registers(1, 2, slave=0x11)
        self.assertEqual(r.exception_code, 2)
        self.assertEqual(list(m.read_discrete_inputs(0, 4, slave=0x11).bits[:4]), [True, False, True, False])
        self.assertFalse(m.write_coils(0, [True, False, True], slave=0x11).isError())
        self.assertEqual(list(m.read_coils(0, 3, slave=0x11).bits[:3]), [True, False, True])
        self.assertEqual(m.read_coils(6, 3, slave=0x11).exception_code, 2)
        r = m.read_holding_registers(0, 126, slave=0x11)  # quantity above 125
        self.assertEqual(r.exception_code, 3)
        # Another station: no answer (the client times out).
        self.assertTrue(m.read_holding_registers(0, 1, slave=0x12).isError())
        self.assertEqual(regs(1, 1), [0x0BEE])
        # The holding array is the program's: INT 12 shows on %AQ5.
        self.assertTrue(wait_for(lambda: self.saved_word(AQ1 + 64) == 0x0BEE, 10), hex(self.saved_word(AQ1 + 64)))
        # Coil 7 ends the slave and starts the master (its answer may be cut
        # by the master's first request: not checked).
        try:
            m.write_coil(7, True, slave=0x11)
        except Exception:  # noqa: BLE001
            pass
        close()
        self.assertEqual(self.saved_word(AQ1), 0)
        server = subprocess.Popen(["/usr/bin/python3", "-c", RTU_SERVER, self.peer],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.end, server)
        # The master's first polls may find no server yet (status 0x102);
        # it asks again after each end, so the read words arrive.
        want = [0xAE41, 0x5652, 0x4340]
        self.assertTrue(wait_for(lambda: [self.saved_word(AQ1 + 16 * k) for k in range(3)] == want, 20),
                        [hex(self.saved_word(AQ1 + 16 * k)) for k in range(4)])
        self.assertIn(self.saved_word(AQ1 + 48), (0, 1))  # status: idle or success, no error code


if __name__ == "__main__":
    unittest.main()
