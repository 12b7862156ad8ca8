"""Prints the tests of a black-box test file as Class.method, one a line;
cmake registers one ctest entry for each so that they run in parallel."""

import ast
import sys

with open(sys.argv[1]) as f:
    tree = ast.parse(f.read())
for node in tree.body:
    if isinstance(node, ast.ClassDef):
        for m in node.body:
            if isinstance(m, ast.FunctionDef) and m.name.startswith("test"):
                print(f"{node.name}.{m.name}")
