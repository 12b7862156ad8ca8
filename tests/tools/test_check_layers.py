#!/usr/bin/env python3
"""The layer check on small made-up trees: each kind of upward dependency it
must refuse, and a tree that keeps its floors, which it must pass."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools'))
import check_layers  # noqa: E402

# Library -> its folder, as add_library names it.
FOLDERS = {'plc_platform': 'platform', 'plc_core': 'core', 'plc_io': 'io', 'plc_tavix': 'tavIXsdk/tavixsdk',
           'plc_exec': 'exec'}
# The declared graph of a tree that keeps its floors.
GOOD_EDGES = [('plc_core', 'plc_platform'), ('plc_io', 'plc_core'), ('plc_io', 'plc_platform'),
              ('plc_tavix', 'plc_core'), ('plc_exec', 'plc_io'), ('plc_exec', 'plc_tavix'),
              ('plc_exec', 'plc_core')]


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)


def make_tree(top, edges, sources):
    """A source tree with one CMakeLists.txt per library, the given sources
    ({relative path: text}) and a graphviz file of the given edges."""
    write(os.path.join(top, 'CMakeLists.txt'), 'project(x)\n')
    for lib, folder in FOLDERS.items():
        write(os.path.join(top, folder, 'CMakeLists.txt'), f'add_library({lib} STATIC a.cpp)\n')
        write(os.path.join(top, folder, 'a.h'), '#pragma once\n')
    write(os.path.join(top, 'core/image/img.h'), '#pragma once\n')
    write(os.path.join(top, 'core/storage/store.h'), '#include "core/image/img.h"\n')
    for rel, text in sources.items():
        write(os.path.join(top, rel), text)
    libs = sorted({lib for e in edges for lib in e} | set(FOLDERS))
    node = {lib: f'node{i}' for i, lib in enumerate(libs)}
    lines = ['digraph "x" {']
    lines += [f'    "{node[lib]}" [ label = "{lib}", shape = septagon ];' for lib in libs]
    lines += [f'    "{node[a]}" -> "{node[b]}"  // {a} -> {b}' for a, b in edges]
    lines.append('}')
    dot = os.path.join(top, 'libs.dot')
    write(dot, '\n'.join(lines) + '\n')
    return dot


def run(edges, sources):
    with tempfile.TemporaryDirectory() as top:
        dot = make_tree(top, edges, sources)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = check_layers.main(['check_layers.py', top, '--dot', dot])
        return status, out.getvalue()


class CheckLayers(unittest.TestCase):
    def test_tree_that_keeps_its_floors_passes(self):
        status, out = run(GOOD_EDGES, {
            'exec/a.cpp': '#include "io/a.h"\n#include <tavIXsdk/tavixsdk/a.h>\n',
            'io/a.cpp': '#include "core/a.h"\n#include <net/if.h>\n#include <core/a.h>\n',
            'core/storage/b.cpp': '#include "core/image/img.h"\n'})
        self.assertEqual((status, out.strip()),
                         (0, '5 libraries, no cycle, no upward edge, every include follows the '
                             'declared dependencies'))

    def test_upward_edge_without_cycle_fails(self):
        status, out = run(GOOD_EDGES + [('plc_io', 'plc_tavix')], {})
        self.assertEqual(status, 1)
        self.assertIn('plc_io (floor 3) depends on plc_tavix of a higher floor (floor 4)', out)
        self.assertNotIn('cycle in', out)

    def test_edge_to_a_later_library_of_the_same_floor_fails(self):
        edges = GOOD_EDGES + [('plc_media', 'plc_core'), ('plc_io', 'plc_media')]
        status, out = run(edges, {})
        self.assertEqual(status, 1)
        self.assertIn('plc_io (floor 3) depends on plc_media of its own floor, listed after it', out)

    def test_cycle_fails(self):
        status, out = run(GOOD_EDGES + [('plc_core', 'plc_io')], {})
        self.assertEqual(status, 1)
        self.assertIn('cycle in the library graph: plc_core -> plc_io -> plc_core', out)

    def test_library_without_a_floor_fails(self):
        status, out = run(GOOD_EDGES + [('plc_extra', 'plc_core')], {})
        self.assertEqual(status, 1)
        self.assertIn('plc_extra has no floor', out)

    def test_upward_include_fails_in_both_forms(self):
        for line in ('#include "exec/a.h"\n', '#include <exec/a.h>\n', '#  include <tavIXsdk/tavixsdk/a.h>\n'):
            with self.subTest(line=line):
                status, out = run(GOOD_EDGES, {'io/a.cpp': line})
                self.assertEqual(status, 1)
                self.assertIn('io/a.cpp:1: includes ' + line.split()[-1].strip('"<>'), out)

    def test_include_relative_to_the_file_is_resolved(self):
        status, out = run(GOOD_EDGES, {'io/sub/a.cpp': '#include "../../exec/a.h"\n'})
        self.assertEqual(status, 1)
        self.assertIn('io/sub/a.cpp:1: includes ../../exec/a.h of plc_exec', out)

    def test_image_including_storage_fails(self):
        status, out = run(GOOD_EDGES, {'core/image/a.cpp': '#include "core/storage/store.h"\n'})
        self.assertEqual(status, 1)
        self.assertIn('core/image/a.cpp:1: includes core/storage/store.h: core/storage stands after '
                      'core/image in plc_core', out)


if __name__ == '__main__':
    unittest.main()
