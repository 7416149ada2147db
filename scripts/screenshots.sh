#!/usr/bin/env bash
# Screenshots of the real program under a bare X server, in English and in Korean, into docs/: a
# Com1 window on the simulated box with its console text and a typed line, the DSTB menu open.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build; the program and stbsim must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
downloader="$build/gui/downloader"
stbsim="$build/tools/stbsim/stbsim"
[ -x "$downloader" ] && [ -x "$stbsim" ] || { echo "build downloader and stbsim in $build first" >&2; exit 2; }
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"

shoot() {
  local lang=$1 country=$2 out=$3
  # CR alone ends a line (the terminal's new-line-on-CR steps down with it; CR LF would leave gaps), and
  # without the box's echo the typed line shows once (the terminal echoes it locally).
  "$stbsim" --banner-delay-ms 50 --banner 'STB boot 2.10 (simulated)\rflash 4096 KiB ok\rmain loop\r> ' >"$work/sim-$lang.out" &
  local sim=$!
  wait_for 50 grep -q '^PTY ' "$work/sim-$lang.out"
  local pty
  pty=$(sed -n 's/^PTY //p' "$work/sim-$lang.out")
  mkdir -p "$work/$lang/downloader"
  printf '[Devices]\nCOM1=%s\n[Settings]\niCountry=%s\nWinLeft0=0\nWinTop0=0\nWinRight0=1024\nWinBottom0=768\nWinLeft1=330\nWinTop1=8\nWinRight1=1020\nWinBottom1=700\n' \
    "$pty" "$country" >"$work/$lang/downloader/corvane.ini"
  XDG_CONFIG_HOME="$work/$lang" QT_QPA_PLATFORM=xcb "$downloader" 2>/dev/null &
  local dl=$!
  find_frame() { xdotool search --onlyvisible --class downloader 2>/dev/null | head -1; }
  have_frame() { [ -n "$(find_frame)" ]; }
  wait_for 100 have_frame
  xdotool windowfocus --sync "$(find_frame)"
  sleep 0.3
  xdotool key alt+f; sleep 0.3; xdotool key 1
  wait_for 50 grep -q '^CONNECTED' "$work/sim-$lang.out"
  sleep 0.5
  xdotool type --delay 20 'version'; xdotool key Return
  sleep 0.3
  # The DSTB menu: open File, then step right.
  xdotool key alt+f; sleep 0.3; xdotool key Right
  sleep 0.6
  import -window root "$out"
  xdotool key Escape; sleep 0.2; xdotool key Escape; sleep 0.2
  xdotool key alt+f; sleep 0.3; xdotool key x
  wait "$dl" || true
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  echo "wrote $out"
}

shoot en 1 docs/downloader-en.png
shoot ko 82 docs/downloader-ko.png
