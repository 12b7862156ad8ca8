"""Text buffers and XML documents inside the running controller: an
application downloaded with the command protocol builds a text and a
document in its heap and writes them to files under the root."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bbsupport import CONTROLLER, Controller, wait_for  # noqa: E402

WRITER = os.path.join(os.path.dirname(CONTROLLER), "iec_program_writer")


class IecTxbXml(unittest.TestCase):
    def setUp(self):
        self.ctl = Controller(prefix="plc-bb-iectxb-")
        self.addCleanup(self.ctl.cleanup)
        self.c = self.ctl.start(port=True).client
        self.c.set_mode(0)
        program = subprocess.run([WRITER, "txbxml-program", "/dev/stdout"], check=True,
                                 stdout=subprocess.PIPE).stdout
        self.c.download(0, program)
        self.c.set_mode(2)

    def text(self, rel):
        try:
            with open(self.ctl.path(*rel.split("/")), "rb") as f:
                return f.read()
        except OSError:
            return None

    def test_text_and_document_files(self):
        self.assertTrue(wait_for(lambda: self.text("mnt/cfg/t.txt") == b"Hello42!\n", 10),
                        self.text("mnt/cfg/t.txt"))
        want = (b'<?xml version="1.0" standalone="yes"?><cfg><item id="8">'
                b'x&lt;y &amp; &quot;z&quot;</item></cfg>')
        self.assertTrue(wait_for(lambda: self.text("mnt/cfg/x.xml") == want, 10), self.text("mnt/cfg/x.xml"))


if __name__ == "__main__":
    unittest.main()
