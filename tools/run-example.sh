#!/usr/bin/env bash
# Builds the library and runs the example host against the instrument emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target smoke_host
./build/default/examples/smoke_host
