#!/usr/bin/env bash
# Builds the library and runs every test suite: normal, under AddressSanitizer +
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
presets=(${NVS_PRESETS:-default asan tsan})
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== ${preset}: test"
  ctest --preset "$preset"
done
echo "=== all suites passed: ${presets[*]}"
