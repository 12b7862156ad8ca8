#!/usr/bin/python3
"""SP5 file transfer of 64 KB against lrzsz's ZMODEM over the same kind of
line: a socat pseudo-terminal pair, sz on one end and rz on the other, one
run each; then the SP5 benchmark (build/bench/bench_sp5_link) for both
directions, and the ratio of the times (ZMODEM time / SP5 time: 1.0 or more
means SP5 is as fast or faster).

    /usr/bin/python3 bench/iec/bench_sp5_link.py [build/bench/bench_sp5_link]
"""

import json
import os
import subprocess
import sys
import tempfile
import time


def zmodem_seconds(folder):
    a, b = os.path.join(folder, "ptyA"), os.path.join(folder, "ptyB")
    socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b])
    try:
        deadline = time.monotonic() + 5
        while not (os.path.exists(a) and os.path.exists(b)):
            if time.monotonic() > deadline:
                raise RuntimeError("socat made no pair")
            time.sleep(0.01)
        src = os.path.join(folder, "big.bin")
        with open(src, "wb") as f:
            f.write(bytes((i * 13 + i // 1000) & 0xFF for i in range(65536)))
        out = os.path.join(folder, "out")
        os.makedirs(out, exist_ok=True)
        with open(a, "r+b", buffering=0) as ea, open(b, "r+b", buffering=0) as eb:
            t0 = time.monotonic()
            rz = subprocess.Popen(["rz", "-q", "-y"], stdin=eb, stdout=eb, stderr=subprocess.DEVNULL, cwd=out)
            sz = subprocess.Popen(["sz", "-q", src], stdin=ea, stdout=ea, stderr=subprocess.DEVNULL)
            got = os.path.join(out, "big.bin")
            try:
                # done when sz has ended and the whole file is there (rz may
                # linger on its closing handshake)
                while time.monotonic() - t0 < 60:
                    if sz.poll() is not None and os.path.exists(got) and os.path.getsize(got) == 65536:
                        break
                    time.sleep(0.0005)
                t = time.monotonic() - t0
            finally:
                for p in (sz, rz):
                    if p.poll() is None:
                        p.kill()
                        p.wait()
        with open(os.path.join(out, "big.bin"), "rb") as f:
            if len(f.read()) != 65536:
                raise RuntimeError("rz received a short file")
        return t
    finally:
        socat.terminate()
        socat.wait()


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "bench", "bench_sp5_link")
    with tempfile.TemporaryDirectory() as d:
        z = zmodem_seconds(d)
    out = subprocess.run([exe, "--benchmark_format=json"], check=True, stdout=subprocess.PIPE).stdout
    runs = {b["name"].split("/")[0]: b["real_time"] / 1000.0 for b in json.loads(out)["benchmarks"]}
    print(f"ZMODEM sz->rz 64 KB: {z * 1000:.0f} ms")
    for name, t in runs.items():
        print(f"{name}: {t * 1000:.0f} ms, ratio {z / t:.2f}")


if __name__ == "__main__":
    main()
