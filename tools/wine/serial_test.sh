#!/usr/bin/env bash
# Wine's serial stack on a pseudo-terminal: tests/wine/serial_line_test.exe on COM8, the line's
# other side an echo (tools/wine/echo_peer.py).
#   tools/wine/serial_test.sh WINDOWS_BUILD
set -uo pipefail
cd "$(dirname "$0")/../.."
. tools/wine/lib.sh
build=${1:-build/mingw-x86_64}
exe=$build/tests/wine/serial_line_test.exe
[ -f "$exe" ] || { echo "missing: $exe" >&2; exit 1; }
root=$(wine_root)
prefix=$root/serial
wine_fresh_prefix "$prefix" || exit 1
export WINEPREFIX=$prefix
python3 tools/wine/echo_peer.py 60 >"$root/serial-peer.txt" 2>&1 </dev/null &
peer=$!
trap 'kill $peer 2>/dev/null; wait $peer 2>/dev/null; wine_stop "$prefix"' EXIT
for _ in $(seq 50); do [ -s "$root/serial-peer.txt" ] && break; sleep 0.1; done
pty=$(head -1 "$root/serial-peer.txt")
[ -c "$pty" ] || { echo "the echo peer gave no pseudo-terminal" >&2; exit 1; }
ln -sfn "$pty" "$prefix/dosdevices/com8"
wine_start "$prefix"
timeout 120 wine "$exe" </dev/null >"$root/serial-out.txt" 2>&1
rc=$?
cat "$root/serial-out.txt"
exit $rc
