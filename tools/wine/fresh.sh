#!/usr/bin/env bash
# fresh.sh start|stop: the CTest fixture around the Windows tests. start gives them a new copy of
# the template prefix (tests write to C:\ and expect what a new system has) and a server that
# outlives each short test program, so that every test does not pay for a server start.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
prefix=${NORTANE_WINE_PREFIX:-$(wine_root)/tests}
case "${1:-}" in
  start)
    wine_fresh_prefix "$prefix"
    WINEPREFIX=$prefix wineserver -p30 </dev/null >/dev/null 2>&1
    ;;
  stop) wine_stop "$prefix" ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
