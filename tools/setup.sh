#!/bin/bash
# Set-up of a workstation (Debian 12): installs what is missing, builds, and
# either starts the controller on the data folder of the checkout ("run") or
# runs every test ("test").
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
what=${1:-run}

packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev
          python3 socat iproute2 util-linux procps strace valgrind lua5.4)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" = 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc)
build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}

case "$what" in
run)
  build "$top/build"
  export PLC_ROOT="${PLC_ROOT:-$top/data}"
  mkdir -p "$PLC_ROOT/mnt/cfg" "$PLC_ROOT/mnt/USB0" "$PLC_ROOT/opt/valmar" "$PLC_ROOT/sim"
  [ -f "$PLC_ROOT/opt/valmar/MasterScript.sh" ] || cp "$top/tools/MasterScript.sh" "$PLC_ROOT/opt/valmar/"
  echo "Controller on $PLC_ROOT (Ctrl-C ends it)"
  exec "$top/build/controller"
  ;;
test)
  build "$top/build"
  build "$top/build-asan" -DPLC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$top/build-asan" -L unit -j "$jobs" --output-on-failure
  echo "== all tests"
  ctest --test-dir "$top/build" -j "$jobs" --output-on-failure
  ;;
*)
  echo "usage: $0 run|test" >&2
  exit 2
  ;;
esac
