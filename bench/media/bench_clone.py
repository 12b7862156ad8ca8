#!/usr/bin/python3
"""Clone save and load of a 2 MB program on the SD card folder (targets: at
most 10 s each). The controller's loop stands still while the internal
client works, so the longest loop pause is the time the request takes.

    PLC_CONTROLLER=build/controller /usr/bin/python3 bench/media/bench_clone.py
"""

import os
import shutil
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from serialrun import ProtocolError, start, stop  # noqa: E402

W291 = 5680


def main():
    root = tempfile.mkdtemp(prefix="plc-bench-clone-")
    for d in ("dev", "mnt/cfg", "mnt/USB0", "sim"):
        os.makedirs(os.path.join(root, d))
    proc, c, fds = start(root)
    try:
        size = 2 * 1024 * 1024 - 16
        words = [9] * (size // 2)
        prog = b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", 0x8000) + bytes(5)
        c.set_mode(0)
        c.negotiate(1024)
        c.download(0, prog, 1024)
        time.sleep(1.5)
        dat = os.path.join(root, "mnt", "USB0", "clone.dat")
        t0 = time.perf_counter()
        c.write_reg(W291 + 8, 1, 1)
        while not os.path.exists(dat):
            time.sleep(0.02)
        dt = time.perf_counter() - t0
        print("clone save, %d-byte program: %.2f s (target <= 10 s); the loop pauses as long" % (len(prog), dt))
        time.sleep(0.5)
        c.flush_input()
        c.write_reg(W291 + 9, 1, 1)
        while True:
            try:
                if (c.read_word(291) >> 12) & 1:
                    break
            except ProtocolError:
                c.flush_input()
            time.sleep(0.02)
        t0 = time.perf_counter()
        c.write_reg(W291 + 12, 1, 0)
        proc.wait(timeout=120)
        dt = time.perf_counter() - t0
        print("clone load, %d-byte program: %.2f s to the restart (target <= 10 s)" % (len(prog), dt))
        stop(proc, fds)
        proc, c, fds = start(root)
        c.negotiate(1024)
        assert c.upload(0) == prog, "the loaded program differs"
        print("loaded program verified after the restart")
    finally:
        stop(proc, fds)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
