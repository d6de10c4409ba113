#!/bin/sh
# Usage: check_exports.sh LIBRARY [EXTRA_NAME...]
# Compares the defined dynamic symbols (a DLL's export table) of LIBRARY with the adapter
# library's interface (exports.txt beside this script) plus EXTRA_NAMEs.
set -eu
lib=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

{ grep -v '^#' "$here/exports.txt"; for name in "$@"; do echo "$name"; done; } |
  sort -u >"$tmp/expected"
# AddressSanitizer adds an __odr_asan.<name> indicator beside each exported
# variable; those belong to the instrumentation, not to the interface.
case $lib in
*.dll)
  # The export table's name list: lines "[ n] name" after its heading.
  "${OBJDUMP:-x86_64-w64-mingw32-objdump}" -p "$lib" |
    awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
         on && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
         on && NF == 0 { on = 0 }' | sort -u >"$tmp/actual" ;;
*)
  nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' |
    grep -v -e '^__odr_asan[._]' -e '^__asan_' | sort -u >"$tmp/actual" ;;
esac

if ! diff -u "$tmp/expected" "$tmp/actual"; then
  echo "$lib: exported symbols differ from the interface (- missing, + extra)" >&2
  exit 1
fi
echo "$lib: exactly the $(wc -l <"$tmp/expected") expected names"
