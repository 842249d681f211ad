#!/usr/bin/env bash
# The library as a host developer gets it. Installs a build (default: build/default, built
# already) into a staging prefix and checks that only the host's files are there; builds
# the host of tests/install outside the source tree twice, with find_package(nvs) and with
# pkg-config; starts the installed nvs-emulator on /dev/ttyACM<N> as a process of its own
# and runs each host against it (connect, serial number, one second of ECG).
#
#   tools/install-test.sh [BUILD_DIR]
#
# Fails on any failure; each wait has a time-out. The link under /dev needs write access
# there (root): without it the hosts are built but not run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=$(mktemp -d "${TMPDIR:-/tmp}/nvs-install-test.XXXXXX")
emulator_pid=""
cleanup() {
  if [ -n "$emulator_pid" ]; then
    kill "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

prefix="$work/prefix"
echo "=== install ${build} into a staging prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
sed 's/^/    /' <<<"$installed"
unexpected=$(grep -vE '^(bin/nvs-emulator|include/nvs300\.h|lib/libnvs-[a-z0-9_]+\.so(\.[0-9]+)*|lib/pkgconfig/nvs\.pc|lib/cmake/nvs/nvs(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake)$' <<<"$installed" || true)
if [ -n "$unexpected" ]; then
  echo "=== installed beyond the host's files:" >&2
  sed 's/^/    /' <<<"$unexpected" >&2
  exit 1
fi
cmp Code/Device/api/nvs300.h "$prefix/include/nvs300.h"

# The host's sources alone, away from the source tree.
mkdir "$work/src"
cp tests/install/CMakeLists.txt tests/install/installed_host.cpp "$work/src/"

echo "=== host built with find_package(nvs)"
cmake -S "$work/src" -B "$work/find-package" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/find-package" >/dev/null
hosts=("$work/find-package/installed_host")

echo "=== host built with pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=$(pkg-config --cflags --libs nvs)
libdir=$(pkg-config --variable=libdir nvs)
echo "    pkg-config --cflags --libs nvs: ${flags}"
# shellcheck disable=SC2086  # the flags are words
c++ -o "$work/pkg-config-host" "$work/src/installed_host.cpp" ${flags} -Wl,-rpath,"$libdir"
hosts+=("$work/pkg-config-host")

if [ ! -w /dev ]; then
  echo "=== hosts not run: no write access to /dev for the instrument's link (run as root)"
  exit 0
fi
# The lock that the test suites hold while they use /dev/ttyACM* (tests/support/
# LinkSandbox.h): a suite running beside this one would scan the emulator's port.
exec {shipped_lock}>>/tmp/nvs-tests-shipped-paths.lock
flock -w 300 "$shipped_lock" || { echo "the test suites' lock on /dev/ttyACM* stayed held" >&2; exit 1; }
# A node name that nothing holds (the test suites use other numbers).
port=""
for n in $(seq 100 119); do
  if [ ! -e "/dev/ttyACM$n" ] && [ ! -L "/dev/ttyACM$n" ]; then
    port=$n
    break
  fi
done
[ -n "$port" ] || { echo "no free /dev/ttyACM100..119" >&2; exit 1; }

echo "=== installed nvs-emulator --link /dev/ttyACM${port}"
# Its first line of output is the port's path, printed once the link is made.
# Neither it nor the hosts keep the lock, should this script be killed.
coproc emulator { exec "$prefix/bin/nvs-emulator" --link "/dev/ttyACM$port" 2>"$work/emulator.log" {shipped_lock}>&-; }
# shellcheck disable=SC2154  # emulator_PID: set by coproc
emulator_pid=$emulator_PID
if ! read -r -t 30 slave <&"${emulator[0]}"; then
  echo "the emulator did not start:" >&2
  cat "$work/emulator.log" >&2
  exit 1
fi
echo "    port ${slave}"
for host in "${hosts[@]}"; do
  echo "=== ${host##*/} ${port}"
  status=0
  timeout --kill-after=5 60 "$host" "$port" {shipped_lock}>&- || status=$?
  if [ "$status" -ne 0 ]; then
    echo "=== ${host##*/} failed (status ${status}); the emulator's messages:" >&2
    cat "$work/emulator.log" >&2
    exit "$status"
  fi
done
echo "=== installed library: both hosts passed"
