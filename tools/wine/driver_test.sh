#!/usr/bin/env bash
# hollin.sys under Wine: created as a kernel service, started (DriverEntry runs and succeeds),
# stopped (its unload routine runs), deleted, and no fault on the way.
#   tools/wine/driver_test.sh BUILD_DIR     (the mingw-x86_64 build)
set -uo pipefail
cd "$(dirname "$0")/../.."
. tools/wine/lib.sh
build=${1:-build/mingw-x86_64}
sys=$(find "$build/driver" -name hollin.sys 2>/dev/null | head -1)
[ -n "$sys" ] || { echo "missing: hollin.sys in $build/driver" >&2; exit 1; }

prefix=$(wine_root)/driver
wine_fresh_prefix "$prefix" || exit 1
export WINEPREFIX=$prefix
wine_stop "$prefix"
wine_start "$prefix"
cp "$sys" "$prefix/drive_c/windows/system32/drivers/hollin.sys"
out=$(wine_root)/driver-out.txt
: >"$out"
# Wine's loader reports each driver's entry and unload on its relay channel; only those lines
# are wanted, not a trace of every call. The first process starts the prefix's services, which
# keep its environment and its output file.
export WINEDEBUG=+relay
timeout 60 wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d none.dll.none /f \
  </dev/null >>"$out" 2>&1

failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
sc() {  # sc ARGS... : Wine's sc, its output appended to the log and kept in $last
  last=$(mktemp)
  timeout 60 wine sc "$@" </dev/null >"$last" 2>&1
  local rc=$?
  cat "$last" >>"$out"
  return $rc
}
has() { grep -q "$1" "$2"; }
key='Services\\\\hollin'

check "sc create type= kernel" sc create hollin type= kernel start= demand \
  'binPath=' 'C:\windows\system32\drivers\hollin.sys'
check "sc start" sc start hollin
check "the service is running" has "STATE *: 4 *RUNNING" "$last"
check "DriverEntry ran" has "Call driver init .*$key" "$out"
check "DriverEntry succeeded" has "Ret  driver init .*$key.*retval=00000000" "$out"
check "sc stop" sc stop hollin
check "the service is stopped" has "STATE *: 1 *STOPPED" "$last"
check "the unload routine ran and returned" has "Ret  driver unload" "$out"
check "sc delete" sc delete hollin
check "the service is gone" bash -c "! timeout 60 wine sc query hollin </dev/null >/dev/null 2>&1"
check "no fault" bash -c "! grep -Eiq 'unhandled exception|page fault|wine: .*crash' '$out'"
wine_stop "$prefix"
[ "$failed" = 0 ] || echo "the Wine log is in $out"
exit $failed
