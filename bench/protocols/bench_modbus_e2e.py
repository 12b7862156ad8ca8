"""End-to-end Modbus bench: the real controller in its own network namespace
with a Modbus configuration and a program, libmodbus's reference server beside
it, both driven by the same libmodbus client (bench_modbus_e2e) from the peer
end of a veth pair, in one run.

    PLC_CONTROLLER=$PWD/build-rel/controller PLC_E2E_TOOL=$PWD/build-rel/bench/bench_modbus_e2e \\
        tests/blackbox/run_in_netns.sh /usr/bin/python3 bench/protocols/bench_modbus_e2e.py [SECONDS]

Per program (a one-rung counter, the counter and 2,000 arithmetic rungs) and
per client count (1, 16), in three alternating rounds: requests/s, p50 and
p99 (us), p50 in scan times, server CPU %, the controller's scan rate, and
the ratio ours : libmodbus, of each round (with the load average it started
at) and of the rounds' means. The date and the load average are printed at
the start and the end. Then the idle scan
rate and CPU, and connection churn (connect, one request, close, 2,000 times)
on 502 and 18501, with libmodbus's server for comparison; descriptors and
resident memory before and after."""

import os
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "blackbox"))
from bbsupport import Controller, NetPeer, ip_addr, wait_for  # noqa: E402
from test_modbus import HOST, R, config_block, io_config, modbus_record  # noqa: E402
from test_modbus import arithmetic_program as program  # noqa: E402

TOOL = os.environ.get("PLC_E2E_TOOL", os.path.join(HERE, "..", "..", "build", "bench", "bench_modbus_e2e"))
REF_PORT = 1502
TICKS = os.sysconf("SC_CLK_TCK")
def cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def fds_rss(pid):
    n = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    return n, rss


def mean(results):
    """Field by field mean of the rounds' results."""
    return {k: sum(r[k] for r in results) / len(results) for k in results[0]}


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def parse(line):
    return {k: float(v) for k, v in (w.split("=") for w in line.split())}


class Bench:
    def __init__(self, seconds):
        self.seconds = seconds
        self.peer = NetPeer()
        self.ctl = Controller(prefix="plc-e2e-")
        self.c = self.ctl.start(port=True).client
        self.pid = self.ctl.proc.pid
        c = self.c
        c.download(5, io_config(config_block(records=[modbus_record()])))
        c.comm_lock(0)
        if not wait_for(lambda: ip_addr() == [HOST + "/24"], 10):
            raise SystemExit("no address")
        self.ref = subprocess.Popen([TOOL, "serve", str(REF_PORT)])
        self.load_program(program(0))

    def load_program(self, data):
        c = self.c
        c.set_mode(0)
        c.download(0, data)
        c.set_mode(2)
        if not wait_for(lambda: c.get_mode() == 2, 5):
            raise SystemExit("not running")

    def word(self, ref):
        return int.from_bytes(self.c.read_reg(ref, 16), "little")

    def in_peer(self, *args):
        return ["nsenter", "-t", str(self.peer.holder.pid), "-n", TOOL] + [str(a) for a in args]

    def scan_rates(self, stop, out):
        """Scan rate in 1 s windows (the counter counts every second scan)."""
        while not stop.is_set():
            self.c.write_reg(R(1), 16, 0)
            t0 = time.monotonic()
            stop.wait(1.0)
            n = self.word(R(1))
            out.append(2 * n / (time.monotonic() - t0))

    def run_load(self, port, pid, conns):
        stop, rates = threading.Event(), []
        sampler = None
        if port == 502:
            sampler = threading.Thread(target=self.scan_rates, args=(stop, rates))
            sampler.start()
        c0, t0 = cpu(pid), time.monotonic()
        out = subprocess.run(self.in_peer("load", HOST, port, conns, self.seconds), stdout=subprocess.PIPE,
                             text=True).stdout
        used = 100 * (cpu(pid) - c0) / (time.monotonic() - t0)
        stop.set()
        if sampler:
            sampler.join()
        r = parse(out)
        r["cpu"] = used
        r["scans"] = sum(rates) / len(rates) if rates else 0
        return r

    def loads(self, rounds=3):
        """Ours and libmodbus's in alternating rounds, each round printed with
        its ratio and the load average it started at; then the rounds' mean
        rates, mean latencies, p50 also in scan times of ours, and the
        smallest, middle and largest of the rounds' ratios."""
        for name, rungs in (("counter", 0), ("2000 rungs", 2000)):
            self.load_program(program(rungs))
            for conns in (1, 16):
                ours, theirs, ratios = [], [], []
                for k in range(rounds):
                    load = load1()
                    o = self.run_load(502, self.pid, conns)
                    t = self.run_load(REF_PORT, self.ref.pid, conns)
                    ours.append(o)
                    theirs.append(t)
                    ratios.append(o["per_s"] / max(t["per_s"], 1))
                    print("%-10s %2d conn round %d: ours %6.0f req/s p50 %5.0f us cpu %3.0f%% | libmodbus %6.0f req/s "
                          "p50 %5.0f us cpu %3.0f%% | ratio %.2f | load %.2f"
                          % (name, conns, k + 1, o["per_s"], o["p50_us"], o["cpu"], t["per_s"], t["p50_us"], t["cpu"],
                             ratios[-1], load), flush=True)
                o, t = mean(ours), mean(theirs)
                p50_scans = o["p50_us"] * o["scans"] / 1e6
                r = sorted(ratios)
                print("%-10s %2d conn: ours %6.0f req/s p50 %5.0f us (%.2f scans) p99 %5.0f us cpu %3.0f%% "
                      "scans/s %6.0f | libmodbus %6.0f req/s p50 %5.0f p99 %5.0f us cpu %3.0f%% | ratio %.2f "
                      "(rounds min/median/max %.2f/%.2f/%.2f)"
                      % (name, conns, o["per_s"], o["p50_us"], p50_scans, o["p99_us"], o["cpu"], o["scans"],
                         t["per_s"], t["p50_us"], t["p99_us"], t["cpu"], o["per_s"] / max(t["per_s"], 1),
                         r[0], r[len(r) // 2], r[-1]), flush=True)
        self.load_program(program(0))

    def idle(self):
        c0, t0 = cpu(self.pid), time.monotonic()
        time.sleep(10)
        used = 100 * (cpu(self.pid) - c0) / (time.monotonic() - t0)
        stop, rates = threading.Event(), []
        th = threading.Thread(target=self.scan_rates, args=(stop, rates))
        th.start()
        time.sleep(3.5)
        stop.set()
        th.join()
        print("idle: cpu %.1f%% over 10 s, scans/s %.0f" % (used, sum(rates) / len(rates)), flush=True)

    def churn(self, n=2000):
        before = fds_rss(self.pid)
        out = {}
        for port in (502, REF_PORT):
            r = subprocess.run(self.in_peer("churn", HOST, port, n), stdout=subprocess.PIPE, text=True).stdout
            out[port] = parse(r)["cycles_per_s"]
        # The programming tool's service: connect, one request (the local
        # identity), close.
        sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
        t0 = time.monotonic()
        done = 0
        for _ in range(n):
            t = self.peer.tcp_client(HOST, timeout=5)
            try:
                t.get_local_id()
                done += 1
            finally:
                t.close()
        out[18501] = done / (time.monotonic() - t0)
        wait_for(lambda: fds_rss(self.pid)[0] == before[0], 10)
        after = fds_rss(self.pid)
        print("churn %d cycles: 502 %.0f/s, 18501 %.0f/s, libmodbus %.0f/s; descriptors %d -> %d, RSS %d -> %d kB"
              % (n, out[502], out[18501], out[REF_PORT], before[0], after[0], before[1], after[1]), flush=True)

    def close(self):
        self.ref.terminate()
        self.ref.wait()
        self.ctl.cleanup()
        self.peer.close()


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    print("date:", time.strftime("%Y-%m-%d %H:%M:%S %z"), flush=True)
    with open("/proc/loadavg") as f:
        print("load average at start:", " ".join(f.read().split()[:3]), flush=True)
    b = Bench(seconds)
    try:
        b.idle()
        b.loads()
        b.churn()
    finally:
        b.close()
        with open("/proc/loadavg") as f:
            print("load average at end:", " ".join(f.read().split()[:3]), flush=True)


if __name__ == "__main__":
    main()
