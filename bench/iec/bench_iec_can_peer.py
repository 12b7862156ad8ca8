#!/usr/bin/python3
"""Application CAN messages of an IEC application against a Python peer on
the host bus (no vcan or can-utils on these machines, so no candump to
compare with): 10,000 frames at 2,000/s on 0x181, each echoed by the
application on 0x381 as its value changes (frames/s, none lost), and the
jitter of the 10 ms cyclic message 0x38F (median, p99) beside the scan time.

Run in a network namespace of its own, like the black-box tests:
    PLC_CONTROLLER=build/controller tests/blackbox/run_in_netns.sh /usr/bin/python3 bench/iec/bench_iec_can_peer.py
"""

import os
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "blackbox"))
import bbsupport  # noqa: E402
from test_can import Peer  # noqa: E402

bbsupport.CONTROLLER = os.environ.get("PLC_CONTROLLER", os.path.join(HERE, "..", "..", "build", "controller"))
WRITER = os.path.join(os.path.dirname(bbsupport.CONTROLLER), "iec_program_writer")


def main():
    sys.setswitchinterval(0.0001)  # the reader thread keeps up with the sender
    ctl = bbsupport.Controller(prefix="plc-bench-iecc-")
    peer = Peer(ctl.root, port="can1")
    try:
        c = ctl.start(port=True).client
        c.set_mode(0)
        c.download(0, subprocess.run([WRITER, "canecho", "/dev/stdout"], check=True, stdout=subprocess.PIPE).stdout)
        c.set_mode(2)
        if not peer.wait(0x38F, 10):
            raise SystemExit("no cyclic frame")
        time.sleep(0.5)
        # jitter of the 10 ms cyclic message over 2 s
        peer.clear()
        time.sleep(2.0)
        t = [f[3] for f in peer.got(0x38F)]
        gaps = sorted((b - a) * 1000 for a, b in zip(t, t[1:]))
        scan = int.from_bytes(c.read_reg(3072 + 16 * 5, 16), "little") / 10.0  # %SR6, 100 us units
        print("cyclic 10 ms: %d frames, gap median %.2f ms, p99 %.2f ms, max %.2f ms; average scan %.2f ms"
              % (len(t), statistics.median(gaps), gaps[int(len(gaps) * 0.99)], gaps[-1], scan))
        # 10,000 frames at 2,000/s, each value echoed once
        peer.clear()
        n, rate = 10000, 2000.0
        t0 = time.monotonic()
        for i in range(n):
            due = t0 + i / rate
            left = due - time.monotonic()
            if left > 0:
                time.sleep(left)
            peer.send(0x181 + i % 4, struct.pack("<H", (i + 1) & 0xFFFF))
        sent = time.monotonic() - t0
        echoes_of = lambda: [f for f in peer.got() if 0x381 <= f[0] <= 0x384]  # noqa: E731
        bbsupport.wait_for(lambda: len(echoes_of()) >= n, 10)
        echoes = echoes_of()
        values = {struct.unpack("<H", f[1])[0] for f in echoes}
        lost = sum(1 for i in range(1, n + 1) if i not in values)
        span = echoes[-1][3] - echoes[0][3] if len(echoes) > 1 else 0.0
        print("10000 frames sent in %.2f s (%.0f frames/s); %d echoes, %d values lost, echo rate %.0f frames/s"
              % (sent, n / sent, len(echoes), lost, (len(echoes) - 1) / span if span else 0.0))
    finally:
        peer.close()
        ctl.cleanup()


if __name__ == "__main__":
    main()
