"""Cache lines an idle main-loop pass touches, step by step.

    python3 bench/core/cold_lines.py build-rel/bench/bench_exec

Runs bench_exec's BM_ServingColdPass under callgrind in a network namespace
of its own. Each pass of that benchmark starts with the caches emptied, so
every line of code and data the pass touches misses the simulated last-level
cache once: its misses are the lines it touches. Callgrind writes one profile
per pass; this prints the median pass (by lines) with its instructions, code
lines and data lines, then the same for each step the loop called in it.

Under callgrind a pass takes longer than the 50 us after which the loop
reads its readiness set again, so the connection poll (EnetThread, in
EnetMain) runs in every profiled pass; natively an idle pass leaves it out.

After the loop's 1 ms wait a pass finds most of these lines evicted (the
machine ran other work meanwhile), so its time grows with their number
rather than with its instructions."""

import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
CACHES = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=2097152,16,64"]


def summary(path):
    """Ir, code lines, data lines of one profile (events Ir Dr Dw I1mr D1mr
    D1mw ILmr DLmr DLmw)."""
    with open(path) as f:
        for line in f:
            if line.startswith("summary:"):
                v = [int(x) for x in line.split()[1:]]
                return v[0], v[6], v[7] + v[8]
    return None


def steps(path):
    """(Ir, code lines, data lines, name) of the calls The_Loop and
    Main_AfterPass made in one profile."""
    out = subprocess.run(["callgrind_annotate", "--tree=calling", "--show=Ir,ILmr,DLmr,DLmw",
                          "--threshold=100", path], stdout=subprocess.PIPE, text=True).stdout
    rows, caller = [], None
    num = r"([\d,]+|\.)\s*(?:\([^)]*\))?\s+"
    pat = re.compile(r"^\s*" + num * 4 + r"([*>])\s+(.*?)\s*(?:\(\d+x\))?\s*(?:\[.*\])?\s*$")
    for line in out.splitlines():
        m = pat.match(line)
        if not m:
            continue
        vals = [0 if x == "." else int(x.replace(",", "")) for x in m.groups()[:4]]
        kind, name = m.group(5), m.group(6)
        if name.startswith("???:"):
            name = name[4:]  # no source file
        if kind == "*":
            caller = name
        elif caller in ("The_Loop()", "Main_AfterPass()"):
            rows.append((vals[0], vals[1], vals[2] + vals[3], name))
    return rows


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-rel", "bench", "bench_exec")
    netns = os.path.join(ROOT, "tests", "blackbox", "run_in_netns.sh")
    with tempfile.TemporaryDirectory(prefix="cold-lines-") as d:
        cmd = ("ip link add eth0 type veth peer name eth0p && ip link set eth0p up && exec valgrind "
               "--tool=callgrind --callgrind-out-file=%s/cg --collect-atstart=no "
               "--toggle-collect='Bench_ColdPass(long*)' --cache-sim=yes %s %s "
               "--benchmark_filter=ServingColdPass" % (d, " ".join(CACHES), exe))
        subprocess.run([netns, "sh", "-c", cmd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        passes = []
        for p in glob.glob(os.path.join(d, "cg.*")):
            s = summary(p)
            if s and s[0] > 0:
                passes.append((s[1] + s[2], s, p))
        if not passes:
            raise SystemExit("no pass was profiled")
        passes.sort()
        lines, (ir, code, data), path = passes[len(passes) // 2]
        print("passes profiled: %d; median pass: %d instructions, %d lines (%d code, %d data)"
              % (len(passes), ir, lines, code, data))
        print("%8s %6s %6s  step" % ("instr", "code", "data"))
        for ir, code, data, name in steps(path):
            print("%8d %6d %6d  %s" % (ir, code, data, name))


if __name__ == "__main__":
    main()
