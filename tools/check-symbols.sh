#!/usr/bin/env bash
# Checks what a deliverable shared library exports, and that it is built for its target.
#
#   tools/check-symbols.sh --arch ARCH [--readelf PROG] [--cxxfilt PROG] [--exports LIST]
#                          [--allow-needed GLOB]... LIB
#
# ARCH is the deliverable's NVS_ARCH (x86_64, i386, armhf, aarch64). Fails when:
#   - LIB is not an ELF shared object for ARCH (armhf: also the hard-float ABI);
#   - LIB needs a library beyond the standard C and C++ runtime, threads, real-time and
#     math libraries (and those --allow-needed names: a sanitizer build's runtimes);
#   - LIB exports a symbol that is not an ORV function: every defined dynamic symbol of
#     default or protected visibility must be a function named ORV... (plain, extern "C")
#     or _Z<n>ORV... (a free function with C++ linkage, decorated);
#   - LIST exists and has entries, and an entry is not exported in its form, or an ORV
#     function is exported that LIST does not name.
#
# LIST format, one entry a line; '#' starts a comment, blank lines are ignored:
#   ORVInit                         a plain name: exported undecorated, exactly so
#   ORVInitEx(int, void (*)(bool))  a decorated function, written as c++filt prints its
#                                   symbol (also `nm -DC`): exported only under the
#                                   mangled name whose demangling is this text
# The interface's parameter types (int, pointers, enums, records) mangle alike on every
# Linux target, so one list serves all four deliverables.
set -euo pipefail

readelf=readelf
cxxfilt=c++filt
exports=""
arch=""
allowed_needed=()
while [ $# -gt 1 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --readelf) readelf="$2"; shift 2 ;;
    --cxxfilt) cxxfilt="$2"; shift 2 ;;
    --exports) exports="$2"; shift 2 ;;
    --allow-needed) allowed_needed+=("$2"); shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[ $# -eq 1 ] && [ -n "$arch" ] || { sed -n '4,5p' "$0" >&2; exit 2; }
lib="$1"
[ -f "$lib" ] || { echo "FAIL: $lib does not exist" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# ---- the target -------------------------------------------------------------------
header=$("$readelf" -h "$lib")
field() { sed -n "s/^ *$1: *//p" <<<"$header"; }
case "$arch" in
  x86_64)  want_class=ELF64; want_machine="Advanced Micro Devices X86-64" ;;
  i386)    want_class=ELF32; want_machine="Intel 80386" ;;
  armhf)   want_class=ELF32; want_machine="ARM" ;;
  aarch64) want_class=ELF64; want_machine="AArch64" ;;
  *) echo "unknown arch: $arch" >&2; exit 2 ;;
esac
[ "$(field Class)" = "$want_class" ] || fail "$lib is $(field Class), not $want_class"
[ "$(field Machine)" = "$want_machine" ] || fail "$lib is built for '$(field Machine)', not '$want_machine'"
[ "$(field Type | cut -d' ' -f1)" = "DYN" ] || fail "$lib is not a shared object: $(field Type)"
if [ "$arch" = armhf ]; then
  # Doubles cross the interface in VFP registers; a soft-float build would read garbage.
  grep -q "hard-float ABI" <<<"$(field Flags)" || fail "$lib does not use the hard-float ABI: $(field Flags)"
fi

# ---- what it loads ----------------------------------------------------------------
allowed() {
  local glob
  for glob in "${allowed_needed[@]:-}"; do
    # shellcheck disable=SC2053  # a glob on purpose
    [ -n "$glob" ] && [[ "$1" == $glob ]] && return 0
  done
  return 1
}
while read -r needed; do
  case "$needed" in
    libc.so.6 | libm.so.6 | libpthread.so.0 | librt.so.1 | libstdc++.so.6 | libgcc_s.so.1 | ld-linux*) ;;
    *) allowed "$needed" || fail "$lib needs $needed, which is not part of the standard runtime" ;;
  esac
done < <("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

# ---- what it exports --------------------------------------------------------------
# readelf -W --dyn-syms columns: Num Value Size Type Bind Vis [extra] Ndx Name [(ver)].
# Vis may be followed by a bracketed note (e.g. [VARIANT_PCS] on AArch64), so Ndx and
# Name are taken from the end of the line.
exported=$("$readelf" -W --dyn-syms "$lib" | awk '
  $1 ~ /^[0-9]+:$/ {
    n = NF; if ($n ~ /^\([0-9]+\)$/) n--
    name = $n; ndx = $(n - 1); sub(/@.*/, "", name)
    if (ndx == "UND" || name == "") next
    if ($5 != "GLOBAL" && $5 != "WEAK" && $5 != "UNIQUE") next
    if ($6 != "DEFAULT" && $6 != "PROTECTED") next
    print $4, name
  }' | sort -u -k2)

plain=()
decorated=()
while read -r type name; do
  [ -n "${name:-}" ] || continue
  if [ "$type" = FUNC ] && [[ "$name" =~ ^ORV ]]; then
    plain+=("$name")
  elif [ "$type" = FUNC ] && [[ "$name" =~ ^_Z[0-9]+ORV ]]; then
    decorated+=("$name")
  else
    fail "$lib exports an internal symbol: $name ($type)"
  fi
done <<<"$exported"

entries=()
if [ -n "$exports" ] && [ -f "$exports" ]; then
  while IFS= read -r line; do
    line="${line%%#*}"
    line="$(sed 's/^[[:space:]]*//; s/[[:space:]]*$//' <<<"$line")"
    if [ -n "$line" ]; then entries+=("$line"); fi
  done <"$exports"
fi

if [ ${#entries[@]} -gt 0 ]; then
  # The decorated exports as c++filt reads them, one a line, for exact comparison.
  demangled=""
  if [ ${#decorated[@]} -gt 0 ]; then
    demangled=$(printf '%s\n' "${decorated[@]}" | "$cxxfilt")
  fi
  plain_lines=$(printf '%s\n' "${plain[@]:-}")
  listed_plain=""
  listed_decorated=""
  for entry in "${entries[@]}"; do
    if [[ "$entry" == *"("* ]]; then
      listed_decorated+="$entry"$'\n'
      if ! grep -qxF -- "$entry" <<<"$demangled"; then
        fail "not exported under its decorated name: $entry"
      fi
      if grep -qxF -- "${entry%%(*}" <<<"$plain_lines"; then
        fail "exported undecorated, listed as decorated: $entry"
      fi
    else
      listed_plain+="$entry"$'\n'
      if ! grep -qxF -- "$entry" <<<"$plain_lines"; then
        fail "not exported under its plain name: $entry"
      fi
    fi
  done
  # And the other way round: nothing exported that the list does not name.
  while IFS= read -r symbol; do
    if [ -n "$symbol" ] && ! grep -qxF -- "$symbol" <<<"$listed_plain$listed_decorated"; then
      fail "exported but not in $(basename "$exports"): $symbol"
    fi
  done <<<"$plain_lines"$'\n'"$demangled"
fi

summary="${#plain[@]} plain and ${#decorated[@]} decorated ORV exports"
if [ ${#entries[@]} -eq 0 ]; then
  summary+=", no export list yet"
else
  summary+=", ${#entries[@]} listed"
fi
if [ "$failures" -gt 0 ]; then
  echo "$(basename "$lib"): $failures problem(s); $summary" >&2
  exit 1
fi
echo "$(basename "$lib"): $arch, $summary, nothing internal exported"
