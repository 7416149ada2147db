#!/usr/bin/env bash
# Runs a Windows program under wine in the Windows build's own prefix (build-windows/wineprefix, or
# $WINEPREFIX when set), made on first use without any dialog: no Mono or Gecko installer, no debug
# chatter. CTest uses it as the cross build's emulator; scripts/wine_e2e.sh through it too.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build-windows/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
unset DISPLAY  # no window of wine's own (a crash dialog would wait for a click)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Several tests may start at once: one of them makes the prefix, the others wait for it.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait || true
  fi
  flock -u 9
fi
exec wine "$@"
