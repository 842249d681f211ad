#!/usr/bin/env bash
# Runs a Windows test program under wine against the native instrument emulator:
#   wine-link-test.sh EMULATOR PREFIX PROGRAM [ARGS...]
# The emulator's pseudo-terminal is linked into the prefix's dosdevices under a USB
# device-interface name unique to this run, which the program opens through
# CreateFileA("\\?\usb#...") as it would the instrument's interface; the program learns the
# name from NVS_LINK_PATH, and the emulator's loopback control port (unplug, replug,
# silence, counts) from NVS_CONTROL_PORT. After the program ends the emulator is stopped,
# and the run fails if the emulator saw any filler byte (the Windows transport sends none).
set -euo pipefail
emulator="$1"
prefix="$(cd "$2" && pwd)"
shift 2
id="nvs$$x$RANDOM"
name="usb#vid_04d8&pid_000a#${id}#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
link="$prefix/dosdevices/$name"
log=$(mktemp)
out=$(mktemp)
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
  rm -f "$link" "$log" "$out"
}
trap cleanup EXIT
"$emulator" --verbose --control --link "$link" >"$out" 2>"$log" &
pid=$!
for _ in $(seq 1 500); do
  grep -q '^control ' "$out" && break
  kill -0 "$pid" 2>/dev/null || { cat "$log"; exit 1; }
  sleep 0.01
done
control=$(sed -n 's/^control //p' "$out" | head -1)
[ -n "$control" ] || { echo "the emulator did not start"; exit 1; }
status=0
NVS_LINK_PATH="\\\\?\\$name" NVS_CONTROL_PORT="$control" WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY= \
  /usr/lib/wine/wine64 "$@" || status=$?
kill -TERM "$pid"
wait "$pid" || true
pid=""
fillers=$(sed -nE 's/.*requests, ([0-9]+) filler bytes.*/\1/p' "$log" | tail -1)
echo "emulator: $(grep -c . "$log" || true) log lines, ${fillers:-?} filler bytes"
if [ "${fillers:-x}" != "0" ]; then
  echo "the emulator saw filler bytes (or did not report): the transport sent stray bytes"
  tail -5 "$log"
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
