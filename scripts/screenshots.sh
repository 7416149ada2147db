#!/usr/bin/env bash
# Screenshots of the real program under a bare X server against the simulated box, into docs/:
#   downloader-en.png, downloader-ko.png   Com1 with console text, the DSTB menu open
#   session-en.png                         a connected session: box-drawing and accented console text
#   programming-en.png                     a programming run with the progress panel
#   context-en.png, context-ko.png         the session window's context menu (connected, recent images)
#   settings-en.png                        the Serial Port Settings dialog
#   scrollback-en.png                      the scroll-back read with Shift+PgUp, a selection in it
#   reconnect-en.png                       a pulled adapter waited for (Reconnect Automatically)
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
  # The program takes a first signal as File, Exit, which asks while a transfer runs; a second ends it.
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"

# Console text with code page 437 bytes: a double-line box, accented letters, shading.
# CR alone ends a line (the terminal's new-line-on-CR steps down with it).
banner='\xC9\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xBB\r'
banner+='\xBA STB boot 2.10 (simulated) \xBA\r'
banner+='\xBA Men\xA3 \x82t\x82 \x81ber \x84\x94\x81 \x9C5      \xBA\r'
banner+='\xC8\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xBC\r'
banner+='flash 4096 KiB \xB0\xB1\xB2\xDB ok\rtuner \xDA\xC4\xC4\xBF \xC0\xC4\xC4\xD9 locked\rmain loop\r'

sim=""
dl=""
# start_box NAME ARGS...: stbsim with the banner, its pty in $pty
start_box() {
  local name=$1; shift
  "$stbsim" --banner-delay-ms 50 --banner "$banner" "$@" >"$work/sim-$name.out" &
  sim=$!
  wait_for 50 grep -q '^PTY ' "$work/sim-$name.out"
  pty=$(sed -n 's/^PTY //p' "$work/sim-$name.out")
}
# start_program NAME COUNTRY EXTRA_SETTINGS: the program on $pty, the frame focused, Com1 open
start_program() {
  local name=$1 country=$2 extra=${3:-}
  mkdir -p "$work/$name/downloader"
  printf '[Devices]\nCOM1=%s\n[Settings]\niCountry=%s\nWinLeft0=0\nWinTop0=0\nWinRight0=1280\nWinBottom0=1024\nWinLeft1=8\nWinTop1=8\nWinRight1=%s\nWinBottom1=%s\n%b' \
    "$pty" "$country" "${win_right:-1010}" "${win_bottom:-560}" "$extra" >"$work/$name/downloader/corvane.ini"
  XDG_CONFIG_HOME="$work/$name" QT_QPA_PLATFORM=xcb "$downloader" 2>"$work/dl-$name.err" &
  dl=$!
  find_frame() { xdotool search --onlyvisible --class downloader 2>/dev/null | head -1; }
  have_frame() { [ -n "$(find_frame)" ]; }
  wait_for 100 have_frame
  xdotool windowfocus --sync "$(find_frame)"
  sleep 0.3
  xdotool key alt+f; sleep 0.3; xdotool key 1
  wait_for 50 grep -q '^CONNECTED' "$work/sim-$name.out"
  sleep 0.6
}
stop_all() {
  xdotool key Escape; sleep 0.2; xdotool key Escape; sleep 0.2
  kill "$dl" 2>/dev/null || true
  sleep 0.3
  kill "$dl" 2>/dev/null || true  # a first signal runs File, Exit, which asks while a transfer runs
  wait "$dl" 2>/dev/null || true
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
}
shoot() {
  sleep 0.6
  import -window root "$1"
  echo "wrote $1"
}
# A window found by its exact title, focused.
focus_named() {
  local id=""
  for ((i = 0; i < 100; i++)); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] && xdotool windowfocus --sync "$id"
}

# Types a path into the focused file dialog titled $2 and presses Return until it has gone (the
# first Return may only take the name completer's suggestion).
accept_file() {
  xdotool type --delay 10 "$1"
  for ((k = 0; k < 5; k++)); do
    sleep 0.5
    [ -z "$(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null || true)" ] && return 0
    xdotool key Return
  done
  return 1
}

# The DSTB menu, in both languages.
for lang in en ko; do
  country=1; [ "$lang" = ko ] && country=82
  start_box "menu-$lang"
  start_program "menu-$lang" "$country"
  xdotool type --delay 20 'version'; xdotool key Return
  xdotool key alt+f; sleep 0.3; xdotool key Right
  shoot "docs/downloader-$lang.png"
  stop_all
done

# A connected session with console text.
start_box session
start_program session 1
xdotool type --delay 20 'help'; xdotool key Return
shoot docs/session-en.png

# The context menu, with two recent images, in both languages: opened by the right button.
stop_all
for lang in en ko; do
  country=1; [ "$lang" = ko ] && country=82
  start_box "context-$lang"
  start_program "context-$lang" "$country" 'RecentFile1=/srv/images/stb-2.10.img\nRecentFile2=/srv/images/stb-2.09.img\n'
  xdotool mousemove 300 250 click 3
  shoot "docs/context-$lang.png"
  stop_all
done

# The settings dialog: disconnect (Home), then Settings... from the context menu.
start_box settings
start_program settings 1
xdotool key Home; sleep 0.3
xdotool mousemove 300 250 click 3; sleep 0.4
xdotool key Down Down Return
focus_named 'Serial Port Settings'
shoot docs/settings-en.png
stop_all

# A programming run: Update Software (Safe) by F3, the image typed into the file dialog. The window is
# shorter than the screen's 35 rows: the panel on its bottom edge lies over the text rows.
head -c $((96 * 4096)) /dev/urandom >"$work/stb.img"
start_box programming --baud 115200 --image "$work/stb.img"
start_program programming 1
xdotool key F3
focus_named 'File to upload'
sleep 0.3
accept_file "$work/stb.img" 'File to upload'
wait_for 300 grep -q '^SECTOR n=20 ' "$work/sim-programming.out"
shoot docs/programming-en.png
stop_all

# The scroll-back: a stream of numbered lines, read back with Shift+PgUp, two rows selected with the
# left button.
start_box scrollback --stream-lines 300
start_program scrollback 1
wait_for 100 grep -q '^STREAM' "$work/sim-scrollback.out"
xdotool key shift+Prior; sleep 0.3
xdotool mousemove 60 200 mousedown 1 mousemove 400 230 mouseup 1
shoot docs/scrollback-en.png
stop_all

# Reconnect Automatically: COM1 names a link to the box's device, the box goes away with its device,
# and the window waits; a box that comes back behind the name is connected within a second.
start_box reconnect
ln -s "$pty" "$work/ttyBOX"
pty="$work/ttyBOX"
start_program reconnect 1 '[Connection]\nReconnectAutomatically=1\n'
rm "$work/ttyBOX"
kill "$sim"; wait "$sim" 2>/dev/null || true
shoot docs/reconnect-en.png
start_box reconnect-again
ln -s "$pty" "$work/ttyBOX"
if wait_for 10 grep -q '^CONNECTED' "$work/sim-reconnect-again.out"; then
  echo "the returning box was connected within a second"
else
  echo "the returning box was not connected within a second" >&2
  exit 1
fi
stop_all
