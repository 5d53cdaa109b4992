#!/usr/bin/env bash
# The serial line test on the emulation: COM8 of a new world bound to a pseudo-terminal whose
# other side is the echo peer, as tools/wine/serial_test.sh does for Wine.
#   serial_line.sh PYTHON ECHO_PEER TEST_PROGRAM
set -uo pipefail
python=$1 peer_script=$2 exe=$3
root=$(mktemp -d)
export WIN32EMU_ROOT=$root
"$python" "$peer_script" 60 >"$root/peer.txt" 2>&1 </dev/null &
peer=$!
trap 'kill $peer 2>/dev/null; wait $peer 2>/dev/null; rm -rf "$root"' EXIT
for _ in $(seq 50); do [ -s "$root/peer.txt" ] && break; sleep 0.1; done
pty=$(head -1 "$root/peer.txt")
[ -c "$pty" ] || { echo "the echo peer gave no pseudo-terminal" >&2; exit 1; }
mkdir -p "$root/devices"
echo "COM8 = $pty" >"$root/devices/ports"
"$exe"
