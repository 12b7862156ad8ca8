"""Cache lines an idle main-loop pass touches, step by step; and the order in
which the Release build lays out the code of a pass.

    python3 bench/core/cold_lines.py build-rel/bench/bench_exec
    python3 bench/core/cold_lines.py --sections exec/pass_sections.txt build-rel/bench/bench_exec

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
rather than with its instructions, and with how far apart they lie.

With --sections FILE it writes instead the code sections (one function each,
the Release build compiles with -ffunction-sections) of the functions that
run in at least half of the idle passes, then of those that run in at least
half of the passes of BM_ServingRequest (one client reading registers), in
the order the pass calls them; the Release build's linker places them
together in that order."""

import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
CACHES = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=2097152,16,64"]
NETNS = os.path.join(ROOT, "tests", "blackbox", "run_in_netns.sh")
COLD_PASS = "Bench_ColdPass(long*)"
# The same functions by their symbols (the profiles for --sections keep
# names as the linker sees them).
COLD_PASS_SYM = "_Z14Bench_ColdPassPl"
REQUEST_PASS_SYM = "_Z10Bench_PassPl"
SECTIONS_HEADER = """# Code sections of the functions a main-loop pass runs, in the order the
# pass calls them: the Release build's linker lays them out together in this
# order, so that a pass after the loop's wait finds its code in few,
# consecutive cache lines. Written by bench/core/cold_lines.py --sections;
# a function renamed or gone only drops out of the layout.
"""


def callgrind(exe, out, bench, toggle, demangle, cache_sim):
    """Runs one benchmark of bench_exec under callgrind, writing profiles to out."""
    opts = ["--tool=callgrind", "--callgrind-out-file=%s" % out, "--collect-atstart=no",
            "--toggle-collect='%s'" % toggle]
    if cache_sim:
        opts += ["--cache-sim=yes"] + CACHES
    if not demangle:
        opts.append("--demangle=no")
    cmd = ("ip link add eth0 type veth peer name eth0p && ip link set eth0p up && exec valgrind %s %s "
           "--benchmark_filter=%s" % (" ".join(opts), exe, bench))
    subprocess.run([NETNS, "sh", "-c", cmd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def summary(path):
    """Ir, code lines, data lines of one profile (events Ir Dr Dw I1mr D1mr
    D1mw ILmr DLmr DLmw)."""
    with open(path) as f:
        for line in f:
            if line.startswith("summary:"):
                v = [int(x) for x in line.split()[1:]]
                return (v[0], v[6], v[7] + v[8]) if len(v) >= 9 else (v[0], 0, 0)
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


def call_graph(path):
    """The functions that ran in a profile with the calls each made, callees
    in the order the profile lists them, and how often each was called."""
    names, ran, callees, calls = {}, set(), {}, {}
    cur, callee = None, None
    name_re = re.compile(r"(c?fn)=\((\d+)\)(?: (.*))?$")
    with open(path) as f:
        for raw in f:
            m = name_re.match(raw.rstrip("\n"))
            if m:
                kind, ident, name = m.groups()
                if name:
                    names[ident] = name
                if kind == "fn":
                    cur = ident
                    callees.setdefault(cur, [])
                else:
                    callee = ident
                continue
            if raw.startswith("calls=") and callee is not None:
                calls[callee] = calls.get(callee, 0) + int(raw.split()[0][6:])
                if callee not in callees[cur]:
                    callees[cur].append(callee)
                callee = None
                continue
            if raw[:1] in "0123456789+-*" and cur is not None:
                ran.add(cur)
    name = {k: names.get(k, k) for k in set(names) | ran}
    return ({name[k] for k in ran}, {name[k]: [name[c] for c in v] for k, v in callees.items() if k in name},
            {name[k]: n for k, n in calls.items() if k in name})


def in_call_order(graph, root, keep):
    """The functions of keep in the order a walk of the calls from root meets them."""
    out, seen, stack = [], set(), [root]
    while stack:
        f = stack.pop()
        if f in seen:
            continue
        seen.add(f)
        if f in keep:
            out.append(f)
        stack.extend(reversed(graph.get(f, [])))
    return out


def sections(exe, path):
    with tempfile.TemporaryDirectory(prefix="pass-sections-") as d:
        callgrind(exe, d + "/cold", "ServingColdPass", COLD_PASS_SYM, False, False)
        counts, graph = {}, {}
        profiles = [p for p in glob.glob(d + "/cold.*") if (summary(p) or (0,))[0] > 0]
        for p in profiles:
            ran, g, _ = call_graph(p)
            for f in ran:
                counts[f] = counts.get(f, 0) + 1
            for f, cs in g.items():
                graph.setdefault(f, [])
                graph[f] += [c for c in cs if c not in graph[f]]
        idle = {f for f, n in counts.items() if 2 * n >= len(profiles)}
        order = in_call_order(graph, COLD_PASS_SYM, idle)
        callgrind(exe, d + "/request", "ServingRequest", REQUEST_PASS_SYM, False, False)
        ran, g, calls = call_graph(d + "/request")
        passes = calls.get("_Z8The_Loopv", 0)
        busy = {f for f in ran if 2 * calls.get(f, 0) >= passes}
        order += [f for f in in_call_order(g, REQUEST_PASS_SYM, busy) if f not in order]
    # Our functions only (libc's lie elsewhere); the benchmark's own and its
    # clock stay out.
    order = [f for f in order if f.startswith("_Z") and "Bench_" not in f and "test_support" not in f]
    with open(path, "w") as f:
        f.write(SECTIONS_HEADER)
        f.writelines(".text.%s\n" % s for s in order)
    print("%d sections written to %s (%d of an idle pass)" % (len(order), path, len(idle)))


def main():
    args = sys.argv[1:]
    out = None
    if args[:1] == ["--sections"]:
        out, args = args[1], args[2:]
    exe = args[0] if args else os.path.join(ROOT, "build-rel", "bench", "bench_exec")
    if out:
        sections(exe, out)
        return
    with tempfile.TemporaryDirectory(prefix="cold-lines-") as d:
        callgrind(exe, d + "/cg", "ServingColdPass", COLD_PASS, True, True)
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
