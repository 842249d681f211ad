#!/usr/bin/env bash
# Runs a Windows test program under wine, headless, in the build tree's own prefix.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# PREFIX is made once per build tree at build time (tools/wine-prefix.sh); nothing here
# waits for a display or prints wine's debug channels.
set -euo pipefail
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
export DISPLAY=
exec /usr/lib/wine/wine64 "$@"
