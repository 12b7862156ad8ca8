#!/usr/bin/env python3
"""Checks the direction of dependency between the libraries.

Fails (exit 1) when the library graph declared in CMake (cmake --graphviz of
a fresh configure) has a cycle or an edge that runs upward (a library that
depends on one of a higher floor, or of its own floor listed after it), when a
library has no place in the floor table, when a source file of a library
includes a header of a library it does not depend on, directly or
transitively, or when a file of a library includes a header of a folder that
stands after its own in that library (core/image before core/storage).
Both include forms are matched: "..." and <...> (the latter only where the
path names a file of the tree, so <net/if.h> stays a system header).

Usage: check_layers.py SOURCE_DIR [--dot FILE]
  --dot FILE  use this graphviz file instead of configuring a scratch build.
"""
import os
import re
import subprocess
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s+(?:"([^"]+)"|<([^>]+)>)')

# The floors, bottom first, and inside a floor the order in which its
# libraries may use each other: a library may depend only on libraries that
# stand before it in this list. Kept in step with the layout table of docs/architecture.md.
FLOORS = [
    ('plc_platform', 1),
    ('plc_core', 2),
    ('plc_io', 3), ('plc_media', 3), ('plc_ladder', 3), ('plc_net', 3), ('plc_iecvm', 3),
    ('plc_iecblocks', 4), ('plc_iecsvc', 4), ('plc_protocols', 4), ('plc_messaging', 4),
    ('plc_tavix', 4), ('plc_webhmi', 4),
    ('plc_cmd', 5),
    ('plc_exec', 6),
]
RANK = {lib: i for i, (lib, _) in enumerate(FLOORS)}
FLOOR = dict(FLOORS)

# Folders of one library that stand in order: a file of a folder may include
# headers of its own folder and of those before it, not of those after it.
SUBFOLDERS = {'plc_core': ['core/image', 'core/storage']}
NODE = re.compile(r'^\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"')
EDGE = re.compile(r'^\s*"(node\d+)"\s*->\s*"(node\d+)"')


def library_folders(src):
    """{folder relative to src: library} from add_library(plc_...) lines."""
    folders = {}
    for root, dirs, files in os.walk(src):
        dirs[:] = [d for d in dirs if not d.startswith(('.', 'build')) and d not in ('tests', 'bench', 'fuzz')]
        if 'CMakeLists.txt' not in files or root == src:
            continue
        with open(os.path.join(root, 'CMakeLists.txt'), encoding='utf-8') as f:
            for m in re.finditer(r'add_library\(\s*(plc_\w+)\s+STATIC', f.read()):
                folders[os.path.relpath(root, src)] = m.group(1)
    return folders


def is_library(name):
    return name.startswith('plc_') and not name.endswith('_linkcheck') and name != 'plc_testsupport'


def read_graph(dot):
    names, edges = {}, []
    with open(dot, encoding='utf-8') as f:
        for line in f:
            m = NODE.match(line)
            if m:
                names[m.group(1)] = m.group(2)
                continue
            m = EDGE.match(line)
            if m:
                edges.append((m.group(1), m.group(2)))
    graph = {}
    for a, b in edges:
        la, lb = names.get(a), names.get(b)
        if la and lb and is_library(la) and is_library(lb):
            graph.setdefault(la, set()).add(lb)
    for n in names.values():
        if is_library(n):
            graph.setdefault(n, set())
    return graph


def configure_graph(src, scratch):
    dot = os.path.join(scratch, 'libs.dot')
    subprocess.run(['cmake', '-S', src, '-B', os.path.join(scratch, 'b'), '-DPLC_BENCH=OFF',
                    '--graphviz=' + dot], check=True, stdout=subprocess.DEVNULL)
    return dot


def find_cycle(graph):
    state, stack = {}, []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in sorted(graph.get(n, ())):
            if state.get(m) == 1:
                return stack[stack.index(m):] + [m]
            if m not in state:
                c = visit(m)
                if c:
                    return c
        stack.pop()
        state[n] = 2
        return None

    for n in sorted(graph):
        if n not in state:
            c = visit(n)
            if c:
                return c
    return None


def reach(graph, lib):
    seen, pending = set(), [lib]
    while pending:
        for m in graph.get(pending.pop(), ()):
            if m not in seen:
                seen.add(m)
                pending.append(m)
    return seen


def owner(path, folders):
    best = None
    for folder, lib in folders.items():
        if path.startswith(folder + '/') and (best is None or len(folder) > len(best[0])):
            best = (folder, lib)
    return best[1] if best else None


def upward_includes(src, folders, graph):
    faults = []
    for folder, lib in sorted(folders.items()):
        allowed = reach(graph, lib) | {lib}
        for root, _, files in os.walk(os.path.join(src, folder)):
            for name in sorted(files):
                if not name.endswith(('.cpp', '.h')):
                    continue
                path = os.path.join(root, name)
                rel = os.path.relpath(path, src)
                if owner(rel, folders) != lib:
                    continue
                with open(path, encoding='utf-8', errors='replace') as f:
                    for n, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        written = m.group(1) or m.group(2)
                        inc = resolve(src, root, written, quoted=m.group(1) is not None)
                        if inc is None:
                            continue
                        target = owner(inc, folders)
                        if target and target not in allowed:
                            faults.append(f'{rel}:{n}: includes {written} of {target}, '
                                          f'which {lib} does not depend on')
                        elif target == lib:
                            fault = subfolder_fault(lib, rel, inc)
                            if fault:
                                faults.append(f'{rel}:{n}: includes {written}: {fault}')
    return faults


def resolve(src, root, written, quoted):
    """The included file relative to src, or None for a header outside the tree."""
    if os.path.exists(os.path.join(src, written)):
        return os.path.normpath(written)
    if quoted:
        return os.path.relpath(os.path.normpath(os.path.join(root, written)), src)
    return None


def subfolder_fault(lib, rel, inc):
    order = SUBFOLDERS.get(lib)
    if not order:
        return None

    def place(path):
        for i, folder in enumerate(order):
            if path.startswith(folder + '/'):
                return i
        return None

    a, b = place(rel), place(inc)
    if a is not None and b is not None and b > a:
        return f'{order[b]} stands after {order[a]} in {lib}'
    return None


def floor_faults(graph):
    """Libraries without a floor and edges that run upward."""
    faults = []
    for lib in sorted(graph):
        if lib not in RANK:
            faults.append(f'{lib} has no floor in the floor table of check_layers.py')
    for lib in sorted(graph):
        for dep in sorted(graph[lib]):
            if lib in RANK and dep in RANK and RANK[dep] >= RANK[lib]:
                where = 'a higher floor' if FLOOR[dep] > FLOOR[lib] else 'its own floor, listed after it'
                faults.append(f'{lib} (floor {FLOOR[lib]}) depends on {dep} of {where} '
                              f'(floor {FLOOR[dep]})')
    return faults


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    src = os.path.abspath(argv[1])
    folders = library_folders(src)
    with tempfile.TemporaryDirectory() as scratch:
        dot = argv[argv.index('--dot') + 1] if '--dot' in argv else configure_graph(src, scratch)
        graph = read_graph(dot)
    missing = sorted(set(folders.values()) - set(graph))
    if missing:
        print('libraries missing from the CMake graph: ' + ', '.join(missing))
        return 1
    bad = 0
    cycle = find_cycle(graph)
    if cycle:
        print('cycle in the library graph: ' + ' -> '.join(cycle))
        bad = 1
    for fault in floor_faults(graph) + upward_includes(src, folders, graph):
        print(fault)
        bad = 1
    if not bad:
        print(f'{len(graph)} libraries, no cycle, no upward edge, '
              'every include follows the declared dependencies')
    return bad


if __name__ == '__main__':
    sys.exit(main(sys.argv))
