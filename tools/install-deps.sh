#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the library.
set -euo pipefail
packages=(cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev
          binutils
          # tools/ctest-summary.py reads each preset's ctest log.
          python3
          # The installed library's host test: pkg-config builds a host against it.
          pkgconf
          # The fuzz preset: clang with libFuzzer and the sanitizer runtimes.
          clang libclang-rt-14-dev
          # The Linux cross deliverables (sysroots under /usr/<triple>) and the user-mode
          # emulators their tests run under.
          g++-i686-linux-gnu g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
          # The Windows DLL's cross compiler and the wine its tests run under.
          g++-mingw-w64-x86-64 wine64 wine)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
