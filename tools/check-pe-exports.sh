#!/usr/bin/env bash
# Checks the Windows DLL's PE tables:
#   check-pe-exports.sh --objdump OBJDUMP --exports exports.txt DLL
# - its export table holds exactly the plain names of exports.txt (a line that is neither
#   a comment nor a decorated name with its parameter list), nothing more or less;
# - it imports only Windows system DLLs (no runtime or thread DLL of the compiler).
set -euo pipefail
objdump=objdump
exports=""
while [ $# -gt 1 ]; do
  case "$1" in
    --objdump) objdump="$2"; shift 2 ;;
    --exports) exports="$2"; shift 2 ;;
    *) break ;;
  esac
done
dll="$1"
tables=$("$objdump" -p "$dll")

want=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$exports" | grep -v '^$' | grep -v '(' | sort -u)
have=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$tables" |
       sed -nE 's/^[[:space:]]*\[ *[0-9]+\] +([^ ]+)$/\1/p' | sort -u)
status=0
missing=$(comm -23 <(echo "$want") <(echo "$have"))
extra=$(comm -13 <(echo "$want") <(echo "$have"))
if [ -n "$missing" ]; then
  echo "not exported:"; sed 's/^/    /' <<<"$missing"; status=1
fi
if [ -n "$extra" ]; then
  echo "exported but not listed:"; sed 's/^/    /' <<<"$extra"; status=1
fi

allowed='^(kernel32|user32|gdi32|advapi32|setupapi|winmm|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r name; do
  lower=$(tr 'A-Z' 'a-z' <<<"$name")
  if ! [[ "$lower" =~ $allowed ]]; then
    echo "imports a non-system DLL: $name"; status=1
  fi
done < <(sed -nE 's/^[[:space:]]*DLL Name: (.+)$/\1/p' <<<"$tables")

[ "$status" -eq 0 ] && echo "$(wc -l <<<"$have") exports, as listed; system imports only"
exit "$status"
