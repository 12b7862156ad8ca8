#!/usr/bin/python3
"""Speed of the file-transfer commands over a pseudo-terminal: a 1 MB file
stored on the SD card folder and read back in 1024-byte frames, beside a
type-0 download of the same size for scale.

    PLC_CONTROLLER=build/controller /usr/bin/python3 bench/media/bench_file_transfer.py
"""

import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from serialrun import start, stop  # noqa: E402

SIZE = 1024 * 1024


def main():
    root = tempfile.mkdtemp(prefix="plc-bench-fxp-")
    os.makedirs(os.path.join(root, "dev"))
    os.makedirs(os.path.join(root, "mnt", "USB0"))
    proc, c, fds = start(root)
    try:
        data = os.urandom(SIZE)
        c.negotiate(1024)
        t0 = time.perf_counter()
        c.download(0, data, 1024)
        dt = time.perf_counter() - t0
        base = SIZE / 1024 / dt
        print("type-0 download %d bytes in 1024-byte frames: %.2f s, %.0f KB/s" % (SIZE, dt, base))

        c.negotiate(1024)
        t0 = time.perf_counter()
        code, _ = c.fxp("stor A:\\BENCH.BIN")
        assert code == 150, code
        c.fxp_write(data, 1023)
        dt = time.perf_counter() - t0
        print("stor %d bytes in 1024-byte frames: %.2f s, %.0f KB/s (%.0f%% of the download; target >= 50%%)"
              % (SIZE, dt, SIZE / 1024 / dt, 100 * SIZE / 1024 / dt / base))
        with open(os.path.join(root, "mnt", "USB0", "BENCH.BIN"), "rb") as f:
            assert f.read() == data, "stored file differs"

        t0 = time.perf_counter()
        code, n = c.fxp("retr A:\\BENCH.BIN")
        assert (code, n) == (619, SIZE), (code, n)
        back = c.fxp_read()
        dt = time.perf_counter() - t0
        assert back == data, "read file differs"
        print("retr %d bytes in 1024-byte frames: %.2f s, %.0f KB/s (%.0f%% of the download; target >= 50%%)"
              % (SIZE, dt, SIZE / 1024 / dt, 100 * SIZE / 1024 / dt / base))
    finally:
        stop(proc, fds)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
