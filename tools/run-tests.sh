#!/usr/bin/env bash
# Builds the library and runs every test suite: on x86-64 normally, under AddressSanitizer
# + UndefinedBehaviorSanitizer and under ThreadSanitizer; then the Linux cross
# deliverables i386, armhf and aarch64, each tested on its own architecture (qemu user
# mode, or natively through the sysroot's loader where the kernel runs i386 code); the
# Windows DLL, tested under wine; last the macOS platform code on its dispatch stand-in
# (macos-standin, a test build). After the default preset's suites, tools/install-test.sh
# builds and runs a host against the installed library and emulator; each Linux
# deliverable's preset ends with its Debian package (cpack, in build/<preset>/packages).
# NVS_PRESETS="default armhf" picks a subset.
#
# Every preset asked for is built and tested, whatever an earlier one gave; the run ends
# with one summary: each preset's result, build and ctest wall times, its three slowest
# tests with their share of their time-out (and any test over a third of it), and the
# tests that passed only on a rerun. It exits non-zero when any preset (or the fuzzing)
# failed. The default and cross test presets run a failed test once more; the sanitizer
# presets do not. A test that passed only on that rerun passed, but it is a fault to
# chase. A test that fails twice fails its preset.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
presets=(${NVS_PRESETS:-default asan tsan i386 armhf aarch64 windows macos-standin macos-standin-asan})
summary=()  # one block per preset: its result, times, slowest tests and reruns
failed=()

for preset in "${presets[@]}"; do
  start=$SECONDS
  echo "=== ${preset}: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "=== ${preset}: build FAILED"
    failed+=("$preset")
    summary+=("${preset}: BUILD FAILED after $((SECONDS - start)) s")
    continue
  fi
  built=$((SECONDS - start))
  echo "=== ${preset}: test"
  log="build/${preset}/Testing/run-tests.log"
  mkdir -p "$(dirname "$log")"
  status=0
  step=$SECONDS
  ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
  tested=$((SECONDS - step))
  details=$(tools/ctest-summary.py "build/${preset}" "$log" || true)
  result="passed"
  extra=""
  if [ "$status" -ne 0 ]; then
    result="TESTS FAILED"
  else
    if [ "$preset" = default ]; then
      # The installed library against the installed emulator, built as a host builds it.
      step=$SECONDS
      if tools/install-test.sh "build/${preset}"; then
        extra+=", installed-host test $((SECONDS - step)) s"
      else
        status=1
        result="INSTALLED-HOST TEST FAILED"
      fi
    fi
    case "$preset" in
      default | i386 | armhf | aarch64)
        # The deliverable's Debian package.
        step=$SECONDS
        if cpack --preset "$preset" >/dev/null; then
          packages=("build/${preset}/packages/"*.deb)
          extra+=", package ${packages[*]##*/} $((SECONDS - step)) s"
        else
          status=1
          result="PACKAGE FAILED"
        fi
        ;;
    esac
  fi
  [ "$status" -eq 0 ] || failed+=("$preset")
  echo "=== ${preset}: ${result}"
  [ -z "$details" ] || echo "$details"
  block="${preset}: ${result}; build ${built} s, ctest ${tested} s${extra}: $(cd "build/${preset}/Code/Device" 2>/dev/null && ls libnvs-*.so NVS300x64.dll 2>/dev/null | tr '\n' ' ' || true)"
  [ -z "$details" ] || block+=$'\n'"${details}"
  summary+=("$block")
done
# The fuzz targets, each for NVS_FUZZ_SECONDS (60) from its committed seed corpus and
# regression cases, about half the cores' worth at a time; new inputs go to
# build/fuzz/corpus, crashes, leaks, UB reports and time-outs fail the run (the failed
# target is named with its log and the input it kept). NVS_FUZZ_SECONDS=0 skips them.
fuzz_seconds=${NVS_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  start=$SECONDS
  echo "=== fuzz: configure and build"
  if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz; }; then
    fuzz_seconds=0
    failed+=("fuzz")
    summary+=("fuzz: BUILD FAILED")
  fi
fi
if [ "$fuzz_seconds" -gt 0 ]; then
  fuzz_targets=(sampling_packet fpga_report json_reader waveform_file convert_table transport handshake
                stored_records ppg_module standalone notifications)
  fuzz_jobs=$(( $(nproc) / 2 ))
  [ "$fuzz_jobs" -ge 1 ] || fuzz_jobs=1
  echo "=== fuzz: ${#fuzz_targets[@]} targets for ${fuzz_seconds} s each, ${fuzz_jobs} at a time"
  declare -A fuzz_pids=()
  fuzz_failed=()
  # Waits for one running target; records it when it failed.
  fuzz_reap() {
    local pid target
    wait -n "${!fuzz_pids[@]}" 2>/dev/null || true
    for pid in "${!fuzz_pids[@]}"; do
      if ! kill -0 "$pid" 2>/dev/null; then
        target=${fuzz_pids[$pid]}
        unset "fuzz_pids[$pid]"
        if wait "$pid"; then
          echo "=== fuzz: ${target} passed"
        else
          fuzz_failed+=("$target")
          echo "=== fuzz: ${target} FAILED (log build/fuzz/${target}.log)"
        fi
      fi
    done
  }
  for target in "${fuzz_targets[@]}"; do
    while [ "${#fuzz_pids[@]}" -ge "$fuzz_jobs" ]; do fuzz_reap; done
    mkdir -p "build/fuzz/corpus/${target}"
    "build/fuzz/tests/fuzz/fuzz_${target}" -max_total_time="$fuzz_seconds" -timeout=10 \
      -artifact_prefix="build/fuzz/${target}-" "build/fuzz/corpus/${target}" "tests/fuzz/corpus/${target}" \
      $( [ -d "tests/fuzz/regressions/${target}" ] && echo "tests/fuzz/regressions/${target}" ) \
      >"build/fuzz/${target}.log" 2>&1 &
    fuzz_pids[$!]=$target
  done
  while [ "${#fuzz_pids[@]}" -gt 0 ]; do fuzz_reap; done
  if [ ${#fuzz_failed[@]} -gt 0 ]; then
    for target in "${fuzz_failed[@]}"; do
      echo "=== fuzz: ${target} FAILED; the end of its log:"
      tail -n 40 "build/fuzz/${target}.log" | sed 's/^/    /'
      ls build/fuzz/"${target}"-* 2>/dev/null | sed 's/^/    artifact: /' || true
    done
    failed+=("fuzz")
    summary+=("fuzz: FAILED (${fuzz_failed[*]}) after $((SECONDS - start)) s")
  else
    summary+=("fuzz: passed; ${#fuzz_targets[@]} targets for ${fuzz_seconds} s each, $((SECONDS - start)) s")
  fi
fi
echo "=== summary"
printf '%s\n' "${summary[@]}"
reruns=$(printf '%s\n' "${summary[@]}" | grep -c 'PASSED ONLY ON A RERUN' || true)
echo "=== tests that passed only on a rerun: ${reruns}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== FAILED: ${failed[*]}"
  exit 1
fi
echo "=== all suites passed: ${presets[*]}"
