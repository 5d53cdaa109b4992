#!/usr/bin/env bash
# CMAKE_CROSSCOMPILING_EMULATOR of the Windows test build: runs a test program under Wine in the
# tests' prefix (build/wine/tests), made from the template when missing.
# Wine's output is written to files and copied out afterwards: a pipe handed to Wine can stay
# open in its server long after the program ended.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
prefix=${NORTANE_WINE_PREFIX:-$(wine_root)/tests}
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    [ -f "$prefix/system.reg" ] || wine_fresh_prefix "$prefix"
  ) 9>"$prefix.lock" || exit 1
fi
out=$(mktemp) err=$(mktemp)
WINEPREFIX=$prefix wine "$@" </dev/null >"$out" 2>"$err"
rc=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
