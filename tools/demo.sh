#!/usr/bin/env bash
# The service's life in the simulated world, with the real programs in separate processes:
# install, start through the service manager, stop, uninstall, then the service log.
#   tools/demo.sh BUILD_DIR [--check]    (--check: also verify switches, exit codes and the log)
set -euo pipefail
build=$(cd "$1" && pwd)
check=${2:-}
brisa_bin=$build/service/brisa
winsc=$build/tools/winsc/winsc

world=${WIN32EMU_ROOT:-}
if [ -z "$world" ] || [ -n "$check" ]; then world=$(mktemp -d "${TMPDIR:-/tmp}/brisa-world-XXXXXX"); fi
export WIN32EMU_ROOT=$world
trap '[ -n "$check" ] && rm -rf "$world"' EXIT

# What the installer lays down: the program in the program folder, the company's data folder.
program="$world/drive_c/Program Files/Nortane"
mkdir -p "$program" "$world/drive_c/ProgramData/Nortane"
cp "$brisa_bin" "$program/brisa"
brisa="$program/brisa"
log="$world/drive_c/ProgramData/Nortane/Brisa/BrisaOristo.txt"

failures=0
expect() {  # expect DESCRIPTION ACTUAL WANTED
  if [ "$2" != "$3" ]; then echo "FAILED: $1: got '$2', wanted '$3'" >&2; failures=$((failures + 1)); fi
}
run() { set +e; "$@"; local rc=$?; set -e; echo $rc; }
show_log() { tail -c +3 "$log" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r'; }

if [ -n "$check" ]; then
  expect "brisa -x" "$(run "$brisa" -x)" 254
  expect "brisa -i -u" "$(run "$brisa" -i -u)" 254
  expect "brisa -I" "$(run "$brisa" -I)" 254
  expect "brisa -s /x" "$(run "$brisa" -s /x)" 254
  # From a console the dispatcher fails at once; the log holds the mark and "Connect()".
  expect "brisa from a console" "$(run "$brisa")" 0
  expect "log mark" "$(head -c 2 "$log" | od -An -tx1 | tr -d ' ')" fffe
  expect "console log" "$(show_log | sed 's/^.*] //')" "Connect()"
  cp "$log" "$world/console-log"
fi

echo "== brisa -i (install)";   expect "install" "$(run "$brisa" -i)" 0
"$winsc" query BrisaOristo
echo "== brisa -s (start)";     expect "start" "$(run "$brisa" -s)" 0
"$winsc" query BrisaOristo
if [ -n "$check" ]; then
  expect "running" "$("$winsc" query BrisaOristo | cut -d' ' -f2)" RUNNING
  # A run with a switch leaves the running service's log alone.
  "$brisa" -x || true
  expect "log kept" "$(show_log | head -1 | sed 's/^.*] //')" "Connect()"
fi
echo "== brisa -e (stop)";      expect "stop" "$(run "$brisa" -e)" 0
"$winsc" query BrisaOristo
echo "== brisa -u (uninstall)"; expect "uninstall" "$(run "$brisa" -u)" 0
set +e; "$winsc" query BrisaOristo 2>&1; set -e

echo "== the service log: C:\\ProgramData\\Nortane\\Brisa\\BrisaOristo.txt"
show_log

if [ -n "$check" ]; then
  want='Connect()
Main()
ReportStatus()
Run( "", 2 ) 
SetPriorityClass() = 1
ReportStatus()
Control()
Stop() 
ReportStatus()
ReportStatus()'
  expect "service log" "$(show_log | sed 's/^.*] //')" "$want"
  expect "line prefix" "$(show_log | head -1 | grep -cE '^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]{5,}\] ')" 1
  expect "uninstalled" "$(ls "$world/scm/services" | wc -l)" 0
  [ $failures -eq 0 ] && echo "all checks passed" || { echo "$failures checks failed"; exit 1; }
fi
