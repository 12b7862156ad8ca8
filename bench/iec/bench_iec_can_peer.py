#!/usr/bin/python3
"""Application CAN messages of an IEC application against a Python peer on
the host bus (no vcan or can-utils on these machines, so no candump to
compare with): 10,000 frames at 2,000/s over 0x181..0x1A0, each echoed by
the application on 0x481..0x4A0 as its value changes (frames/s, none lost),
and the jitter of the 10 ms cyclic message 0x38F (median, p99) beside the
scan time. The application keeps the last frame of an identifier in a cycle,
so the sender holds a value until the previous value of its identifier came
back (32 identifiers: 16 ms apart at the nominal rate, so this rarely waits):
a value never echoed is then a frame lost, not one overwritten by a burst of
the sender or a long scan. The sender's worst lateness and the sends it held
are printed too.

Run in a network namespace of its own, like the black-box tests:
    PLC_CONTROLLER=build/controller tests/blackbox/run_in_netns.sh /usr/bin/python3 bench/iec/bench_iec_can_peer.py
"""

import os
import socket
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


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's value, absent from older Python builds


def kernel_stamps(folder, cid, seconds):
    """Arrival times (s) of the frames on cid at a socket bound in the port's
    folder for the given time, from the kernel's SO_TIMESTAMPNS."""
    path = os.path.join(folder, "stamps")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.bind(path)
    out = []
    try:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            sock.settimeout(max(0.001, end - time.monotonic()))
            try:
                data, anc, _, _ = sock.recvmsg(64, socket.CMSG_SPACE(16))
            except socket.timeout:
                break
            if len(data) != 16 or struct.unpack("<I", data[:4])[0] & 0x1FFFFFFF != cid:
                continue
            for level, kind, raw in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    sec, ns = struct.unpack("qq", raw[:16])
                    out.append(sec + ns / 1e9)
    finally:
        # the name goes first: a send to a closed socket still named here
        # would make the controller drop the name as stale itself
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        sock.close()
    return out


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
        # jitter of the 10 ms cyclic message over 10 s: each gap's distance from
        # 10 ms, by the kernel's receive time stamps of a socket of its own (so
        # the Python reader's own scheduling does not count)
        t = kernel_stamps(peer.dir, 0x38F, 10.0)
        gaps = sorted((b - a) * 1000 for a, b in zip(t, t[1:]))
        jitter = sorted(abs(g - 10.0) for g in gaps)
        scan = int.from_bytes(c.read_reg(3072 + 16 * 5, 16), "little") / 10.0  # %SR6, 100 us units
        print("cyclic 10 ms: %d frames, gap median %.2f ms, max %.2f ms; jitter p99 %.2f ms (target: scan + 1 ms = "
              "%.2f ms); average scan %.2f ms" % (len(t), statistics.median(gaps), gaps[-1],
                                                jitter[int(len(jitter) * 0.99)], scan + 1.0, scan))
        # 10,000 frames at 2,000/s, each value echoed once
        peer.clear()
        n, rate = 10000, 2000.0
        late, held = 0.0, 0
        last = {}  # identifier -> last value echoed on it

        def note(_, fr):
            if 0x481 <= fr[0] <= 0x4A0 and len(fr[1]) == 2:
                last[fr[0]] = struct.unpack("<H", fr[1])[0]
        peer.responder = note
        t0 = time.monotonic()
        for i in range(n):
            due = t0 + i / rate
            left = due - time.monotonic()
            if left > 0:
                time.sleep(left)
            late = max(late, -left)
            # the previous value of this identifier echoed first (at most 1 s):
            # a value is never overwritten by the next one in the same cycle
            prev = i + 1 - 32
            if prev > 0 and last.get(0x481 + i % 32) != prev:
                held += 1
                end = time.monotonic() + 1.0
                while last.get(0x481 + i % 32) != prev and time.monotonic() < end:
                    time.sleep(0.0001)
            peer.send(0x181 + i % 32, struct.pack("<H", (i + 1) & 0xFFFF))
        sent = time.monotonic() - t0
        echoes_of = lambda: [f for f in peer.got() if 0x481 <= f[0] <= 0x4A0]  # noqa: E731
        bbsupport.wait_for(lambda: len(echoes_of()) >= n, 10)
        echoes = echoes_of()
        values = {struct.unpack("<H", f[1])[0] for f in echoes}
        lost = sum(1 for i in range(1, n + 1) if i not in values)
        span = echoes[-1][3] - echoes[0][3] if len(echoes) > 1 else 0.0
        print("10000 frames sent in %.2f s (%.0f frames/s, sender at most %.1f ms late, %d sends held for an echo); "
              "%d echoes, %d values lost, echo rate %.0f frames/s"
              % (sent, n / sent, late * 1000, held, len(echoes), lost, (len(echoes) - 1) / span if span else 0.0))
    finally:
        peer.close()
        ctl.cleanup()


if __name__ == "__main__":
    main()
