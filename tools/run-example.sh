#!/usr/bin/env bash
# Builds the library and runs the example host programs against the instrument emulator.
#   tools/run-example.sh [program...]     (default: every program in the list below)
set -euo pipefail
cd "$(dirname "$0")/.."
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(host_example output_example playback_example sampling_example update_example factory_example)
tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target "${programs[@]}"
for program in "${programs[@]}"; do
  echo "=== ${program}"
  "./build/default/examples/${program}"
done
