"""Serial Modbus slave latency: the real controller runs a one-rung program
that opens the programming port in RTU mode at 115,200 baud and answers as
station 0x11; a libmodbus client (ctypes, modbus_new_rtu) on the other end of
a socat pseudo-terminal pair reads 4 holding registers 2,000 times. Prints
p50 and p99 of the request-to-answer time (us) beside the target of one
main-loop pass and 3.5 characters: the pass time is the controller's own
scan-to-scan time (%SR6 average, %SR7 minimum, %SR8 maximum, 100 us ticks),
read through the same slave (input registers 4005-4007) every 200 requests
of the same run, outside the timed requests.

    PLC_CONTROLLER=$PWD/build/controller /usr/bin/python3 bench/protocols/bench_mbserial_slave.py [COUNT]
"""

import ctypes
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from plcclient import PlcClient, ProtocolError, set_raw  # noqa: E402

CONTROLLER = os.environ.get("PLC_CONTROLLER", os.path.join(HERE, "..", "..", "build", "controller"))


def M(n):
    return 14336 + n - 1


def R(n):
    return 32768 + 16 * (n - 1)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    root = tempfile.mkdtemp(prefix="bench-mbs-")
    os.makedirs(os.path.join(root, "dev"))
    port, peer = os.path.join(root, "dev", "ttySP0"), os.path.join(root, "peer")
    soc = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + port, "pty,raw,echo=0,link=" + peer])
    proc = None
    try:
        while not (os.path.exists(port) and os.path.exists(peer)):
            time.sleep(0.05)
        env = dict(os.environ, PLC_ROOT=root, PLC_RESET="exit")
        proc = subprocess.Popen([CONTROLLER], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        fd = os.open(peer, os.O_RDWR | os.O_NOCTTY)
        set_raw(fd)
        c = PlcClient(fd, timeout=3.0)
        end = time.monotonic() + 10
        while True:
            try:
                c.flush_input()
                c.target = c.get_local_id()
                break
            except ProtocolError:
                if time.monotonic() > end:
                    raise
                time.sleep(0.1)
        words = [M(1), 132, 0, 9, 3, 3 << 8, 38, M(11), M(11), 137, 0, 0x11, 0, 0, R(50), R(51), 38, M(12), 9]
        c.set_mode(0)
        c.download(0, b"".join(struct.pack("<H", w) for w in words) + struct.pack("<I", 0x8000) + bytes(5))
        c.set_mode(2)
        for i, v in enumerate([0x0A0B, 0x0C0D, 0x1234, 0xFFFE]):
            c.write_reg(R(5 + i), 16, v)
        c.write_reg(M(1), 1, 1)
        time.sleep(0.3)
        os.close(fd)
        mb = ctypes.CDLL("libmodbus.so.5")
        mb.modbus_new_rtu.restype = ctypes.c_void_p
        mb.modbus_new_rtu.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char, ctypes.c_int, ctypes.c_int]
        for f in ("modbus_set_slave", "modbus_connect", "modbus_read_registers", "modbus_read_input_registers",
                  "modbus_close", "modbus_free"):
            getattr(mb, f).argtypes = [ctypes.c_void_p] + ([ctypes.c_int] if f == "modbus_set_slave" else []) + \
                ([ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_uint16)] if "read" in f else [])
        ctx = mb.modbus_new_rtu(peer.encode(), 115200, b"N", 8, 1)
        mb.modbus_set_slave(ctx, 0x11)
        if mb.modbus_connect(ctx) != 0:
            raise SystemExit("libmodbus could not open the port")
        regs = (ctypes.c_uint16 * 4)()
        scan = (ctypes.c_uint16 * 3)()
        times, avgs, maxs = [], [], []
        for i in range(count):
            if i % 200 == 100 and mb.modbus_read_input_registers(ctx, 4005, 3, scan) == 3:
                avgs.append(scan[0])
                maxs.append(scan[2])
            t0 = time.perf_counter()
            n = mb.modbus_read_registers(ctx, 516, 4, regs)
            if n == 4:
                times.append((time.perf_counter() - t0) * 1e6)
        mb.modbus_close(ctx)
        mb.modbus_free(ctx)
        times.sort()
        if not times:
            raise SystemExit("no answers")
        print("answers %d of %d, values %s" % (len(times), count, [hex(v) for v in regs]))
        p50, p99 = times[len(times) // 2], times[int(len(times) * 0.99)]
        print("p50 %.0f us, p99 %.0f us (3.5 characters at 115,200 baud: 303 us)" % (p50, p99))
        if avgs:
            avgs.sort()
            avg_us, max_us = avgs[len(avgs) // 2] * 100, max(maxs) * 100
            target = avg_us + 303
            print("pass time (scan to scan): average %d us (median of %d samples), maximum %d us" %
                  (avg_us, len(avgs), max_us))
            for name, v in (("p50", p50), ("p99", p99)):
                print("%s %.0f us vs one pass + 3.5 characters %d us: %s" %
                      (name, v, target, "met" if v <= target else "missed"))
    finally:
        if proc is not None:
            proc.terminate()
            proc.wait(10)
        soc.terminate()
        soc.wait(10)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
