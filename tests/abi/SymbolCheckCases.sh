#!/usr/bin/env bash
# The cases of tools/check-symbols.sh, run on this target's fixture libraries (see
# fixture/SymbolsFixture.cpp): each names the library, the export list (entries
# separated by '|', '-' for no list), the exit status and a line the checker must print.
#
#   SymbolCheckCases.sh CLEAN_LIB LEAKY_LIB CHECKER CHECKER_OPTIONS...
set -uo pipefail
clean="$1" leaky="$2" checker="$3"
shift 3
plain='ORVFixturePlain'
decorated='ORVFixtureDecorated(int, unsigned char*)'

cases=(
  "clean|-|0|1 plain and 1 decorated ORV exports, no export list yet"
  "clean|$plain|$decorated|0|1 plain and 1 decorated ORV exports, 2 listed"
  "clean|$plain|$decorated|ORVFixtureAbsent|1|not exported under its plain name: ORVFixtureAbsent"
  "clean|$plain|$decorated|ORVFixtureAbsent(int)|1|not exported under its decorated name: ORVFixtureAbsent\(int\)"
  "clean|$plain|ORVFixtureDecorated|1|not exported under its plain name: ORVFixtureDecorated$"
  "clean|ORVFixturePlain()|$decorated|1|exported undecorated, listed as decorated: ORVFixturePlain\(\)"
  "clean|$plain|ORVFixtureDecorated(int, char*)|1|not exported under its decorated name"
  "clean|$plain|1|exported but not in .*: ORVFixtureDecorated\(int, unsigned char\*\)"
  "leaky|-|1|internal symbol: _Z14InternalHelperi \(FUNC\)"
  "leaky|-|1|internal symbol: g_nFixtureCalls \(OBJECT\)"
)

list=$(mktemp)
trap 'rm -f "$list"' EXIT
failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r -a f <<<"$c"
  n=${#f[@]}
  lib_kind=${f[0]} status=${f[n - 2]} expect=${f[n - 1]}
  entries=("${f[@]:1:n-3}")
  lib=$clean
  [ "$lib_kind" = leaky ] && lib=$leaky
  args=("$@")
  if [ "${entries[0]}" != "-" ]; then
    printf '%s\n' "${entries[@]}" >"$list"
    args+=(--exports "$list")
  fi
  output=$("$checker" "${args[@]}" "$lib" 2>&1)
  got=$?
  if [ "$got" -eq "$status" ] && grep -qE -- "$expect" <<<"$output"; then
    echo "ok   $lib_kind [${entries[*]}]"
  else
    echo "FAIL $lib_kind [${entries[*]}]: exit $got (want $status), want a line matching /$expect/; got:"
    sed 's/^/       /' <<<"$output"
    failed=1
  fi
done
exit $failed
