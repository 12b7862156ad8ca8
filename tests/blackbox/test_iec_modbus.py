"""The IEC application's Modbus driven from outside: an application with a
server table (unit 7, holding registers 0..9; HR0 from %AI1, HR1 into %AQ1,
HR2 copied from HR1 by the program) answers Modbus RTU on the programming
port and Modbus TCP on port 1100 once the command protocol has handed the
programming link over (0x26); the client engine polls pymodbus slaves over
TCP, UDP and the programming port (RTU and ASCII); MBSLAVETCP blocks serve
mbpoll, and port 502 stays the controller's own Modbus server's while its
service is on; a remote binding follows an event server peer's frames."""

import os
import re
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, NetPeer, crc16, link_up, wait_for  # noqa: E402
import test_iec_runtime as rt  # noqa: E402
from test_iec_runtime import recv_exact, written  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from plcclient import ACK, CMD_GET_MODE, PlcClient, ProtocolError, set_raw  # noqa: E402

AI1, AQ1 = 16384, 24576


def rtu(hexs):
    f = bytes.fromhex(hexs.replace(" ", ""))
    return f + struct.pack("<H", crc16(f))


def poll(fn, want, seconds=5.0):
    """Repeats fn until it answers want or the time is up; the last answer."""
    deadline = time.monotonic() + seconds
    got = fn()
    while got != want and time.monotonic() < deadline:
        time.sleep(0.1)
        got = fn()
    return got


class IecModbusRtu(unittest.TestCase):
    def test_server_table_over_the_programming_port(self):
        ctl = Controller(prefix="plc-bb-iecmb-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, written("modbus-program"))
        c.set_mode(2)
        c.write_reg(AI1, 16, 0x2468)
        c.expect_byte(c.transact(0x26, bytes([c.target])), ACK, "0x26")
        time.sleep(0.2)
        c.flush_input()

        def ask(hexs, n):
            c.flush_input()
            c.write(rtu(hexs))
            try:
                return c.read_exact(n, timeout=1.0)
            except Exception:  # noqa: BLE001 - no answer yet
                return b""

        self.assertEqual(rtu("07 03 00 00 00 03"), bytes.fromhex("07 03 00 00 00 03 05 AD"))
        self.assertEqual(poll(lambda: ask("07 03 00 00 00 03", 11), rtu("07 03 06 24 68 00 00 00 00")),
                         rtu("07 03 06 24 68 00 00 00 00"))
        self.assertEqual(ask("07 06 00 01 0B EE", 8), rtu("07 06 00 01 0B EE"))
        self.assertEqual(poll(lambda: ask("07 03 00 00 00 03", 11), rtu("07 03 06 24 68 0B EE 0B EE")),
                         rtu("07 03 06 24 68 0B EE 0B EE"))
        self.assertEqual(ask("07 03 00 00 00 0B", 5), rtu("07 83 02"))
        self.assertEqual(ask("07 04 00 00 00 01", 5), rtu("07 84 02"))
        self.assertEqual(ask("07 10 00 03 00 05 02 00 01", 5), rtu("07 90 03"))
        self.assertEqual(ask("07 08 00 01 00 00", 5), rtu("07 88 01"))
        ident = bytes.fromhex("07 2B 0E 01 01 00 00 02 01 02 5A 37 02 0A".replace(" ", "")) + b"9.1.161102"
        self.assertEqual(ask("07 2B 0E 01 01", len(ident) + 2), ident + struct.pack("<H", crc16(ident)))
        c.flush_input()
        c.write(rtu("08 03 00 00 00 01"))  # another unit: nothing
        self.assertTrue(c.silent_for(0.5))
        # the written register reached the program's output
        c.write(b"HR\x00\x00")
        time.sleep(0.3)
        c.flush_input()
        self.assertEqual(poll(lambda: c.read_reg(AQ1, 16), struct.pack("<H", 0x0BEE)), struct.pack("<H", 0x0BEE))


class IecModbusTcp(unittest.TestCase):
    """Port 1100 after the hand-over over Ethernet (a veth peer)."""

    def setUp(self):
        self.peer = NetPeer()
        self.addCleanup(self.peer.close)
        self.ctl = Controller(prefix="plc-bb-iecmbt-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        self.c.download(0, written("modbus-program"))
        self.c.set_mode(2)
        self.c.write_reg(AI1, 16, 0x2468)

    def connect(self, port=1100):
        s = socket.create_connection(("127.0.0.1", port), timeout=3)
        self.addCleanup(s.close)
        return s

    def test_server_table_over_tcp_1100(self):
        rt.IecRuntime.hand_over_ethernet(self)
        s = self.connect()

        def ask(hexs, n):
            s.sendall(bytes.fromhex(hexs.replace(" ", "")))
            return recv_exact(s, n)

        self.assertEqual(ask("00 01 00 00 00 02 07 11", 10), bytes.fromhex("00 01 00 00 00 04 07 11 01 FF"))
        self.assertEqual(poll(lambda: ask("00 02 00 00 00 06 00 03 00 00 00 01", 11),
                              bytes.fromhex("00 02 00 00 00 05 00 03 02 24 68")),
                         bytes.fromhex("00 02 00 00 00 05 00 03 02 24 68"))
        self.assertEqual(ask("00 03 00 00 00 05 07 2B 0D 01 00", 10), bytes.fromhex("00 03 00 00 00 04 07 AB 0D 01"))
        self.assertEqual(mbpoll("127.0.0.1", 1100, 7), 0x2468)  # a stock master on its own connection
        # a stopped application answers nothing
        t = self.connect()
        t.sendall(rt.frame(5, b"\x01\x00z7\x00"))
        self.assertEqual(recv_exact(t, 7), rt.frame(5, b"\x00\x00"))
        self.assertTrue(self.ctl.wait_console("Application stopped", 5))
        s.sendall(bytes.fromhex("00 04 00 00 00 06 07 03 00 00 00 01"))
        s.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            s.recv(16)


PYMODBUS_SLAVE = """
import sys
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTcpServer
hr = ModbusSequentialDataBlock(0, [0] * 400)
hr.setValues(100, [0x1234, 0xFFFE, 0x0001, 0x86A0])
ctx = ModbusServerContext(slaves=ModbusSlaveContext(hr=hr, zero_mode=True), single=True)
StartTcpServer(context=ctx, address=("127.0.0.1", int(sys.argv[1])))
"""


class IecModbusClient(unittest.TestCase):
    def test_client_engine_against_pymodbus(self):
        slave = subprocess.Popen(["/usr/bin/python3", "-c", PYMODBUS_SLAVE, "15020"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def end():
            slave.terminate()
            slave.wait(5)
        self.addCleanup(end)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", 15020), timeout=1).close()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the pymodbus slave does not listen")
                time.sleep(0.1)
        ctl = Controller(prefix="plc-bb-iecmbc-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, written("modbus-client-program"))
        c.set_mode(2)
        c.write_reg(AI1, 16, 0x0BAD)
        c.write_reg(AI1 + 16, 16, 77)
        word = lambda ref: int.from_bytes(c.read_reg(ref, 16), "little")  # noqa: E731
        self.assertEqual(poll(lambda: word(AQ1), 0x1234), 0x1234)
        self.assertEqual(word(AQ1 + 16), 0x00F0)
        # about ten a second: five more good answers take at least four
        # periods of 100 ms, and come within a generous deadline
        good, t0 = word(AQ1 + 32), time.monotonic()
        self.assertTrue(wait_for(lambda: (word(AQ1 + 32) - good) & 0xFFFF >= 5, 10), word(AQ1 + 32) - good)
        self.assertGreaterEqual(time.monotonic() - t0, 0.4)
        from pymodbus.client import ModbusTcpClient
        m = ModbusTcpClient("127.0.0.1", port=15020)
        self.assertTrue(m.connect())
        self.addCleanup(m.close)
        regs = lambda: list(m.read_holding_registers(200, 2, slave=1).registers)  # noqa: E731
        self.assertEqual(poll(regs, [0x0BAD, 77]), [0x0BAD, 77])


PYMODBUS_UDP_SLAVE = PYMODBUS_SLAVE.replace("StartTcpServer", "StartUdpServer")


def start_peer(test, script, port, udp=False):
    """A pymodbus slave on 127.0.0.1:port, ended by the test's clean-up."""
    p = subprocess.Popen(["/usr/bin/python3", "-c", script, str(port)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def end():
        p.terminate()
        p.wait(5)
    test.addCleanup(end)
    if udp:
        return p
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return p
        except OSError:
            test.assertLess(time.monotonic(), deadline, "the pymodbus slave does not listen")
            time.sleep(0.1)


def mbpoll(host, port, unit, run=None):
    """Holding register 0 of unit through mbpoll -m tcp: its value, the
    text of an exception answer, or None for no answer."""
    cmd = ["mbpoll", "-m", "tcp", "-a", str(unit), "-r", "1", "-c", "1", "-t", "4:hex", "-1", "-o", "1",
           "-p", str(port), host]
    out = run(*cmd, check=False).stdout if run else subprocess.run(
        cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    m = re.search(r"\[1\]:\s+0x([0-9A-Fa-f]+)", out)
    if m:
        return int(m.group(1), 16)
    m = re.search(r"failed: (Illegal [a-z ]+)", out)
    return m.group(1) if m else None


class IecModbusPeers(unittest.TestCase):
    """One run: the UDP client against a pymodbus UDP slave, MBSLAVETCP
    blocks read by mbpoll, port 502 kept by the controller's own Modbus
    server while its service is on (flags word bit 3 clear) and given to the
    block once the service is off (bit 3 set)."""

    def net_config(self, flags):
        self.c.download(5, rt.net_config(flags))
        self.c.comm_lock(0)

    def test_udp_client_slave_blocks_and_port_502(self):
        start_peer(self, PYMODBUS_UDP_SLAVE, 15030, udp=True)
        peer = NetPeer()
        self.addCleanup(peer.close)
        ctl = Controller(prefix="plc-bb-iecmbp-")
        self.addCleanup(ctl.cleanup)
        c = self.c = ctl.start(port=True).client
        c.set_mode(0)
        self.net_config(0x200005D2)  # the controller's Modbus server on: port 502 is its
        c.download(0, written("modbus-peers-program"))
        c.set_mode(2)
        c.write_reg(AI1, 16, 0x2468)
        word = lambda ref: int.from_bytes(c.read_reg(ref, 16), "little")  # noqa: E731
        Q1 = 10240
        # the UDP client: the slave's registers in the variables, about ten answers a second
        self.assertEqual(poll(lambda: word(AQ1), 0x1234, 10), 0x1234)
        self.assertEqual(word(AQ1 + 16), 0x00F0)
        good = word(AQ1 + 32)
        time.sleep(1.0)
        self.assertGreaterEqual(word(AQ1 + 32) - good, 5)
        # the block on 5502 is open and serves the table; the one asking for 502 is not
        self.assertEqual(poll(lambda: word(Q1) & 3, 2), 2)
        self.assertEqual(poll(lambda: mbpoll("127.0.0.1", 5502, 7), 0x2468), 0x2468)
        self.assertEqual(mbpoll("127.0.0.1", 5502, 8), None)  # another unit: no answer
        # 502 answers from the controller's own server: with the application's variables in force and
        # no tables configured for it, exception 2 (the block's table would answer unit 7 only)
        self.assertEqual(poll(lambda: mbpoll("10.77.0.2", 502, 1, peer.run), "Illegal data address"),
                         "Illegal data address")
        self.assertEqual(mbpoll("10.77.0.2", 502, 7, peer.run), "Illegal data address")
        time.sleep(0.5)
        self.assertEqual(word(Q1) & 1, 0)
        # the controller's Modbus server off: the block gets 502 on one of its next calls
        self.net_config(0x200005DA)
        self.assertEqual(poll(lambda: word(Q1) & 3, 3, 10), 3)
        self.assertEqual(poll(lambda: mbpoll("127.0.0.1", 502, 7), 0x2468), 0x2468)


PYMODBUS_SERIAL_SLAVE = """
import sys
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer
hr = ModbusSequentialDataBlock(0, [0] * 400)
hr.setValues(100, [0x1234, 0xFFFE, 0x0001, 0x86A0])
ctx = ModbusServerContext(slaves=ModbusSlaveContext(hr=hr, zero_mode=True), single=True)
StartSerialServer(context=ctx, framer=ModbusAsciiFramer if sys.argv[2] == "ascii" else ModbusRtuFramer,
                  port=sys.argv[1], baudrate=9600)
"""


class IecModbusSerialClient(unittest.TestCase):
    """The client engine on the programming port, RTU then ASCII, against a
    pymodbus serial slave at the other end of a socat pseudo-terminal pair;
    what it reads is served by an MBSLAVETCP block and read back by mbpoll."""

    def run_framing(self, framing):
        ctl = Controller(prefix="plc-bb-iecmbs-")
        self.addCleanup(ctl.cleanup)
        line = ctl.path("peer")
        socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + ctl.path("dev", "ttySP0"),
                                  "pty,raw,echo=0,link=" + line],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def end_socat():
            socat.terminate()
            socat.wait(5)
        self.addCleanup(end_socat)
        self.assertTrue(wait_for(lambda: os.path.exists(line) and os.path.exists(ctl.path("dev", "ttySP0")), 5))
        ctl.start()
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
        set_raw(fd)
        c = PlcClient(fd, seed=ctl.seed, timeout=3.0)
        link_up(c, message="no programming link over socat")
        c.set_mode(0)
        c.download(0, written("modbus-%s-program" % framing))
        c.set_mode(2)
        os.close(fd)
        slave = subprocess.Popen(["/usr/bin/python3", "-c", PYMODBUS_SERIAL_SLAVE, line, framing],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def end_slave():
            slave.terminate()
            slave.wait(5)
        self.addCleanup(end_slave)
        self.assertEqual(poll(lambda: mbpoll("127.0.0.1", 5502, 7), 0x1234, 10), 0x1234, framing)

    def test_rtu_and_ascii_against_pymodbus(self):
        self.run_framing("rtu")
        self.doCleanups()
        self.run_framing("ascii")


def socat_traffic(path):
    """The bytes socat -x logged in each direction: '>' from the
    controller's end, '<' towards it."""
    out = {">": bytearray(), "<": bytearray()}
    way = None
    try:
        with open(path, errors="replace") as f:
            for line in f:
                if line[:1] in "<>" and "length=" in line:
                    way = line[0]
                elif line.startswith("--"):
                    way = None
                elif way and re.fullmatch(r"(\s*[0-9a-fA-F]{2})+\s*", line):
                    out[way] += bytes.fromhex(line)
    except OSError:
        pass
    return {k: bytes(v) for k, v in out.items()}


class IecModbusHold(unittest.TestCase):
    """One controller run: MBMASTERRTU and then the client engine hold the
    programming port (a socat pair logging its traffic) while they poll a
    pymodbus RTU server, so the command protocol does not answer there; the
    controller's frame start ("HR") gives the port back, and so does leaving
    RUN; running again, the engine takes the port again."""

    REQUEST = bytes.fromhex("01 03 00 64 00 04 05 D6")  # unit 1, FC3 100 x4

    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecmbh-")
        self.addCleanup(self.ctl.cleanup)
        self.peer = self.ctl.path("peer")
        self.log = self.ctl.path("socat.log")
        err = open(self.log, "w")
        self.addCleanup(err.close)
        socat = subprocess.Popen(["socat", "-x", "pty,raw,echo=0,link=" + self.ctl.path("dev", "ttySP0"),
                                  "pty,raw,echo=0,link=" + self.peer], stdout=subprocess.DEVNULL, stderr=err)

        def end_socat():
            socat.terminate()
            socat.wait(5)
        self.addCleanup(end_socat)
        self.assertTrue(wait_for(lambda: os.path.exists(self.peer) and
                                 os.path.exists(self.ctl.path("dev", "ttySP0")), 5))
        self.ctl.start()

    def client(self):
        fd = os.open(self.peer, os.O_RDWR | os.O_NOCTTY)
        set_raw(fd)
        c = PlcClient(fd, seed=self.ctl.seed, timeout=1.0, own_fd=True)
        self.addCleanup(c.close)
        self.target = link_up(c, errors=(ProtocolError, OSError), message="no programming link over socat")
        return c

    def slave(self):
        p = subprocess.Popen(["/usr/bin/python3", "-c", PYMODBUS_SERIAL_SLAVE, self.peer, "rtu"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def end():
            if p.poll() is None:
                p.terminate()
                p.wait(5)
        self.addCleanup(end)
        return end

    def sent_mark(self):
        return len(socat_traffic(self.log)[">"])

    def assert_only_requests(self, mark):
        """What the controller sent since mark is the request, at least once,
        and nothing else (the ends may cut a request being written)."""
        got = socat_traffic(self.log)[">"][mark:]
        r = self.REQUEST
        i = got.find(r)
        self.assertGreaterEqual(i, 0, got.hex())
        self.assertTrue(r.endswith(got[:i]), got.hex())
        while got[i:i + len(r)] == r:
            i += len(r)
        self.assertTrue(len(got) - i < len(r) and r.startswith(got[i:]), got.hex())

    def assert_held(self, c):
        """Command frames get no answer: for 1.5 s the port carries only the
        holder's requests."""
        mark = self.sent_mark()
        c.flush_input()
        for _ in range(3):
            c.send(CMD_GET_MODE, bytes([c.target]))
            time.sleep(0.5)
        self.assert_only_requests(mark)

    def hand_back(self, c):
        """Sends the controller's frame start, then asks for the mode until
        the command protocol answers; the mode it reports. Once the port is
        back, a frame start sent again opens a frame of the command protocol
        itself, which would swallow a question sent on its heels: each
        question waits out the frame time-out (500 ms) after the last bytes,
        and the frame start is repeated only every 3 s."""
        deadline = time.monotonic() + 15
        sent = None
        while True:
            if sent is None or time.monotonic() - sent >= 3.0:
                c.write(b"HR\x00\x00")
                sent = time.monotonic()
            time.sleep(0.8)
            c.flush_input()
            try:
                return c.get_mode()
            except (ProtocolError, OSError):
                self.assertLess(time.monotonic(), deadline, "the port was not given back")

    def press_run(self, held):
        self.ctl.press_run(held)

    def test_masters_hold_the_port_until_hr_or_stop(self):
        c = self.client()
        c.set_mode(0)
        c.download(0, written("mbmaster-rtu-program"))
        c.set_mode(2)
        mark = self.sent_mark()
        c.close()
        # MBMASTERRTU polls the pymodbus server: the request and the answer on the line
        answer = rtu("01 03 08 12 34 FF FE 00 01 86 A0")
        end = self.slave()
        self.assertTrue(wait_for(lambda: socat_traffic(self.log)["<"].count(answer) >= 3, 10),
                        socat_traffic(self.log))
        self.assert_only_requests(mark)
        end()
        # held: the command protocol does not answer, only the master's requests pass
        c = self.client_raw()
        self.assert_held(c)
        # "HR" gives the port back: the master has lost its connection (error
        # 130, not ready), keeps the values read, and sends no more
        self.assertEqual(self.hand_back(c), 2)
        word = lambda ref: int.from_bytes(c.read_reg(ref, 16), "little")  # noqa: E731
        self.assertEqual([word(AQ1 + 16 * k) for k in range(4)], [0x1234, 0xFFFE, 0x0001, 0x86A0])
        self.assertEqual(word(AQ1 + 64), 130)
        Q1 = 10240
        self.assertEqual(word(Q1) & 3, 2)  # ready FALSE, done without error seen
        c.flush_input()
        self.assertTrue(c.silent_for(1.0))

        # the client engine (unit 1, FC3 100 x4 every 100 ms), its HR0 served on 5502
        c.set_mode(0)
        c.download(0, written("modbus-rtu-program"))
        c.set_mode(2)
        mark = self.sent_mark()
        c.close()
        end = self.slave()
        self.assertEqual(poll(lambda: mbpoll("127.0.0.1", 5502, 7), 0x1234, 10), 0x1234)
        self.assert_only_requests(mark)
        end()
        c = self.client_raw()
        self.assert_held(c)
        # leaving RUN (the front panel's RUN button held 3 s) gives the port back
        self.press_run(True)
        self.addCleanup(self.press_run, False)
        self.assertIsNotNone(self.ctl.wait_line("Changed the Controller Mode", 8), self.ctl.output())
        self.press_run(False)
        self.assertEqual(poll_mode(c), 0)
        c.flush_input()
        self.assertTrue(c.silent_for(0.5))
        # running again, the engine takes the port again
        c.set_mode(2)
        self.assert_held(c)
        # "HR" gives it back for good: no request follows
        self.assertEqual(self.hand_back(c), 2)
        c.flush_input()
        self.assertTrue(c.silent_for(1.0))
        c.set_mode(0)
        self.assertEqual(c.get_mode(), 0)

    def client_raw(self):
        """The port's far end for command frames, without a first exchange."""
        fd = os.open(self.peer, os.O_RDWR | os.O_NOCTTY)
        set_raw(fd)
        c = PlcClient(fd, seed=self.ctl.seed, timeout=1.0, own_fd=True)
        self.addCleanup(c.close)
        c.target = self.target
        return c


def poll_mode(c, seconds=10.0):
    """The mode the command protocol reports, asked until it answers."""
    deadline = time.monotonic() + seconds
    while True:
        c.flush_input()
        try:
            return c.get_mode()
        except (ProtocolError, OSError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


class IecConsumer(unittest.TestCase):
    """A remote binding of the application (consumer of 127.0.0.1:19000:
    status code in %AQ1, id 5 INT in %AQ2) against an event server peer in
    Python."""

    def test_consumer_follows_the_peers_events(self):
        lst = socket.socket()
        lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        lst.bind(("127.0.0.1", 19000))
        lst.listen(4)
        self.addCleanup(lst.close)
        ctl = Controller(prefix="plc-bb-iecev-")
        self.addCleanup(ctl.cleanup)
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, written("consumer-program"))
        c.set_mode(2)
        word = lambda ref: int.from_bytes(c.read_reg(ref, 16), "little")  # noqa: E731
        self.assertEqual(poll(lambda: word(AQ1), 4), 4)  # connected, nothing received yet
        # the link of the application now running is the last one dialled
        lst.settimeout(0.5)
        s = None
        while True:
            try:
                s, _ = lst.accept()
                self.addCleanup(s.close)
            except socket.timeout:
                break
        self.assertIsNotNone(s)
        # one change event: id 5, INT, 3021
        event = bytes.fromhex("5A 37 00 15 12 01 04 FF 07 01 07 EA 0C 07 00 00 03 E8 00 05 0B 00 02 0B CD")
        s.sendall(event)
        self.assertEqual(recv_exact(s, 14), bytes.fromhex("5A 37 00 0A 12 45 00 00 00 00 00 00 04 00"))
        self.assertEqual(poll(lambda: word(AQ1 + 16), 3021), 3021)
        self.assertEqual(word(AQ1), 0)
        # an id no variable has changes nothing
        s.sendall(event[:18] + b"\x00\x09" + event[20:23] + b"\x00\x01")
        self.assertEqual(len(recv_exact(s, 14)), 14)
        # a frame not starting "Z7": code 2, the link closed, dialled again about 3 s later
        s.sendall(bytes.fromhex("41 42 00 02 12 00"))
        self.assertEqual(poll(lambda: word(AQ1), 2), 2)
        closed_at = time.monotonic()
        s.settimeout(5)
        lst.settimeout(10)
        try:
            while s.recv(64):
                pass
        except OSError:
            pass
        again, _ = lst.accept()
        self.addCleanup(again.close)
        waited = time.monotonic() - closed_at
        self.assertGreater(waited, 2.0)
        self.assertLess(waited, 6.0)
        self.assertEqual(word(AQ1 + 16), 3021)
        self.assertEqual(poll(lambda: word(AQ1), 4), 4)


if __name__ == "__main__":
    unittest.main()
