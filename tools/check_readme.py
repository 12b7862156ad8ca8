#!/usr/bin/python3
"""Checks the command lines of the README's code blocks against the checkout:
every client line parses as tools/plcclient.py takes it (its options and
its command exist), every file a line reads exists in the checkout or was
written by an earlier line, every program under build/ is a target of the
build, and every listing kind and run-command word exists.

    tools/check_readme.py [CHECKOUT]     (status 1 and one line per fault)
"""

import os
import re
import shlex
import sys

# Folders of the checkout whose files a README line may name.
REPO_DIRS = ("examples/", "tools/", "tests/", "bench/", "docs/", "fuzz/")
# Words that only prefix the command proper.
PREFIXES = ("env", "setsid", "sudo", "nohup")


def code_lines(text):
    """(line number, command) of the indented code blocks, as typed."""
    out = []
    lines = text.splitlines()
    for i, ln in enumerate(lines):
        if not ln.startswith("    ") or ln.startswith("     "):
            continue
        # An indented block starts after a blank line or continues one.
        j = i - 1
        while j >= 0 and lines[j].startswith("    "):
            j -= 1
        if j >= 0 and lines[j].strip():
            continue
        out.append((i + 1, ln[4:]))
    return out


def targets(top):
    """Executable targets of the build: add_executable names."""
    names = set()
    for d, _, files in os.walk(top):
        if "/build" in d[len(top):] or "/.git" in d[len(top):]:
            continue
        for f in files:
            if f == "CMakeLists.txt":
                with open(os.path.join(d, f)) as fh:
                    names.update(re.findall(r"add_executable\(\s*([\w.-]+)", fh.read()))
    return names


def command_words(words):
    """The words of the command proper, without variable settings, env,
    ip netns exec NAME and the like, a trailing comment or redirections."""
    out = []
    for w in words:
        if w.startswith("#"):
            break
        out.append(w)
    words = out
    while words:
        if re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[0]) or words[0] in PREFIXES or words[0].startswith("-"):
            words = words[1:]
        elif words[:3] == ["ip", "netns", "exec"] and len(words) > 3:
            words = words[4:]
        else:
            break
    return [w for w in words if w not in (">", "2>&1", "<", "&") and not w.startswith((">", "<"))]


def check(top, readme="README.md"):
    sys.path.insert(0, os.path.join(top, "tools"))
    from plcclient import UsageError, parse_args
    made = set()        # files written by earlier lines
    build = targets(top)
    faults = []
    with open(os.path.join(top, readme)) as f:
        text = f.read()

    def exists(path):
        return os.path.exists(os.path.join(top, path)) or path in made or path.rstrip("/") in made

    for n, line in code_lines(text):
        try:
            words = command_words(shlex.split(line, comments=False))
        except ValueError:
            continue
        if not words:
            continue
        cmd, args = words[0], words[1:]
        where = "README.md:%d: %s" % (n, line.split(" #")[0].strip())

        def fault(what):
            faults.append("%s: %s" % (where, what))
        if cmd.startswith(("./", "build", "tools/", "tests/", "bench/")) and "/" in cmd:
            path = cmd[2:] if cmd.startswith("./") else cmd
            m = re.match(r"^build[\w-]*/(?:[\w-]+/)*([\w.-]+)$", path)
            if m:
                if m.group(1) not in build:
                    fault("%s is built by no target of the build" % path)
            elif not exists(path):
                fault("%s does not exist" % path)
        for w in args:   # files of the checkout named anywhere on the line
            for part in w.split("="):
                if part.startswith(REPO_DIRS) and not exists(part):
                    fault("%s does not exist" % part)
        if cmd.endswith("tools/plcclient.py"):
            try:
                a = parse_args(args)
            except (UsageError, SystemExit) as e:
                fault("the client does not take it: %s" % e)
                continue
            reads = {"download": "file", "verify": "file", "file-put": "file"}.get(a.op)
            if reads and not exists(getattr(a, reads)):
                fault("%s is no file of the checkout nor written by a line before" % getattr(a, reads))
            if a.op in ("upload", "file-get") and a.file != "-":
                made.add(a.file)
        elif cmd.endswith("tools/plclist.py"):
            if len(args) != 3 or args[0] not in ("ladder", "ethernet", "table"):
                fault("plclist takes ladder|ethernet|table LISTING OUTPUT")
            else:
                if not exists(args[1]):
                    fault("%s does not exist" % args[1])
                made.add(args[2])
        elif cmd.endswith("tools/setup.sh"):
            if args[:1] not in (["run"], ["test"], ["stop"]):
                fault("the set-up script takes run, test or stop")
        elif cmd.endswith("iec_program_writer") and len(args) >= 2:
            made.add(args[-1])
        elif cmd in ("cc", "gcc", "c++") and "-o" in args:
            made.add(args[args.index("-o") + 1])
        elif cmd in ("mkdir", "touch", "cp"):
            made.update(a for a in args if not a.startswith("-"))
    return faults


def main(argv):
    top = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    faults = check(top)
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
