#!/usr/bin/python3
"""The CAN node of the running controller against a Python peer on the host
bus: SDO round trip (median and p99), 10,000 RPDOs (frames/s, none lost),
get_mode over CAN and a 64 KB download over CAN (KB/s).

Run in a network namespace of its own, like the black-box tests:
    PLC_CONTROLLER=build/controller tests/blackbox/run_in_netns.sh /usr/bin/python3 bench/io/bench_can_peer.py
"""

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "blackbox"))
import bbsupport  # noqa: E402
from test_can import CanClient, CanTool, Peer, block, r_addr  # noqa: E402

bbsupport.CONTROLLER = os.environ.get("PLC_CONTROLLER", os.path.join(HERE, "..", "..", "build", "controller"))


def main():
    ctl = bbsupport.Controller(prefix="plc-bench-can-")
    peer = Peer(ctl.root)
    try:
        ctl.start(port=True)
        blk = block(node=5, hb=0, status=r_addr(100), rpdos=[(0x205, 0xFE, [0xA5441410])])
        ctl.client.download(23, blk)
        ctl.client.target = 5
        time.sleep(0.5)

        # SDO round trip
        rtt = []
        for _ in range(1000):
            t0 = time.monotonic()
            if peer.upload(5, 0x1000) is None:
                raise SystemExit("SDO request lost")
            rtt.append((time.monotonic() - t0) * 1000)
        rtt.sort()
        print("SDO round trip: median %.3f ms, p99 %.3f ms (1000 requests)" %
              (statistics.median(rtt), rtt[int(0.99 * len(rtt)) - 1]))

        # 10,000 RPDOs, each a new value of %R20; the last one must stand and
        # the node must report no receive overflow.
        n = 10000
        t0 = time.monotonic()
        for i in range(1, n + 1):
            peer.send(0x205, (i & 0xFFFF).to_bytes(2, "little"))
        dt = time.monotonic() - t0
        time.sleep(0.3)
        last = int.from_bytes(ctl.client.read_reg(r_addr(20), 16), "little")
        status = int.from_bytes(ctl.client.read_reg(r_addr(100), 32), "little")
        print("RPDOs: %d in %.2f s = %.0f frames/s; last value %s, receive overflow bit %d" %
              (n, dt, n / dt, "kept" if last == n & 0xFFFF else "LOST (%d)" % last, (status >> 21) & 1))

        # Programming over CAN (the serial conversation must let the port go first).
        time.sleep(5.5)
        tool = CanTool(peer, 5)
        c = CanClient(tool, target=5, timeout=5.0)
        times = []
        for _ in range(50):
            t0 = time.monotonic()
            c.get_mode()
            times.append((time.monotonic() - t0) * 1000)
        print("get_mode over CAN: median %.2f ms, max %.2f ms (50 exchanges)" % (statistics.median(times), max(times)))
        data = os.urandom(64 * 1024)
        t0 = time.monotonic()
        c.download(0, data)
        dt = time.monotonic() - t0
        print("64 KB download over CAN in 64-byte frames: %.2f s = %.1f KB/s" % (dt, 64 / dt))
        ok = c.upload(0) == data
        print("upload matches: %s" % ok)
        c.negotiate(252)  # the longest frame whose answers fit one block
        t0 = time.monotonic()
        c.download(0, data, 252)
        dt = time.monotonic() - t0
        print("64 KB download over CAN in 252-byte frames: %.2f s = %.1f KB/s" % (dt, 64 / dt))
    finally:
        peer.close()
        ctl.cleanup()


if __name__ == "__main__":
    main()
