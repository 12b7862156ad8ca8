#!/bin/bash
# Set-up of a workstation (Debian 12): installs what is missing, builds, and
# either starts the controller on the data folder of the checkout ("run") or
# runs every test ("test"); "stop" ends the controller of the data folder.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
what=${1:-run}

if [ "$what" = stop ]; then
  # Ends the controller of the data folder, if one runs: the process that
  # holds the folder's lock, and only when it is this checkout's controller
  # (never whatever process a stale id in the lock file names now).
  export PLC_ROOT="${PLC_ROOT:-$top/data}"
  exec /usr/bin/python3 - "$PLC_ROOT" "$top/build/controller" <<'PY'
import fcntl, os, signal, struct, sys, time
root, exe = sys.argv[1], os.path.realpath(sys.argv[2])
lock = os.path.join(root, "sim", "controller.lock")

def holder():
    try:
        fd = os.open(lock, os.O_RDONLY)
    except FileNotFoundError:
        return 0
    except PermissionError:
        sys.exit("The data folder %s belongs to another user: this user is not allowed to stop its controller; "
                 "stop it as that user" % root)
    try:
        # F_GETLK: the process holding the write lock, 0 when none does.
        got = fcntl.fcntl(fd, fcntl.F_GETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
        kind, _, _, _, pid = struct.unpack("hhqqi", got)
        return pid if kind != fcntl.F_UNLCK else 0
    finally:
        os.close(fd)

pid = holder()
if pid == 0:
    sys.exit("No controller runs on the data folder %s" % root)
try:
    running = os.path.realpath(os.readlink("/proc/%d/exe" % pid))
except PermissionError:
    running = None
except OSError:
    running = "?"
if running is None:
    sys.exit("Process %d holds the lock of %s and belongs to another user: this user is not allowed to stop it; "
             "stop it as that user" % (pid, root))
if running != exe:
    sys.exit("Process %d holds the lock of %s but is not %s (%s): not stopped" % (pid, root, exe, running))
os.kill(pid, signal.SIGTERM)
deadline = time.monotonic() + 30
while holder() == pid and time.monotonic() < deadline:
    time.sleep(0.1)
if holder() == pid:
    sys.exit("The controller (process %d) has not ended within 30 s" % pid)
print("Controller (process %d) stopped" % pid)
PY
fi

packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev
          python3 socat iproute2 util-linux procps strace valgrind zip unzip iputils-ping python3-can
          libmodbus-dev python3-pymodbus mbpoll lua5.4 luajit libjpeg-turbo-progs jpeginfo curl openssl libtomcrypt-dev libtommath-dev
          chromium chromium-driver python3-selenium wrk nginx-light tshark dnsmasq-base libssl-dev python3-pyftpdlib
          mosquitto mosquitto-clients libmosquitto-dev python3-paho-mqtt python3-aiosmtpd libexpat1-dev)
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
  # Configured once; ninja re-runs cmake itself when a CMakeLists.txt changes.
  [ -f "$dir/build.ninja" ] || cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}

case "$what" in
run)
  # Only what the run and the README's first steps use; the test command
  # builds the rest.
  # A build another user made cannot be brought up to date by this one
  # (ninja would end in "Error writing to build log").
  if [ -e "$top/build" ] && [ ! -w "$top/build" ]; then
    echo "The checkout's build folder $top/build belongs to $(stat -L -c %U "$top/build"), not to $(id -un):" \
      "run as that user, or clone the checkout as this one and run ./tools/setup.sh run there" >&2
    exit 1
  fi
  [ -f "$top/build/build.ninja" ] || cmake -S "$top" -B "$top/build" -G Ninja >/dev/null
  ninja -C "$top/build" controller iec_program_writer
  export PLC_ROOT="${PLC_ROOT:-$top/data}"
  mkdir -p "$PLC_ROOT/mnt/cfg" "$PLC_ROOT/mnt/USB0" "$PLC_ROOT/opt/valmar" "$PLC_ROOT/sim" "$PLC_ROOT/dev"
  [ -f "$PLC_ROOT/opt/valmar/MasterScript.sh" ] || cp "$top/tools/MasterScript.sh" "$PLC_ROOT/opt/valmar/"
  # One controller per data folder: leave a running one's port links alone.
  if ! /usr/bin/python3 -c 'import fcntl, sys
try:
    f = open(sys.argv[1], "a+")
except OSError as e:
    sys.exit("Cannot open %s (%s): the data folder %s belongs to another user or is read-only; start the "
             "controller as the user who owns it, or give it a PLC_ROOT of its own" % (sys.argv[1], e.strerror,
                                                                                   sys.argv[2]))
try:
    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
except OSError:
    f.seek(0)
    sys.exit("Another controller (process %s) runs on the data folder %s: stop it first, "
             "or give this one a PLC_ROOT of its own" % (f.read().strip() or "?", sys.argv[2]))' \
      "$PLC_ROOT/sim/controller.lock" "$PLC_ROOT"; then
    exit 1
  fi
  # The programming port: a pseudo-terminal pair, one end where the controller
  # opens its port, the other for tools/plcclient.py.
  port="$PLC_ROOT/sim/port"
  rm -f "$PLC_ROOT/dev/ttySP0" "$port"
  socat pty,raw,echo=0,link="$PLC_ROOT/dev/ttySP0" pty,raw,echo=0,link="$port" &
  socat_pid=$!
  for _ in $(seq 50); do [ -e "$port" ] && [ -e "$PLC_ROOT/dev/ttySP0" ] && break; sleep 0.1; done
  case "$port" in "$(pwd)"/*) port=${port#"$(pwd)"/} ;; esac
  echo "Controller on $PLC_ROOT (Ctrl-C ends it)"
  echo "Programming port: tools/plcclient.py -d $port get-mode"
  "$top/build/controller" &
  ctl_pid=$!
  trap 'kill -TERM "$ctl_pid" 2>/dev/null' INT TERM
  # A signal interrupts wait (status above 128): wait again for the
  # controller's own end and status.
  status=0
  wait "$ctl_pid" || status=$?
  while [ "$status" -gt 128 ] && kill -0 "$ctl_pid" 2>/dev/null; do
    status=0
    wait "$ctl_pid" || status=$?
  done
  if [ "$status" -gt 128 ]; then
    s=0
    wait "$ctl_pid" 2>/dev/null || s=$?
    [ "$s" -ne 127 ] && status=$s
  fi
  # The terminal's Ctrl-C may have ended socat already.
  kill "$socat_pid" 2>/dev/null || true
  wait "$socat_pid" 2>/dev/null || true
  exit "$status"
  ;;
test)
  # The fuzz targets (clang, with the sanitizers and coverage) build on a
  # quarter of the cores beside the other builds: the interpreter's file
  # alone takes minutes there, and would otherwise hold up everything after.
  fuzz_build="$top/build-fuzz"
  [ -f "$fuzz_build/build.ninja" ] ||
    CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz_build" -G Ninja -DPLC_FUZZ=ON >/dev/null
  fuzz_targets=$(cd "$top/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
  fuzz_log=$(mktemp)
  ninja -C "$fuzz_build" -j $(((jobs + 3) / 4)) $fuzz_targets >"$fuzz_log" 2>&1 &
  fuzz_pid=$!
  trap 'kill "$fuzz_pid" 2>/dev/null || true; rm -f "$fuzz_log"' EXIT
  build "$top/build"
  # Release is built too (not run): GCC's -O3 analyses report faults that
  # -O0 does not, and warnings are errors in every build type.
  build "$top/build-rel" -DCMAKE_BUILD_TYPE=Release
  build "$top/build-asan" -DPLC_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$top/build-asan" -L unit -j "$jobs" --output-on-failure
  echo "== unit tests on clocks that read one minute after boot"
  # A machine or board booted a moment ago has small monotonic clocks: a
  # time namespace gives the tests such clocks on any machine.
  up=$(cut -d. -f1 /proc/uptime)
  unshare --fork --time --monotonic=$((60 - up)) --boottime=$((60 - up)) \
    ctest --test-dir "$top/build" -L unit -j "$jobs" --output-on-failure
  echo "== every fuzz target over its seed inputs and a few thousand runs"
  # clang, AddressSanitizer and UndefinedBehaviorSanitizer, a build folder of
  # its own and only the targets; all targets side by side. A harness that no
  # longer runs fails here, with the end of its output.
  fuzz_built=0
  wait "$fuzz_pid" || fuzz_built=$?
  trap 'rm -f "$fuzz_log"' EXIT
  tail -n 1 "$fuzz_log"
  if [ "$fuzz_built" != 0 ]; then
    echo "== the fuzz targets did not build:"
    cat "$fuzz_log"
    exit 1
  fi
  fuzz_work=$(mktemp -d)
  fuzz_status=0
  printf '%s\n' $fuzz_targets | xargs -P "$jobs" -I{} sh -c '
    t=$1; w=$2/$t
    mkdir -p "$w/corpus" "$w/root"
    cd "$w" && PLC_ROOT="$w/root" "$3/fuzz/$t" -runs=4000 -timeout=25 -artifact_prefix="$w/" \
      corpus "$4/$t" >log 2>&1 || { echo "== $t failed:"; tail -n 40 log; exit 1; }' \
    sh {} "$fuzz_work" "$fuzz_build" "$top/fuzz/seeds" || fuzz_status=1
  rm -rf "$fuzz_work"
  [ "$fuzz_status" = 0 ]
  echo "== unit tests of the threaded parts under ThreadSanitizer"
  "$top/tools/tsan.sh"
  echo "== black-box tests and memcheck"
  # The unit tests of build/ ran above, in the time namespace. The black-box
  # tests mostly wait on the controller's real-time time-outs (the machine
  # stays mostly idle), so half again as many run side by side as there are
  # cores.
  ctest --test-dir "$top/build" -LE unit -j $((jobs * 3 / 2 > 0 ? jobs * 3 / 2 : 1)) --output-on-failure
  ;;
*)
  echo "usage: $0 run|test|stop" >&2
  exit 2
  ;;
esac
