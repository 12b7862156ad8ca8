#!/bin/sh
# Unit tests of the threaded parts (executive, command protocol, stored files,
# the network layer, the IEC runtime servers, the card file jobs, the web HMI
# server's thread and workers) built with
# ThreadSanitizer in build-tsan/ and run as ctest runs them; any race report
# fails its test. Part of ./tools/setup.sh test; alone: ./tools/tsan.sh
# ExecFatal is left out: it raises a fatal signal with a lock held in a
# forked child, which ThreadSanitizer's own signal handling cannot take.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# Builds on every core; runs four test programs at a time at most.
jobs=$(nproc)
[ "$jobs" -gt 4 ] && jobs=4
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
cmake -S "$top" -B "$top/build-tsan" -G Ninja -DPLC_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher >/dev/null
ninja -C "$top/build-tsan" test_core test_cmd test_exec test_net test_iec test_media test_webhmi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$top/build-tsan" -L unit -E '(_NOT_BUILT$|^ExecFatal\.)' -j "$jobs" --output-on-failure
