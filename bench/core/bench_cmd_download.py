#!/usr/bin/python3
"""Speed of the programming protocol over a pseudo-terminal: a 2 MB program
download in 1024-byte frames (and its upload), and the get_mode round trip.

    PLC_CONTROLLER=build/controller /usr/bin/python3 bench/core/bench_cmd_download.py
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from serialrun import start, stop  # noqa: E402

SIZE = 2 * 1024 * 1024


def main():
    root = tempfile.mkdtemp(prefix="plc-bench-cmd-")
    os.makedirs(os.path.join(root, "dev"))
    proc, c, fds = start(root)
    try:
        rtts = []
        for _ in range(300):
            t0 = time.perf_counter()
            c.get_mode()
            rtts.append(time.perf_counter() - t0)
        print("get_mode round trip: median %.3f ms, p95 %.3f ms (300 runs)"
              % (statistics.median(rtts) * 1e3, sorted(rtts)[284] * 1e3))

        prog = os.urandom(SIZE)
        c.negotiate(1024)
        t0 = time.perf_counter()
        c.download(0, prog, 1024)
        dt = time.perf_counter() - t0
        print("download %d bytes in 1024-byte frames: %.2f s, %.0f KB/s" % (SIZE, dt, SIZE / 1024 / dt))

        c.negotiate(1024)
        t0 = time.perf_counter()
        back = c.upload(0)
        dt = time.perf_counter() - t0
        assert back == prog, "upload differs"
        print("upload %d bytes in 1024-byte frames: %.2f s, %.0f KB/s" % (SIZE, dt, SIZE / 1024 / dt))
    finally:
        stop(proc, fds)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
