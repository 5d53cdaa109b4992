#!/usr/bin/env bash
# The Windows builds must yield real Windows binaries: brisa a console program and hollin a
# kernel-mode driver (native subsystem), each for both architectures.
set -euo pipefail
build=${1:-build}
ok=0
check() {  # check FILE PATTERN
  if [ ! -f "$1" ]; then echo "missing: $1"; ok=1; return; fi
  local kind; kind=$(file -b "$1")
  if [[ "$kind" == $2 ]]; then echo "ok: $1: $kind"; else echo "wrong kind: $1: $kind"; ok=1; fi
}
check "$build/mingw-i686/service/brisa.exe" "PE32 executable (console) Intel 80386*"
check "$build/mingw-x86_64/service/brisa.exe" "PE32+ executable (console) x86-64*"
for arch in i686 x86_64; do
  sys=$(find "$build/mingw-$arch/driver" -name 'hollin.sys' 2>/dev/null | head -1)
  if [ "$arch" = i686 ]; then check "${sys:-$build/mingw-$arch/driver/hollin.sys}" "PE32 executable (native) Intel 80386*"
  else check "${sys:-$build/mingw-$arch/driver/hollin.sys}" "PE32+ executable (native) x86-64*"; fi
done
exit $ok
