#!/usr/bin/python3
"""Speed of the IEC runtime's workbench server over loopback TCP: the kind-21
round trip and a 256 KB code download in 1024-byte frames (stop, start piece,
256 append pieces, end piece). Runs the controller like the black-box tests,
in a network namespace of its own:

    PLC_CONTROLLER=$PWD/build/controller tests/blackbox/run_in_netns.sh \\
        /usr/bin/python3 bench/iec/bench_svc_wire.py
"""

import os
import statistics
import struct
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "blackbox"))
import test_iec_runtime as rt  # noqa: E402


class Wire(rt.IecRuntime):
    def runTest(self):
        self.hand_over_ethernet()
        s = self.connect()
        q = rt.frame(21, b"\x00\x01")
        for _ in range(50):
            self.ask(s, q)
        times = []
        for _ in range(500):
            t0 = time.perf_counter()
            self.ask(s, q)
            times.append(time.perf_counter() - t0)
        times.sort()
        print("kind-21 round trip: median %.3f ms, 99th percentile %.3f ms (target < 2 ms)"
              % (1000 * statistics.median(times), 1000 * times[int(0.99 * len(times))]))
        image = rt.written("image")
        image += bytes(256 * 1024 - len(image))
        head = b"\x01" + struct.pack(">I", len(image)) + b"z7\x00"
        piece = 1024 - 1 - len(head)  # frame size 1024: kind, head, data
        t0 = time.perf_counter()
        self.assertEqual(self.ask(s, rt.frame(5, b"\x01\x00z7\x00")), rt.frame(5, b"\x00\x00"))
        self.assertEqual(self.ask(s, rt.frame(2, head)), rt.frame(2, b"\x00\x00"))
        frames = 0
        for i in range(0, len(image), piece):
            self.assertEqual(self.ask(s, rt.frame(3, head + image[i:i + piece])), rt.frame(3, b"\x00\x00"))
            frames += 1
        end = self.ask(s, rt.frame(4, head))
        dt = time.perf_counter() - t0
        print("256 KB download in %d frames of 1024 bytes: %.3f s (target < 2 s), end answer %s"
              % (frames, dt, end.hex()))


if __name__ == "__main__":
    r = unittest.TextTestRunner(verbosity=0).run(Wire())
    sys.exit(0 if r.wasSuccessful() else 1)
