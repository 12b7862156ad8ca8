"""The controller's own IEC blocks inside the running controller: an
application downloaded with the command protocol calls CTU, SHL, SCALEINT
and TON100MS every cycle; its results are bound to %AQ and an input to %AI."""

import os
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")
AQ1, AI1 = 24576, 16384


class IecBlocks(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iecblk-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        program = subprocess.run([WRITER, "blocks-program", "/dev/stdout"], check=True,
                                 stdout=subprocess.PIPE).stdout
        self.c.download(0, program)
        self.c.set_mode(2)

    def words(self, ref, n):
        return struct.unpack("<%dH" % n, self.c.read_reg(ref, 16 * n))

    def test_blocks_run_in_the_scan(self):
        # CTU with CU held counts to PV 5; SHL 16#1234 by 4; SCALEINT (5, 0, 0, 0, 10) = 50;
        # TON100MS PT 20 ends at ET 20
        self.assertTrue(wait_for(lambda: self.words(AQ1, 3) == (5, 0x2340, 50), 10), self.words(AQ1, 4))
        self.assertTrue(wait_for(lambda: self.words(AQ1 + 48, 1)[0] == 20, 10), self.words(AQ1, 4))
        # %AI1 feeds SHL's input
        self.c.write_reg(AI1, 16, 0x0001)
        self.assertTrue(wait_for(lambda: self.words(AQ1 + 16, 1)[0] == 0x0010, 5), self.words(AQ1, 4))


if __name__ == "__main__":
    unittest.main()
