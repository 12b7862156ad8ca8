#!/usr/bin/env python3
"""Mutation sweep of the parsers of outside bytes (run by hand, not in CI).

In protocols/, net/ and messaging/ it finds the bound checks of lengths taken
from a frame, a reply or a buffer, and the tests of a reply's class, and
flips them one at a time:

  bound      `<` <-> `<=`, `>` <-> `>=` in a comparison of a length
  header     a constant term (a header or a field size) left out of the sum
             or difference on one side of such a comparison
  class      the first digit of a reply class (2 <-> 3, 4 <-> 5: SMTP kinds,
             `code / 100`), AT final results (OK <-> ERROR), the exception
             or response bit of an answer, DHCP answer kinds

Each mutant is built in a scratch copy of the checkout (the checkout itself is
never written), with AddressSanitizer and UBSan as the tests run under
build-asan (--plain: without), and the unit tests of its folder run against
it: test_protocols, test_net or test_messaging (a header of one of the
folders: all three). A mutant is KILLED when a test fails, a sanitizer
reports or the binary times out, SURVIVED when all pass, UNBUILT when the
mutated source does not compile (-Werror sees through some flips), EQUIV
without a build when the flip is of a clamp (`n < cap ? n : cap`,
`if (n > cap) n = cap;`) that gives the same value at the bound. Survivors can be retried against more test binaries (--extra) and
selected ctest entries, e.g. black-box tests (--ctest, needs root).

    tools/mutation_sweep.py --list                      # the mutants, no build
    tools/mutation_sweep.py                             # the whole sweep, 3 jobs
    tools/mutation_sweep.py --files 'net/dns' --json out.json
    tools/mutation_sweep.py --only out.json             # the survivors of a run again
    tools/mutation_sweep.py --extra test_webhmi --ctest 'bb_test_messaging'
    tools/mutation_sweep.py --clean                     # remove the scratch copies

The scratch copies live beside the checkout (CHECKOUT-sweep/wN, one per job,
each with its own build directory configured with ccache), are refreshed from
the checkout's files at each start and kept for the next run. Every test binary
runs in a network namespace of its own (when run as root) so that jobs never
share a port. At most --jobs builds or test runs are under way at a time,
each ninja with -j1.
"""

import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

FOLDERS = {"protocols": "test_protocols", "net": "test_net", "messaging": "test_messaging"}

# Names that make one side of a comparison a length, a count or a position in
# received bytes, and names that make it a time, which is left alone.
LEN_RE = re.compile(
    r"(?i)(len|length|size|count|cnt|bytes|avail|got|remain|room|words|pos\b|hdr|header|off\b|offset|used|"
    r"rx_|tx_|\bdata\b|path|need|want|\bcap\b|\bend\b|\bn\b|\bnb\b|\bll\b|\bhl\b|\bsz\b|_max\b|MAX_|"
    r"sizeof|\.size\(\)|\bstart\b|\bleft\b|\bfill\b|\bhead\b|\btail\b|\bpiece\b|\bidx\b)")
TIME_RE = re.compile(
    r"(?i)(now|time|tick|_ms\b|\bms\b|period|expire|idle|elapsed|\bage\b|\bfd\b|retr(y|ies)|errcnt|"
    r"frt|clock|delay|\bsec|millis)")
DIGIT_CHAR_RE = re.compile(r"^'[0-9]'$")
# A constant term: a number, a named constant or a sizeof.
CONST_TERM_RE = re.compile(r"^(\d+[uU]?[lL]*|0x[0-9A-Fa-f]+[uU]?|[A-Z][A-Z0-9_]+|k[A-Z]\w*|sizeof\s*\(?[\w.:\[\]]+\)?)$")
PLAIN_LOOP_RE = re.compile(r"\bfor \((?:[\w:]+ )*(\w+) = [^;]*; (\1 (?:<|<=) [^;+-]*);")
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
REL_RE = re.compile(r"(?<=\s)(<=|>=|<|>)(?=\s)")


def swap_digit(d):
    return {"2": "3", "3": "2", "4": "5", "5": "4"}[d]


# Reply-class rules: (file regex, pattern, function of the match giving the
# replacement of the whole match, or None to skip).
def _first_digit(m):
    return m.group(1) + swap_digit(m.group(2)) + m.group(3)


def _pair_digits(m):
    return "{" + swap_digit(m.group(1)) + m.group(2) + ", " + swap_digit(m.group(3)) + m.group(4) + "}"


CLASS_RULES = [
    (r".", re.compile(r"(/ 100 [!=]= )([2-5])(\b)"), _first_digit, "reply class digit"),
    (r"messaging/email", re.compile(r"(case )([2-5])(\d\d:)"), _first_digit, "SMTP reply kind"),
    (r"messaging/email", re.compile(r"\{([2-5])(\d), ([2-5])(\d\d)\}"), _pair_digits, "SMTP reply kind"),
    (r"messaging/", re.compile(r"\bAT_R_(OK|ERR)\b"),
     lambda m: "AT_R_ERR" if m.group(1) == "OK" else "AT_R_OK", "AT final result"),
    (r"messaging/", re.compile(r"\bkGsm(Ok|Error)\b"),
     lambda m: "kGsmError" if m.group(1) == "Ok" else "kGsmOk", "AT final result"),
    # The top bit of an answer's function code or flags byte (not of a
    # configuration word).
    (r".", re.compile(r"(\b(?:fc|b\[\d+\]|buf\[\d+\]|f\[\d+\])\s*&\s*0x)(80)(\b)"),
     lambda m: m.group(1) + "40" + m.group(3), "exception/response bit"),
    (r"net/dhcp", re.compile(r"(== )DHCP_(OFFER|ACK|NAK)\b"),
     lambda m: m.group(1) + ("DHCP_ACK" if m.group(2) != "ACK" else "DHCP_NAK"), "DHCP answer kind"),
]
# AT result tables: {"OK", a} ... {"ERROR", b} on one line: each gets the other's code.
AT_TABLE_RE = re.compile(r'\{"(OK|ERROR)", (\w+)\}')


class Mutant:
    def __init__(self, path, line, col, old, new, kind, text):
        self.path, self.line, self.col, self.old, self.new = path, line, col, old, new
        self.kind, self.text = kind, text.strip()
        self.result, self.detail = None, ""
        self.equiv = None

    @property
    def ident(self):
        return f"{self.path}:{self.line}:{self.col}:{self.old}->{self.new}"

    def apply(self, source_lines):
        ln = source_lines[self.line - 1]
        assert ln[self.col:self.col + len(self.old)] == self.old, self.ident
        out = list(source_lines)
        out[self.line - 1] = ln[:self.col] + self.new + ln[self.col + len(self.old):]
        return out


def mask(lines):
    """Code with comments blanked and string contents masked, column for column."""
    out, in_block = [], False
    for ln in lines:
        res, i = [], 0
        while i < len(ln):
            if in_block:
                if ln.startswith("*/", i):
                    in_block = False
                    res.append("  ")
                    i += 2
                else:
                    res.append(" ")
                    i += 1
                continue
            c = ln[i]
            if ln.startswith("//", i):
                res.append(" " * (len(ln) - i))
                break
            if ln.startswith("/*", i):
                in_block = True
                res.append("  ")
                i += 2
                continue
            if c in "\"'":
                j = i + 1
                while j < len(ln) and ln[j] != c:
                    j += 2 if ln[j] == "\\" else 1
                body = ln[i + 1:j]
                keep = c == "'" and len(body) == 1 and body.isalnum()
                keep = keep or (c == '"' and body in ("OK", "ERROR"))
                res.append(c + (body if keep else "_" * len(body)) + (c if j < len(ln) else ""))
                i = j + 1
                continue
            res.append(c)
            i += 1
        out.append("".join(res)[:len(ln)].ljust(len(ln)))
    return out


STOP_PAIRS = ("&&", "||")


def operand(code, start, step):
    """Column range of the operand that starts beside `start` and runs in direction `step`."""
    depth, i = 0, start
    open_c, close_c = ("(", ")") if step > 0 else (")", "(")
    last = start
    while 0 <= i < len(code):
        c = code[i]
        two = code[i:i + 2] if step > 0 else code[i - 1:i + 1]
        if c in "([{" if step > 0 else c in ")]}":
            depth += 1
        elif c in ")]}" if step > 0 else c in "([{":
            if depth == 0:
                break
            depth -= 1
        elif depth == 0:
            if two in STOP_PAIRS or c in "?,;{}":
                break
            if c == ":" and code[i - 1:i + 2].count(":") < 2:
                break
            if c == "=" and code[i - 1] not in "=!<>" and (i + 1 >= len(code) or code[i + 1] != "="):
                break
            if step < 0 and re.match(r"\breturn\b", code[max(0, i - 5):i + 1]):
                last = i + 1
                break
        if c not in " \t":
            last = i
        i += step
    lo, hi = (start, last) if step > 0 else (last, start)
    _ = open_c, close_c
    return lo, hi + 1


def split_terms(text):
    """Top-level additive terms of an expression: [(sign, term, start, end)]."""
    terms, depth, cur, start = [], 0, 0, 0
    sign = "+"
    i = 0
    while i < len(text):
        c = text[i]
        if c in "([":
            depth += 1
        elif c in ")]":
            depth -= 1
        elif depth == 0 and text[i:i + 3] in (" + ", " - "):
            terms.append((sign, text[start:i], start, i))
            sign = text[i + 1]
            start = i + 3
            i += 3
            continue
        i += 1
    terms.append((sign, text[start:], start, len(text)))
    _ = cur
    return terms


def norm(e):
    """An expression without blanks, casts, outer parentheses and unsigned suffixes."""
    e = re.sub(r"\s+", "", e)
    e = re.sub(r"\b(?:std::)?(?:u?int\d+_t|size_t|unsigned|int)\(", "(", e)
    e = re.sub(r"\b(\d+)[uU]\b", r"\1", e)
    while e.startswith("(") and e.endswith(")") and operand(e, 1, +1)[1] == len(e) - 1:
        e = e[1:-1]
    return e


CLAMP_IF_RE = re.compile(r"^if \((.+?) (?:<|<=|>|>=) (.+)\) (\S+) = ([^;]+);$")


def clamp(code, left, right, r1):
    """Why flipping the strictness of this comparison changes nothing, if it
    is a clamp: `a < b ? a : b`, `if (a > b) a = b;` give the same at a == b."""
    rest = code[r1:].lstrip()
    if rest.startswith("?"):
        q = r1 + (len(code[r1:]) - len(rest)) + 1
        x0, x1 = operand(code, q + 1, +1)
        rest2 = code[x1:].lstrip()
        if rest2.startswith(":") and not rest2.startswith("::"):
            c = x1 + (len(code[x1:]) - len(rest2)) + 1
            y0, y1 = operand(code, c + 1, +1)
            if {norm(code[x0:x1]), norm(code[y0:y1])} == {norm(left), norm(right)}:
                return "a clamp: both branches give the same value at the bound"
    m = CLAMP_IF_RE.match(code.strip())
    if m and norm(m.group(3)) == norm(left) and norm(m.group(4)) == norm(right) and norm(m.group(1)) == norm(left):
        return "a clamp: the assignment changes nothing at the bound"
    return None


def find_mutants(root, files):
    mutants = []
    for path in files:
        with open(os.path.join(root, path), encoding="utf-8") as f:
            lines = f.read().split("\n")
        code = mask(lines)
        for n, (src, cl) in enumerate(zip(lines, code), start=1):
            s = cl.strip()
            if not s or s.startswith("#") or "static_assert" in cl or re.search(r"\bassert\(", cl) or "template" in cl:
                continue
            # A plain count loop (for (T i = 0; i < N; i++)) walks a range
            # that the bound checks before it have settled: left alone.
            plain = PLAIN_LOOP_RE.search(cl)
            for m in REL_RE.finditer(cl):
                op = m.group(1)
                if plain and plain.start(2) <= m.start() < plain.end(2):
                    continue
                l0, l1 = operand(cl, m.start() - 2, -1)
                r0, r1 = operand(cl, m.end() + 1, +1)
                left, right = cl[l0:l1].strip(), cl[r0:r1].strip()
                both = left + " " + right
                digit = DIGIT_CHAR_RE.match(left) or DIGIT_CHAR_RE.match(right)
                if not digit and (TIME_RE.search(both) or not LEN_RE.search(both)):
                    continue
                mu = Mutant(path, n, m.start(), op, FLIP[op], "bound", src)
                mu.equiv = clamp(cl, left, right, r1)
                mutants.append(mu)
                if digit:
                    continue
                for side0, side in ((l0, cl[l0:l1]), (r0, cl[r0:r1])):
                    lead = len(side) - len(side.lstrip())
                    body = side.strip()
                    if body.startswith("(") and body.endswith(")"):
                        continue
                    terms = split_terms(body)
                    if len(terms) < 2:
                        continue
                    for k, (sign, term, a, b) in enumerate(terms):
                        if not CONST_TERM_RE.match(term.strip()):
                            continue
                        if k == 0:
                            if terms[1][0] != "+":
                                continue
                            col, old = side0 + lead + a, body[a:terms[1][2]]
                        else:
                            col, old = side0 + lead + a - 3, body[a - 3:b]
                        mutants.append(Mutant(path, n, col, src[col:col + len(old)], "", "header", src))
            for fre, pat, fn, kind in CLASS_RULES:
                if not re.search(fre, path):
                    continue
                if "constexpr" in cl and "AT final" in kind:
                    continue
                for m in pat.finditer(cl):
                    new = fn(m)
                    if new is not None and new != m.group(0):
                        mutants.append(Mutant(path, n, m.start(), src[m.start():m.end()], new, kind, src))
            found = {m.group(1): m for m in AT_TABLE_RE.finditer(cl)}
            if len(found) == 2:
                for a, b in (("OK", "ERROR"), ("ERROR", "OK")):
                    m = found[a]
                    col = m.start(2)
                    mutants.append(Mutant(path, n, col, src[col:m.end(2)], found[b].group(2), "AT final result", src))
    # One mutant per place and replacement.
    seen, out = set(), []
    for m in mutants:
        if m.ident not in seen:
            seen.add(m.ident)
            out.append(m)
    return out


def source_files(root, pattern):
    out = []
    for d in FOLDERS:
        for name in sorted(os.listdir(os.path.join(root, d))):
            p = f"{d}/{name}"
            if name.endswith((".cpp", ".h")) and (pattern is None or re.search(pattern, p)):
                out.append(p)
    return out


def binaries_for(path):
    if path.endswith(".h"):
        return list(FOLDERS.values())
    return [FOLDERS[path.split("/")[0]]]


# ---- scratch copies --------------------------------------------------------------------------
def refresh_copy(root, dest):
    files = subprocess.run(["git", "-C", root, "ls-files", "-z", "-co", "--exclude-standard"],
                           check=True, capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, files):
        src, dst = os.path.join(root, rel), os.path.join(dest, rel)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)


class Worker:
    def __init__(self, base, index, args):
        self.dir = os.path.join(base, f"w{index}")
        self.src = os.path.join(self.dir, "src")
        self.build = os.path.join(self.dir, "build-asan" if args.asan else "build")
        self.args = args

    def prepare(self, root):
        os.makedirs(self.src, exist_ok=True)
        refresh_copy(root, self.src)
        if not os.path.exists(os.path.join(self.build, "build.ninja")):
            extra = ["-DPLC_SANITIZE=ON", "-DCMAKE_BUILD_TYPE=Debug"] if self.args.asan else []
            subprocess.run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                            "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"] + extra,
                           check=True, capture_output=True)

    def make(self, targets):
        r = subprocess.run(["ninja", "-C", self.build, "-j1"] + targets, capture_output=True, text=True,
                           timeout=1800)
        return r.returncode == 0, r.stdout[-3000:] + r.stderr[-2000:]

    def run_binary(self, name):
        exe = os.path.join(self.build, "tests", name)
        cmd = [exe]
        if os.geteuid() == 0 and shutil.which("unshare"):
            cmd = ["unshare", "-n", "sh", "-c", 'ip link set lo up 2>/dev/null; exec "$@"', "sh"] + cmd
        try:
            env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
            r = subprocess.run(cmd, cwd=os.path.join(self.build, "tests"), capture_output=True, text=True,
                               timeout=self.args.timeout, start_new_session=True, env=env)
        except subprocess.TimeoutExpired:
            return False, f"{name}: timeout after {self.args.timeout} s"
        if r.returncode == 0:
            return True, ""
        failed = re.findall(r"^\[  FAILED  \] (\S+)", r.stdout, re.M)
        san = re.search(r"(AddressSanitizer|LeakSanitizer|runtime error): ?(\S*)", r.stderr)
        what = ", ".join(dict.fromkeys(failed)) if failed else f"exit {r.returncode}"
        if san:
            running = re.findall(r"^\[ RUN      \] (\S+)", r.stdout, re.M)
            what = f"{san.group(1)} {san.group(2)} in {running[-1] if running else '?'}"
        return False, f"{name}: {what}"

    def run_ctest(self, regex):
        r = subprocess.run(["ctest", "--test-dir", self.build, "-R", regex, "--output-on-failure"],
                           capture_output=True, text=True, timeout=3600)
        if r.returncode == 0:
            return True, ""
        failed = re.findall(r"^\s*\d+ - (\S+) \(", r.stdout, re.M)
        return False, "ctest: " + ", ".join(failed)

    def judge(self, mutant):
        path = os.path.join(self.src, mutant.path)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        bins = binaries_for(mutant.path)
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(mutant.apply(lines)))
            ok, log = self.make(bins)
            if not ok:
                err = re.findall(r"error: (.*)", log)
                return "UNBUILT", err[0] if err else log.strip().splitlines()[-1]
            for b in bins:
                passed, why = self.run_binary(b)
                if not passed:
                    return "KILLED", why
            extra = [b for b in self.args.extra if b not in bins]
            if extra:
                ok, log = self.make(extra)
                if not ok:
                    return "UNBUILT", "extra binaries: " + log.strip().splitlines()[-1]
                for b in extra:
                    passed, why = self.run_binary(b)
                    if not passed:
                        return "KILLED", why
            if self.args.ctest:
                ok, log = self.make(["controller"])
                passed, why = self.run_ctest(self.args.ctest) if ok else (True, "")
                if not passed:
                    return "KILLED", why
            return "SURVIVED", ""
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--files", help="regex on the paths (folder/file) to sweep")
    ap.add_argument("--kinds", help="regex on the mutant kinds (bound, header, class names)")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--plain", dest="asan", action="store_false",
                    help="build without the sanitizers (faster; a bound left out that only reads past the "
                         "bytes then survives)")
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--timeout", type=int, default=60, help="seconds per test binary run")
    ap.add_argument("--extra", default="", help="more test binaries for survivors, comma separated")
    ap.add_argument("--ctest", help="ctest -R regex run for survivors (black-box tests: root)")
    ap.add_argument("--json", help="write every result to this file")
    ap.add_argument("--only", help="rerun only the survivors recorded in this json file")
    ap.add_argument("--scratch", help="scratch folder (default CHECKOUT-sweep)")
    ap.add_argument("--clean", action="store_true", help="remove the scratch folder and stop")
    args = ap.parse_args()
    args.extra = [b for b in args.extra.split(",") if b]
    root = os.path.abspath(args.root)
    base = args.scratch or root.rstrip("/") + "-sweep"

    if args.clean:
        shutil.rmtree(base, ignore_errors=True)
        return 0

    mutants = find_mutants(root, source_files(root, args.files))
    if args.kinds:
        mutants = [m for m in mutants if re.search(args.kinds, m.kind)]
    if args.only:
        with open(args.only) as f:
            keep = {r["id"] for r in json.load(f) if r["result"] == "SURVIVED"}
        mutants = [m for m in mutants if m.ident in keep]
    if args.list:
        for m in mutants:
            print(f"{m.ident:60} {m.kind:24} {'(equivalent) ' if m.equiv else ''}{m.text}")
        kinds = {}
        for m in mutants:
            kinds[m.kind] = kinds.get(m.kind, 0) + 1
        print(f"{len(mutants)} mutants: " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
        return 0

    stop = threading.Event()
    def on_term(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    workers = [Worker(base, i, args) for i in range(max(1, args.jobs))]
    t0 = time.monotonic()
    print(f"{len(mutants)} mutants, {len(workers)} jobs, scratch {base}", flush=True)
    # Baseline: every copy builds and its tests pass before any mutant.
    needed = sorted({b for m in mutants for b in binaries_for(m.path)} | set(args.extra))

    errors = []

    def baseline(w):
        try:
            w.prepare(root)
            ok, log = w.make(needed + (["controller"] if args.ctest else []))
            if not ok:
                errors.append(f"baseline build failed in {w.dir}:\n{log}")
                return
            for b in needed:
                passed, why = w.run_binary(b)
                if not passed:
                    errors.append(f"baseline tests fail in {w.dir}: {why}")
        except Exception as e:
            errors.append(f"baseline in {w.dir}: {e!r}")

    ths = [threading.Thread(target=baseline, args=(w,)) for w in workers]
    for t in ths:
        t.start()
    for t in ths:
        t.join()
    if errors:
        print("\n".join(errors), file=sys.stderr)
        return 2
    print(f"baseline ready in {time.monotonic() - t0:.0f} s", flush=True)

    pending = queue.Queue()
    for m in mutants:
        if m.equiv:
            m.result, m.detail = "EQUIV", m.equiv
        else:
            pending.put(m)
    lock = threading.Lock()
    done = [0]
    pending_n = pending.qsize()

    def run(w):
        while not stop.is_set():
            try:
                m = pending.get_nowait()
            except queue.Empty:
                return
            try:
                m.result, m.detail = w.judge(m)
            except Exception as e:  # a tool failure is reported, not taken as a kill
                m.result, m.detail = "ERROR", repr(e)
            with lock:
                done[0] += 1
                print(f"[{done[0]}/{pending_n}] {m.result:8} {m.ident} ({m.kind}) {m.detail}", flush=True)

    ths = [threading.Thread(target=run, args=(w,)) for w in workers]
    try:
        for t in ths:
            t.start()
        for t in ths:
            t.join()
    except KeyboardInterrupt:
        stop.set()
        print("interrupted: waiting for the running mutants to be put back", flush=True)
        for t in ths:
            t.join()
    finally:
        for w in workers:  # the copies hold the checkout's files again
            refresh_copy(root, w.src)

    res = [m for m in mutants if m.result]
    counts = {}
    for m in res:
        counts[m.result] = counts.get(m.result, 0) + 1
    print(f"\n{len(res)} of {len(mutants)} mutants in {time.monotonic() - t0:.0f} s: "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    surv = [m for m in res if m.result == "SURVIVED"]
    if surv:
        print("survivors:")
        for m in surv:
            print(f"  {m.ident} ({m.kind})  {m.text}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump([{"id": m.ident, "kind": m.kind, "result": m.result, "detail": m.detail, "line": m.text}
                       for m in res], f, indent=1)
    return 1 if surv else 0


if __name__ == "__main__":
    sys.exit(main())
