#!/bin/sh
# Every C and C++ file of the checkout laid out as .clang-format says; a file
# that is not fails with its first differences. Part of the test command (ctest
# check_format); to lay a file out: clang-format -i FILE.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
else
  find . -path './build*' -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror
fi
