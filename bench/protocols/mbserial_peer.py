"""pymodbus RTU server, station 0x11, 300 holding registers, 115,200 baud,
on the pseudo-terminal named by argv[1]: the peer of bench_mbserial_pty."""
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer

store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, list(range(300))))
StartSerialServer(context=ModbusServerContext(slaves={0x11: store}, single=False), framer=ModbusRtuFramer,
                  port=sys.argv[1], baudrate=115200)
