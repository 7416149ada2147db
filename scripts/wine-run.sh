#!/usr/bin/env bash
# Runs a Windows program under wine in the Windows build's own prefix, made on first use without any
# dialog: no Mono or Gecko installer, no debug chatter, no window of wine's own. CTest uses it as the
# cross build's emulator, scripts/wine_e2e.sh through it too. `wine-run.sh --print-prefix` says which
# prefix that is.
#
# The prefix is $WINEPREFIX when set, else build-windows/wineprefix; wine refuses a prefix that another
# user owns (root running after a user did, say), so such a user gets build-windows/wineprefix-uid<N>.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$here/build-windows/wineprefix
  if [ -e "$WINEPREFIX" ] && [ "$(stat -c %u "$WINEPREFIX")" != "$(id -u)" ]; then
    WINEPREFIX=$WINEPREFIX-uid$(id -u)
  fi
fi
export WINEPREFIX
if [ "${1:-}" = --print-prefix ]; then
  echo "$WINEPREFIX"
  exit 0
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY  # a crash dialog would wait for a click nobody gives
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
  exec 9>&-
fi
exec wine "$@"
