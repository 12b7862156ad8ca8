"""The user program's own traffic on the programming port (the Talk blocks),
the Hayes modem it drives there, and SMS through a cellular module on the
module's line, each against a peer at the far end of a pseudo-terminal."""

import os
import pty
import json
import select
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for  # noqa: E402
from modemsim import ModemSim  # noqa: E402
from plcclient import ProtocolError, set_raw  # noqa: E402


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def program(words, features=0x8000):
    data = b"".join(struct.pack("<H", w & 0xFFFF) for w in words)
    return data + struct.pack("<I", features) + bytes(5)


def text_words(t):
    b = t.encode() + (b"\0" if len(t) % 2 else b"")
    return [b[i] | b[i + 1] << 8 for i in range(0, len(b), 2)]


def open_words(mode):
    return [132, 0, mode[0] | mode[1] << 8, mode[2] | mode[3] << 8, mode[4] | mode[5] << 8]


def sms_section(status_reg, storage_reg, port_plus1=3):
    """SMS section of the messaging block: one contact in group 1, a message
    "T=xxx C" with %R5 at position 2 triggered by %M40, a command "SET xx"
    with %R6 at position 4 whose receipt sets %M41."""
    base = 5000
    strings = bytearray()

    def s(t):
        off = len(strings)
        strings.extend(t.encode())
        return off, len(t)

    contact = struct.pack("<II8xB3x", *s("+49 151-1234 5678"), 1)
    rx = struct.pack("<IIBBxxI", *s("SET xx"), 0, 1, M(41))
    tx = struct.pack("<IIBxxxI", *s("T=xxx C"), 1, M(40))
    fields = struct.pack("<IBBBBB3x", R(5), 16, 4, 3, 0, 0) + struct.pack("<IBBBBB3x", R(6), 16, 4, 2, 0, 0)
    lists = struct.pack("<II", *s("4:1:")) + struct.pack("<II", *s("2:0:"))
    tables = contact + rx + tx + fields + lists
    hdr = bytearray(100)
    hdr[4:8] = b"1VMS"
    c_at, rx_at, tx_at, f_at = 0, 20, 36, 52
    s_at = len(tables)
    struct.pack_into("<IIIIIIIIIII", hdr, 8, base + c_at, 20, base + rx_at, 16, base + tx_at, 16,
                     base + f_at, 24, base + s_at, len(strings), 0)
    hdr[57] = 1  # receive period: 1 s
    struct.pack_into("<II", hdr, 60, status_reg, storage_reg)
    hdr[92] = port_plus1
    hdr[93:99] = bytes([5, 0, 3, 0, 0, 1])
    sec = bytes(hdr) + tables + bytes(strings)
    return struct.pack("<I", len(sec)) + sec[4:]


class PortCase(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-msg-")
        self.addCleanup(self.ctl.cleanup)

    def start(self):
        self.c = self.ctl.start(port=True, wait=False).client

    def run_program(self, words, features=0x8000):
        self.c.set_mode(0)
        self.c.download(0, program(words, features))
        self.c.set_mode(2)

    def read_port(self, n, timeout=5.0):
        out = b""
        end = time.monotonic() + timeout
        while len(out) < n and time.monotonic() < end:
            r, _, _ = select.select([self.ctl.master], [], [], 0.1)
            if r:
                out += os.read(self.ctl.master, n - len(out))
        return out

    def answered(self):
        try:
            self.c.flush_input()
            return self.c.get_mode() is not None
        except ProtocolError:
            return False

    def saved_word(self, ref):
        """A word of the register image as the auto-save last wrote it."""
        img = self.ctl.registers()
        at = (ref - 1024) // 8
        return img[at] | img[at + 1] << 8

    def saved_bit(self, ref):
        img = self.ctl.registers()
        return (img[(ref - 1024) // 8] >> (ref & 7)) & 1

    def bit(self, ref):
        return self.c.read_reg(ref, 1)[0] & 1

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")


class TalkOnTheProgrammingPort(PortCase):
    def test_open_send_receive_close(self):
        self.start()
        words = [M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11),
                 M(11), 133, 0, 5, R(10), R(20), 52, M(12),
                 M(12), 134, 0, 4, R(30), R(21), 52, M(13),
                 M(13), 135, 0, 38, M(14), 9]
        for i, w in enumerate(text_words("HELLO")):
            self.c.write_reg(R(10 + i), 16, w)
        self.run_program(words)
        self.c.write_reg(M(1), 1, 1)
        got = self.read_port(5)
        self.assertEqual(got, bytes([0x48, 0x45, 0x4C, 0x4C, 0x4F]))
        os.write(self.ctl.master, bytes([0x41, 0x42, 0x43, 0x44]))
        self.assertTrue(wait_for(self.answered, 15), self.ctl.console())
        self.assertEqual(self.word(R(30)), 0x4241)
        self.assertEqual(self.word(R(31)), 0x4443)
        self.assertEqual(self.c.read_word(161), 1)
        self.assertEqual(self.bit(M(14)), 1)
        self.assertEqual(self.c.get_mode(), 2)

    def test_open_port_is_given_back_when_the_controller_stops(self):
        self.start()
        self.run_program([M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11), 9])
        self.c.write_reg(M(1), 1, 1)
        time.sleep(0.3)
        self.c.flush_input()
        with self.assertRaises(ProtocolError):
            self.c.get_mode()  # no answer while the program holds the port
        buttons = self.ctl.path("sim", "buttons")
        with open(buttons + ".tmp", "w") as f:
            f.write("RUN\n")
        os.rename(buttons + ".tmp", buttons)
        self.assertTrue(self.ctl.wait_console("Changed the Controller Mode", 10), self.ctl.console())
        os.unlink(buttons)
        self.assertTrue(wait_for(self.answered, 10), self.ctl.console())
        self.assertEqual(self.c.get_mode(), 0)
        self.assertEqual(self.c.read_word(161), 1)

    def test_unknown_modem_kind_stops_the_program(self):
        self.start()
        self.run_program([M(2), 136, 0, 3, R(40), 38, M(20), 9])
        self.assertTrue(wait_for(lambda: self.c.get_mode() == 0, 5))
        self.assertTrue(self.c.read_word(131) & 0x100)


class HayesModemOnTheProgrammingPort(PortCase):
    def test_numeric_modem_dials_and_hangs_up(self):
        self.start()
        lines = self.ctl.path("sim", "lines")
        os.makedirs(lines, exist_ok=True)
        dcd = os.path.join(lines, "ttySP0")
        dtr_out = os.path.join(lines, "ttySP0.out")
        words = ([M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11),
                 M(11), 209, R(1), 100, 38, M(30),      # 10 s, then the enable falls
                 M(30), 32, 38, M(31),
                 M(31), 136, 0, 1, R(40), 7] + text_words("5551234") + [38, M(20), 9])
        self.run_program(words)
        # Taken before the write: its answer can reach us late on a loaded
        # machine, while the controller's guard time runs from the write.
        t_edge = time.monotonic()
        self.c.write_reg(M(1), 1, 1)
        sim = ModemSim(self.ctl.master, verbose=False)
        self.addCleanup(sim.stop)
        dtr_at_escape = []

        def on_line(line, t):
            if line == "+++":
                with open(dtr_out) as f:
                    dtr_at_escape.append(f.read())
            if line == "ATDT5551234":
                with open(dcd, "w") as f:
                    f.write("DCD\n")
        sim.on_line = on_line
        sim.answers["ATDT5551234"] = "ATDT5551234\r\n1\r"
        self.assertTrue(wait_for(lambda: "ATDT5551234" in sim.lines(), 10), sim.lines())
        esc = sim.times("+++")[0]
        init = sim.times("ATE0S0=0Q0V0X0&C1&D2")[0]
        self.assertGreaterEqual(esc - t_edge, 1.1)
        self.assertGreaterEqual(init - esc, 1.4)
        self.assertEqual(dtr_at_escape[0].splitlines()[-1], "DTR 1")
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 1, 5))
        self.assertTrue(wait_for(lambda: self.saved_bit(M(20)) == 1, 5))
        os.unlink(dcd)
        self.assertTrue(wait_for(lambda: self.saved_bit(M(20)) == 0, 5))
        # The enable falls after 10 s: the line drops for 250 ms, status idle.
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 65535, 15))

        def tail():
            with open(dtr_out) as f:
                return f.read().splitlines()[-2:]
        self.assertTrue(wait_for(lambda: tail() == ["DTR 0", "DTR 1"], 5), tail())


def modem_section(oper_at, oper_len, flags_b=0x04):
    """Modem section of the messaging block (its last 96 bytes): flag byte B
    bit 2 manual operator selection, the operator's name at oper_at of the
    block's data."""
    sec = bytearray(96)
    sec[0:4] = b"EMSG"
    sec[5] = flags_b
    struct.pack_into("<II", sec, 48, oper_at, oper_len)
    return bytes(sec)


class GsmModemOnTheProgrammingPort(PortCase):
    """A GSM modem of the modem manager on the programming port (verbose
    results), set up by the modem section of the messaging block and started
    by the program's dial request."""

    def test_operator_chosen_by_name_from_the_list(self):
        self.start()
        sms = sms_section(R(100), R(200))
        block = sms + b"testnet" + modem_section(len(sms), 7)
        self.c.set_mode(0)
        self.c.download(21, block)
        words = ([M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11),
                 M(11), 136, 0, 1, R(40), 7] + text_words("5551234") + [38, M(20), 9])
        self.run_program(words, 0x8002)
        self.c.write_reg(M(1), 1, 1)
        sim = ModemSim(self.ctl.master, verbose=True)
        self.addCleanup(sim.stop)
        want = 'AT+COPS=1,2,"00101"'
        self.assertTrue(wait_for(lambda: want in sim.lines(), 60), sim.lines())
        lines = sim.lines()
        self.assertEqual(lines[lines.index(want) - 1], "AT+COPS=?")
        self.assertEqual([ln for ln in lines if ln.startswith("AT+COPS=1")], [want])
        # Configured: the call itself is dialled.
        self.assertTrue(wait_for(lambda: "ATDT5551234" in sim.lines(), 30), sim.lines()[-10:])


class SmsOnTheCellularLine(PortCase):
    def setUp(self):
        super().setUp()
        self.m_master, slave = pty.openpty()
        set_raw(self.m_master)
        set_raw(slave)
        self.addCleanup(os.close, self.m_master)
        self.addCleanup(os.close, slave)
        os.makedirs(self.ctl.path("dev"), exist_ok=True)
        os.symlink(os.ttyname(slave), self.ctl.path("dev", "ttySP2"))
        self.sim = ModemSim(self.m_master, verbose=True)
        self.addCleanup(self.sim.stop)
        self.start()
        self.c.set_mode(0)
        self.c.download(21, sms_section(R(100), R(200)))
        self.run_program([9], 0x8002)

    def storage(self):
        raw = self.c.read_reg(R(200), 16) + self.c.read_reg(R(201), 16) + self.c.read_reg(R(202), 16) + \
            self.c.read_reg(R(203), 16) + self.c.read_reg(R(204), 16) + self.c.read_reg(R(205), 16)
        return raw.split(b"\0")[0].decode("latin-1")

    def test_initialisation_send_and_receive(self):
        sim = self.sim
        self.assertTrue(wait_for(lambda: "AT+CSMP=17,167,0,0" in sim.lines(), 30), sim.lines())
        self.assertGreaterEqual(sim.times("AT+CMGF=1")[0] - sim.times("AT+CPIN?")[0], 10.0)
        self.assertNotIn("AT+CSCA=", "".join(sim.lines()))
        self.c.write_reg(R(5), 16, 42)
        self.c.write_reg(M(40), 1, 1)
        self.assertTrue(wait_for(lambda: sim.sms_sent, 15), sim.lines())
        self.assertEqual(sim.sms_sent[0], ("+4915112345678", "T= 42 C"))
        self.assertTrue(wait_for(lambda: self.bit(M(40)) == 0, 5))
        self.assertEqual(self.storage(), "T= 42 C")
        self.assertTrue(wait_for(lambda: self.word(R(104)) == 1, 5))
        self.assertTrue(wait_for(lambda: self.word(R(101)) == 21, 20))
        # A command from the contact.
        sim.stored[3] = ("REC UNREAD", "+4915112345678", "24/01/01,12:00:00+04", "set 42")
        self.c.write_reg(R(6), 16, 0)
        self.assertTrue(wait_for(lambda: self.word(R(6)) == 42, 15), sim.lines())
        self.assertEqual(self.bit(M(41)), 1)
        self.assertTrue(wait_for(lambda: "AT+CMGD=3" in sim.lines(), 10))
        self.assertEqual(self.storage(), "R-set 42")
        # With RV the filled template comes back.
        sim.stored[4] = ("REC UNREAD", "+4915112345678", "24/01/01,12:00:00+04", "set 43 RV")
        self.assertTrue(wait_for(lambda: ("+4915112345678", "SET 43") in sim.sms_sent, 20), sim.sms_sent)
        # An unknown sender: deleted, nothing written.
        sim.stored[5] = ("REC UNREAD", "+4915199999999", "24/01/01,12:00:00+04", "set 44")
        self.assertTrue(wait_for(lambda: "AT+CMGD=5" in sim.lines(), 15))
        self.assertEqual(self.word(R(6)), 43)

    def test_error_instead_of_the_prompt(self):
        sim = self.sim
        self.assertTrue(wait_for(lambda: "AT+CSMP=17,167,0,0" in sim.lines(), 30), sim.lines())
        sim.cmgs_error = True
        self.c.write_reg(R(5), 16, 42)
        self.c.write_reg(M(40), 1, 1)
        self.assertTrue(wait_for(lambda: self.word(R(100)) == 0x4000, 15), sim.lines())
        self.assertEqual(self.bit(M(40)), 0)



class DebugLogOfTheAtTraffic(PortCase):
    """PLC_DEBUG_LOG names %R300 as the debug logger's filter register: with
    its bit 0 set, the AT commands the SMS engine sends to the module end up,
    each followed by CR LF, in the day's file DEBUG\\DLOG_YYMMDD.LOG on the
    card; the logger's status word (%R301) stays 0."""

    def setUp(self):
        self.ctl = Controller(prefix="plc-dlog-", dirs=("dev", "mnt/cfg", "mnt/USB0"))
        self.addCleanup(self.ctl.cleanup)
        self.m_master, slave = pty.openpty()
        set_raw(self.m_master)
        set_raw(slave)
        self.addCleanup(os.close, self.m_master)
        self.addCleanup(os.close, slave)
        os.symlink(os.ttyname(slave), self.ctl.path("dev", "ttySP2"))
        self.sim = ModemSim(self.m_master)
        self.addCleanup(self.sim.stop)
        self.c = self.ctl.start(port=True, wait=False, env={"PLC_DEBUG_LOG": str(R(300))}).client
        self.c.set_mode(0)
        self.c.download(21, sms_section(R(100), R(200)))
        self.c.write_reg(R(300), 16, 1)
        self.run_program([9], 0x8002)

    def test_at_commands_in_the_days_file(self):
        sim = self.sim
        self.assertTrue(wait_for(lambda: "AT+CSMP=17,167,0,0" in sim.lines(), 30), sim.lines())
        folder = self.ctl.path("mnt", "USB0", "DEBUG")
        want = [b"AT+CPIN?\r\n", b"AT+CMGF=1\r\n", b"AT+CSMP=17,167,0,0\r\n"]
        seen = {}

        def logged():
            names = os.listdir(folder) if os.path.isdir(folder) else []
            seen["names"] = names
            if len(names) != 1:
                return False
            with open(os.path.join(folder, names[0]), "rb") as f:
                seen["text"] = f.read()
            return all(w in seen["text"] for w in want)

        self.assertTrue(wait_for(logged, 30), seen)
        text = seen["text"]
        self.assertLess(text.index(want[0]), text.index(want[1]))
        self.assertLess(text.index(want[1]), text.index(want[2]))
        day, month, year = (self.word(1024 + 16 * w) for w in (174, 175, 176))
        self.assertEqual(seen["names"], ["DLOG_%02d%02d%02d.LOG" % (year % 100, month, day)])
        self.assertEqual(self.word(R(301)), 0)


class SocketsOfTheBuiltInModule(PortCase):
    """The cellular option board in slot 1: a dial of the Talk-port modem
    block becomes a data socket of the module, carried over real TCP."""

    def module(self):
        os.makedirs(self.ctl.path("sim"), exist_ok=True)
        with open(self.ctl.path("sim", "io.json"), "w") as f:
            json.dump({"slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 0x6F]}]}, f)
        m_master, slave = pty.openpty()
        set_raw(m_master)
        set_raw(slave)
        self.addCleanup(os.close, m_master)
        self.addCleanup(os.close, slave)
        os.makedirs(self.ctl.path("dev"), exist_ok=True)
        os.symlink(os.ttyname(slave), self.ctl.path("dev", "ttySP2"))
        sim = ModemSim(m_master, verbose=True)
        self.addCleanup(sim.stop)
        return sim

    def test_listen_accept_and_peer_bytes(self):
        """An answer request listens on port 1001; a peer's TCP connection
        is accepted and its bytes are read from the module."""
        sim = self.module()
        self.start()
        self.c.set_mode(0)
        self.c.download(21, sms_section(R(100), R(200)))
        words = ([M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11),
                 M(11), 136, 0, 2, R(40), 38, M(20), 9])
        self.run_program(words, 0x8002)
        self.c.write_reg(M(1), 1, 1)
        self.assertTrue(wait_for(lambda: "AT#SL=1,1,1001" in sim.lines(), 60), sim.lines()[-10:])
        self.assertLess(sim.lines().index('AT#SGACT=1,1,"",""'), sim.lines().index("AT#SL=1,1,1001"))
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 6, 20), sim.lines()[-10:])
        self.assertEqual(self.saved_bit(M(20)), 0)
        peer = socket.create_connection(("127.0.0.1", 1001), timeout=10)
        self.addCleanup(peer.close)
        self.assertTrue(wait_for(lambda: "AT#SA=1,1" in sim.lines(), 20), sim.lines()[-10:])
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 1, 20), sim.lines()[-10:])
        self.assertTrue(wait_for(lambda: self.saved_bit(M(20)) == 1, 5))
        peer.sendall(b"ABCD")
        self.assertTrue(wait_for(lambda: "AT#SRECV=1,1500" in sim.lines(), 20), sim.lines()[-10:])
        # The peer leaves: the socket listens again and takes the next one.
        peer.close()
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 6, 20), sim.lines()[-10:])
        second = socket.create_connection(("127.0.0.1", 1001), timeout=10)
        self.addCleanup(second.close)
        self.assertTrue(wait_for(lambda: sim.lines().count("AT#SA=1,1") == 2, 20), sim.lines()[-10:])
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 1, 20), sim.lines()[-10:])

    def test_dial_and_peer_bytes(self):
        sim = self.module()
        server = socket.socket()
        self.addCleanup(server.close)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", 5000))
        server.listen(1)
        server.settimeout(120)
        self.start()
        self.c.set_mode(0)
        self.c.download(21, sms_section(R(100), R(200)))
        words = ([M(1)] + open_words([5, 0, 3, 0, 0, 2]) + [38, M(11),
                 M(11), 136, 0, 1, R(40), 14] + text_words("127.0.0.1/5000") + [38, M(20), 9])
        self.run_program(words, 0x8002)
        self.c.write_reg(M(1), 1, 1)
        conn, _ = server.accept()
        self.addCleanup(conn.close)
        self.assertIn('AT#SD=1,0,5000,"127.0.0.1",0,0,1', sim.lines())
        self.assertLess(sim.lines().index('AT#SGACT=1,1,"",""'), sim.lines().index('AT#SD=1,0,5000,"127.0.0.1",0,0,1'))
        self.assertTrue(wait_for(lambda: self.saved_word(R(40)) == 1, 20), sim.lines()[-10:])
        conn.sendall(b"ABCD")
        self.assertTrue(wait_for(lambda: "AT#SRECV=1,1500" in sim.lines(), 20), sim.lines()[-10:])
        at = sim.lines().index("AT#SRECV=1,1500")
        self.assertEqual(sim.lines()[at - 1], "AT#SS")


if __name__ == "__main__":
    unittest.main()
