#!/usr/bin/env bash
# Makes a headless wine prefix for one build tree's Windows test programs:
#   wine-prefix.sh PREFIX STAMP
# wineboot fills the prefix (about 6 s, once); the null graphics driver lets hidden
# windows and window classes work without an X server. STAMP is touched when done.
set -euo pipefail
prefix="$1"
stamp="$2"
export WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY=
mkdir -p "$prefix"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$stamp"
