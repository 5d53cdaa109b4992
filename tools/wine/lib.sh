# Sourced by the Wine stage's scripts: one environment and the prefixes under build/wine/.
# A prefix is large and slow to make, so one template is made once and every run copies it.

export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No Mono or Gecko: there is no network, and their install dialogs would block wineboot.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY

wine_root() {  # the build/wine/ folder of the repository this script lives in
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  echo "$here/build/wine"
}

# wine_template: prints the template prefix's path, making it first when absent. The server is
# made persistent before wineboot: without it Wine ends services seconds after the last ordinary
# process exits, and wineboot's own start-up is cut short the same way.
wine_template() {
  local template
  template="$(wine_root)/template"
  if [ ! -f "$template/.complete" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    (
      export WINEPREFIX=$template
      wineserver -p
      wineboot -i >"$template.log" 2>&1
      wineserver -k || true
      wineserver -w || true
    )
    [ -f "$template/system.reg" ] || { echo "wineboot did not make a prefix (see $template.log)" >&2; return 1; }
    touch "$template/.complete"
  fi
  echo "$template"
}

# wine_fresh_prefix DEST: a copy of the template at DEST, replacing what was there, with its
# server stopped first so that no process keeps the old one's files.
wine_fresh_prefix() {
  local dest=$1 template
  template=$(wine_template) || return 1
  if [ -d "$dest" ]; then
    WINEPREFIX=$dest wineserver -k 2>/dev/null || true
    WINEPREFIX=$dest wineserver -w 2>/dev/null || true
    rm -rf "$dest"
  fi
  mkdir -p "$(dirname "$dest")"
  cp -a --reflink=auto "$template" "$dest"
  rm -f "$dest/.complete"
}

# wine_start PREFIX / wine_stop PREFIX: a persistent server for one run; its output goes to
# /dev/null so that it never holds a caller's pipe open.
wine_start() { WINEPREFIX=$1 wineserver -p </dev/null >/dev/null 2>&1; }
wine_stop() {
  WINEPREFIX=$1 wineserver -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$1 wineserver -w </dev/null >/dev/null 2>&1 || true
}
