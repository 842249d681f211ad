#!/usr/bin/env bash
# Builds the library and runs every test suite: on x86-64 normally, under AddressSanitizer
# + UndefinedBehaviorSanitizer and under ThreadSanitizer; then the Linux cross
# deliverables i386, armhf and aarch64, each tested on its own architecture (qemu user
# mode, or natively through the sysroot's loader where the kernel runs i386 code).
# NVS_PRESETS="default armhf" picks a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
presets=(${NVS_PRESETS:-default asan tsan i386 armhf aarch64})
timings=()
for preset in "${presets[@]}"; do
  start=$SECONDS
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  built=$((SECONDS - start))
  echo "=== ${preset}: test"
  ctest --preset "$preset"
  timings+=("${preset}: build ${built} s, tests $((SECONDS - start - built)) s: $(cd "build/${preset}/Code/Device" && ls libnvs-*.so)")
done
echo "=== all suites passed: ${presets[*]}"
printf '    %s\n' "${timings[@]}"
