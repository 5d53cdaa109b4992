#!/usr/bin/env bash
# brisa.exe under Wine's service manager, end to end: a USB serial port of a serviced device
# defined in the registry and linked to a pseudo-terminal served by the module emulator; the
# service installed, started, watched through its log, stopped and removed, its states read by
# another process.
#   tools/wine/service_test.sh WINDOWS_BUILD [HOST_BUILD]
# WINDOWS_BUILD is the mingw-x86_64 build; HOST_BUILD holds sim/tarn/tarn_module (build/debug).
set -uo pipefail
cd "$(dirname "$0")/../.."
. tools/wine/lib.sh
build=${1:-build/mingw-x86_64}
host=${2:-}
if [ -z "$host" ]; then
  for b in build/debug build/release build/tsan; do [ -x "$b/sim/tarn/tarn_module" ] && host=$b && break; done
fi
module=${host:+$host/sim/tarn/tarn_module}
for exe in service/brisa.exe tests/wine/wine_download.exe; do
  [ -f "$build/$exe" ] || { echo "missing: $build/$exe" >&2; exit 1; }
done
[ -x "${module:-}" ] || { echo "missing: tarn_module (build the host's sim/tarn)" >&2; exit 1; }

root=$(wine_root)
prefix=$root/service
work=$root/service-run
rm -rf "$work"
mkdir -p "$work"
wine_fresh_prefix "$prefix" || exit 1
export WINEPREFIX=$prefix
c=$prefix/drive_c

# The module emulator on a pseudo-terminal, its output to a file: a pipe would be inherited.
"$module" --version 0x0203 --chunk-size 65536 >"$work/module.out" 2>"$work/module.err" </dev/null &
module_pid=$!
cleanup() {
  kill "$module_pid" 2>/dev/null
  wait "$module_pid" 2>/dev/null
  wine_stop "$prefix"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$work/module.out" ] && break; sleep 0.1; done
pty=$(head -1 "$work/module.out")
[ -c "$pty" ] || { echo "the module emulator gave no pseudo-terminal" >&2; exit 1; }
ln -sfn "$pty" "$prefix/dosdevices/com7"

# The port as Plug and Play leaves it: the device's key with its port name, and a linked COM
# port interface (the link is what makes SetupAPI report it present). regedit wants UTF-16LE
# with a byte order mark.
device='VID_1209&PID_0002'
instance='5&2c0ffee&0'
ports='{86e0d1e0-8089-11d0-9ce4-08003e301f73}'
interface="##?#USB#$device#$instance#$ports"
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\$device\\$instance]
"Class"="Ports"
"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\$device\\$instance\\Device Parameters]
"PortName"="COM7"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$ports\\$interface]
"DeviceInstance"="USB\\\\$device\\\\$instance"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$ports\\$interface\\#\\Control]
"Linked"=dword:00000001
REG
} >"$work/port.reg"

wine_start "$prefix"
run() {  # run NAME PROGRAM ARGS... : under Wine, output to $work/NAME.txt, exit code returned
  local name=$1
  shift
  timeout 60 wine "$@" </dev/null >"$work/$name.txt" 2>&1
}
failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
state() {  # state EXPECTED : the service's state as another process sees it
  run query sc query BrisaOristo
  grep -q "STATE *: *[0-9] *$1" "$work/query.txt"
}
log=$c/ProgramData/Nortane/Brisa/BrisaOristo.txt
text() { iconv -f UTF-16LE -t UTF-8 "$log" 2>/dev/null | tr -d '\r\357\273\277'; }
logged() { text | grep -q -- "$1"; }
logged_in_order() {  # logged_in_order LINE... : each line's pattern, in this order
  local from=1 at
  for pattern in "$@"; do
    at=$(text | tail -n "+$from" | grep -n -m1 -- "$pattern" | cut -d: -f1)
    [ -n "$at" ] || { echo "  not logged (in order): $pattern"; return 1; }
    from=$((from + at))
  done
}

check "the port's registry keys import" run import reg import "Z:$(realpath "$work/port.reg" | tr / '\\')"
# Where an installer puts the program: the path has blanks, so the service's command is quoted.
mkdir -p "$c/Program Files/Nortane/Brisa" "$c/ProgramData/Nortane"
cp "$build/service/brisa.exe" "$c/Program Files/Nortane/Brisa/brisa.exe"
brisa='C:\Program Files\Nortane\Brisa\brisa.exe'

check "brisa.exe -i" run install "$brisa" -i
check "installed, stopped" state STOPPED
# Wine's sc has no qc: the manager's record is read from the registry.
run qc reg query 'HKLM\System\CurrentControlSet\Services\BrisaOristo' /v ImagePath
check "the service's command is quoted" grep -q '"C:\\Program Files\\Nortane\\Brisa\\brisa.exe"' "$work/qc.txt"
check "brisa.exe -s" run start "$brisa" -s
check "running" state RUNNING
# The device watch looks once a second; the port's line appears on the first look.
for _ in $(seq 100); do logged "failed to connect" && break; sleep 0.1; done
check "start-up lines" logged_in_order 'Connect()' 'Main()' 'ReportStatus()' \
  'Run( "", 2 )' 'SetPriorityClass() = 1' 'ReportStatus()'
check "the device found through SetupAPI and the registry, its arrival" logged_in_order \
  'PDA() - Attempting to start download thread, \[COM7\\TarnService, vid_1209&pid_0002#5&2c0ffee&0\]'
# Wine cannot open a port with a file name after it (COM7\TarnService): ERROR_PATH_NOT_FOUND.
check "Wine refuses the port's file name: failed to connect" \
  logged_in_order 'PDA() - Tarn protocol server failed to connect'
check "brisa.exe -e" run stop "$brisa" -e
check "stopped" state STOPPED
check "stop lines" logged_in_order 'Control()' 'Stop()' 'ReportStatus()'
check "brisa.exe -u" run uninstall "$brisa" -u
check "removed: the manager no longer knows it" bash -c "! timeout 60 wine sc query BrisaOristo </dev/null >/dev/null 2>&1"

# The download sequence over Wine's serial stack, through the plain port name, to the same
# emulator: three images, each to arrive whole and unchanged (length and FNV-1a digest as the
# emulator counts them; the AMSS image goes without its 8-byte trailer).
mkdir -p "$c/images"
python3 - "$c/images" >"$work/expected.txt" <<'PY'
import os, random, sys
def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h
rng = random.Random(1209)
for name, size, trailer in (("amss.mbn", 300000, b"\x34\x12\xdc\xfe\x03\x02\x00\x00"),
                            ("apps.mbn", 70001, b""), ("nvpk.mbn", 5000, b"")):
    body = bytes(rng.getrandbits(8) for _ in range(size))
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(body + trailer)
    print("received=%d .* fnv64=%016x complete" % (size, fnv(body)))
PY
cp "$build/tests/wine/wine_download.exe" "$c/images/"
check "the download over COM7 completes" run download 'C:\images\wine_download.exe' COM7 \
  'C:\images\amss.mbn' 'C:\images\apps.mbn' 'C:\images\nvpk.mbn' 'C:\images\download.txt'
kill -TERM "$module_pid" 2>/dev/null
wait "$module_pid" 2>/dev/null
while read -r expected; do
  check "an image arrived whole: ${expected%% .*}" grep -q "$expected" "$work/module.out"
done <"$work/expected.txt"

if [ "$failed" != 0 ]; then
  echo "--- service log"
  text | tail -40
  echo "--- outputs in $work"
fi
exit $failed
