"""Expansion I/O of the running controller on the simulated module table
(sim/io.json): slot information, the downloaded I/O configuration, the
calibration pass-through, outputs on the simulated bus (sim/io_out.json,
proc/Ssp2_Out_Data) and inputs taken from the table while it changes."""

import json
import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import Controller, wait_for, word_of  # noqa: E402

S6 = 1536 + 5          # %S6: I/O configuration in order
BA_I, BA_Q, BA_AI, BA_AQ = 8192, 10240, 16384, 24576


def entry(info, slot):
    """(id, status, text, counts, configured) of a slot in the 98-byte slot information."""
    e = info[2 + 24 * slot:2 + 24 * slot + 23]
    return (e[0] | e[1] << 8, chr(e[2]), e[3:14].decode(), struct.unpack("<4H", e[14:22]), e[22])


class IoCase(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-io-")
        self.addCleanup(self.ctl.cleanup)

    def start(self):
        self.c = self.ctl.start(port=True, wait=False).client
        return self.c

    def sim(self, table):
        os.makedirs(self.ctl.path("sim"), exist_ok=True)
        tmp = self.ctl.path("sim", "io.json.tmp")
        with open(tmp, "w") as f:
            json.dump(table, f)
        os.replace(tmp, self.ctl.path("sim", "io.json"))

    def configure(self, data):
        self.c.download(5, bytes(data))
        self.c.comm_lock(0)
        time.sleep(0.3)

    def info(self):
        return self.c.upload(17)

    def cal(self, data):
        return self.c.transact(0x17, bytes([self.c.target]) + bytes(data))


class SlotsWithoutModules(IoCase):
    def test_default_configuration_then_a_download_that_puts_slots_in_order(self):
        c = self.start()
        info = self.info()
        self.assertEqual(len(info), 98)
        self.assertEqual(entry(info, 0), (255, " ", "I/O: Empty ", (0, 0, 0, 0), 1))
        self.assertEqual(entry(info, 1), (255, " ", "I/O: Empty ", (0, 0, 0, 0), 1))
        self.assertEqual(entry(info, 2), (64000, "+", "I/O: TQR300", (0, 0, 0, 0), 0))
        self.assertEqual(info[74:], bytes(24))
        self.assertTrue(c.read_word(131) & 0x40)
        self.assertEqual(c.read_reg(S6, 1)[0], 0)
        # The same bytes stand in the register image at byte 382.
        image = b"".join(c.read_reg(1024 + 16 * w, 16) for w in range(191, 240))
        self.assertEqual(image, info)

        # Calibration pass-through: slot 2 echoes, an empty slot and slot 3 refuse.
        self.assertEqual(self.cal([2, 0xAA, 0xBB, 0xCC]), ("frame", bytes([0xAA, 0xBB, 0xCC])))
        self.assertEqual(self.cal([0, 0]), ("frame", bytes([0x40])))
        self.assertEqual(self.cal([3, 0]), ("frame", bytes([0x40])))

        self.configure([0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00])
        for _ in range(2):
            info = self.info()
            self.assertEqual(entry(info, 2), (64000, " ", "I/O: TQR300", (0, 0, 0, 0), 1))
            self.assertFalse(c.read_word(131) & 0x40)
            self.assertEqual(c.read_reg(S6, 1)[0], 1)
            self.ctl.stop()
            c = self.start()

        # Slot 0 configured 0x0100 with 5 bytes: missing; slot 1's record after the padding.
        self.configure([0x00, 0x01, 0x05, 0x00, 1, 2, 3, 4, 5, 0, 0, 0, 0xFF, 0xFF, 0x00, 0xF8, 0x00, 0x00])
        info = self.info()
        self.assertEqual(entry(info, 0), (255, "-", "I/O Missing", (0, 0, 0, 0), 0))
        self.assertEqual(entry(info, 1)[1:3], (" ", "I/O: Empty "))
        self.assertEqual(entry(info, 2)[1], "?")
        self.assertTrue(c.read_word(131) & 0x40)
        self.assertEqual(c.read_reg(S6, 1)[0], 0)
        # The configuration fault does not keep the controller from running.
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))


class SimulatedModules(IoCase):
    def test_current_monitor_outputs_inputs_and_analog_values(self):
        # Row 7 in slot 0 (expander 0x4C, converter 0x90), row 18 in slot 1.
        table = {"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 127]},
                           {"addr": "0x90", "type": "registers", "width": 2,
                            "registers": {"0": [70, 0]}}],
                 "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 143]},
                           {"addr": "0x20", "type": "registers", "width": 2},
                           {"addr": "0x22", "type": "registers", "width": 2}]}
        self.sim(table)
        c = self.start()
        self.configure([0x0E, 0x7F, 0, 0, 0x0F, 0x8F, 0, 0, 0x00, 0xFA, 0x00, 0x00])
        info = self.info()
        self.assertEqual(entry(info, 0), (0x7F0E, " ", "I/O: CMON07", (4, 4, 5, 0), 1))
        self.assertEqual(entry(info, 1), (0x8F0F, " ", "I/O: AQ4CH8", (0, 0, 0, 4), 1))
        self.assertEqual(c.read_reg(S6, 1)[0], 1)
        c.set_mode(2)
        self.assertTrue(wait_for(lambda: c.get_mode() == 2, 3))

        out_path = self.ctl.path("sim", "io_out.json")

        def outputs():
            try:
                with open(out_path) as f:
                    return json.load(f)
            except (OSError, ValueError):
                return {}

        c.write_reg(BA_Q, 1, 1)
        c.write_reg(BA_Q + 2, 1, 1)
        self.assertTrue(wait_for(lambda: outputs().get("0x4c") == [0xAF, 0xFF], 3), outputs())
        # Channel 0 of the analog output module (default gain 0x7FF0): 32000 -> 3998.
        c.write_reg(BA_AQ, 16, 32000)  # %AQ1: slot 0 has no analog outputs
        want = [(3998 << 4) >> 8, (3998 << 4) & 0xFF]
        self.assertTrue(wait_for(lambda: outputs().get("0x20", {}).get("0x30") == want, 3), outputs())

        # Inputs and analog values follow the table.
        self.assertTrue(wait_for(lambda: c.read_reg(BA_I, 8)[0] & 0x0F == 0, 3))
        self.assertEqual(int.from_bytes(c.read_reg(BA_AI, 16), "little"), (0x4600 * 8771) >> 14)
        table["slot0"][0]["pins"] = [0xF5, 127]
        table["slot0"][1]["registers"] = {"0": [16, 0]}
        self.sim(table)
        self.assertTrue(wait_for(lambda: c.read_reg(BA_I, 8)[0] & 0x0F == 0x0A, 3))
        self.assertTrue(wait_for(
            lambda: int.from_bytes(c.read_reg(BA_AI, 16), "little") == (0x1000 * 8771) >> 14, 3))
        # A module that appears after start is not taken: probing happens once.
        table["slot1"] = []
        self.sim(table)
        self.configure([0x0E, 0x7F, 0, 0, 0x0F, 0x8F, 0, 0, 0x00, 0xFA, 0x00, 0x00])
        self.assertEqual(entry(self.info(), 1)[1], " ")

    def test_base_board_analog_output_goes_to_the_ssp2_record(self):
        self.sim({"slot0": [{"addr": "0x4C", "type": "expander", "pins": [255, 63]},
                            {"addr": "0x40", "type": "expander"}]})
        c = self.start()
        self.configure([0x0E, 0x3F, 0, 0, 0xFF, 0xFF, 0x00, 0xFA, 0x00, 0x00])
        self.assertEqual(entry(self.info(), 0)[:3], (0x3F0E, " ", "I/O: BASE21"))
        c.set_mode(2)
        c.write_reg(BA_AQ + 16 * 3, 16, 32000)  # %AQ4
        rec = self.ctl.path("proc", "Ssp2_Out_Data")

        def word1():
            try:
                with open(rec, "rb") as f:
                    data = f.read()
                return struct.unpack("<3I", data)[1] if len(data) == 12 else None
            except OSError:
                return None

        self.assertTrue(wait_for(lambda: word1() == 0xDF9F, 3), word1())


if __name__ == "__main__":
    unittest.main()
