#!/usr/bin/env bash
# The demonstration as a newcomer meets it: `downloader --demo` under a bare X server. Com1 opens on the
# simulated box by itself; the sample image, offered as the first recent image in the context menu, is
# programmed and the box verifies every sector; the upload trigger the banner names brings the box's
# upload; File, Exit ends the program. Then neither the box nor the demonstration folder is left, and
# the user's own settings file is as it was. A second run is killed outright: the same must hold.
# Usage: demo.sh DOWNLOADER
set -euo pipefail
downloader=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  pkill -9 -f "$work/tmp/downloader-demo" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/downloader.err" ] && sed "s/^/downloader: /" "$work/downloader.err" >&2
  for log in "$work"/tmp/downloader-demo-*/box.log; do [ -f "$log" ] && sed 's/^/stbsim: /' "$log" >&2; done
  exit 1
}
wait_for() {
  local tries=$1 i; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/lsan.supp"

# A user who has a real box on COM1: the demonstration must neither use nor change that mapping.
mkdir -p "$work/config/downloader" "$work/tmp"
settings="$work/config/downloader/corvane.ini"
printf '[Devices]\nCOM1=/dev/ttyUSB7\n[Settings]\nRecentFile1=/home/tech/box.img\n' >"$settings"
cp "$settings" "$work/settings.before"

start_demo() {
  XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp" QT_QPA_PLATFORM=xcb \
    "$downloader" --demo 2>"$work/downloader.err" &
  dl_pid=$!
  pids+=("$dl_pid")
  folder_made() { compgen -G "$work/tmp/downloader-demo-*/box.log" >/dev/null; }
  wait_for 100 folder_made || fail "no demonstration folder"
  folder=$(dirname "$(compgen -G "$work/tmp/downloader-demo-*/box.log" | head -1)")
  log="$folder/box.log"
  wait_for 100 grep -q '^CONNECTED' "$log" || fail "Com1 did not open on the simulated box"
  box_pid=$(pgrep -f -- "--image $folder/sample.img" | head -1)
  [ -n "$box_pid" ] || fail "no stbsim process for $folder"
}
# The box and the folder go within three seconds of the program's end.
nothing_left() {
  gone() { ! kill -0 "$box_pid" 2>/dev/null && [ ! -e "$folder" ]; }
  wait_for 30 gone || fail "$1: left behind: $(ps -o pid=,args= -p "$box_pid" 2>/dev/null) $(ls -A "$folder" 2>/dev/null)"
}

start_demo
find_frame() { xdotool search --onlyvisible --name '^Downloader' 2>/dev/null | head -1; }
have_frame() { [ -n "$(find_frame)" ]; }
wait_for 100 have_frame || fail "no frame window"
frame=$(find_frame)
xdotool windowfocus --sync "$frame"
sleep 0.5

# The context menu's first recent image is the sample image: programming starts without a file dialog.
xdotool mousemove --window "$frame" 400 300 click 3
sleep 0.5
xdotool key 1
wait_for 600 grep -q '^PROGRAM ' "$log" || fail "the programming run did not end"
grep -q '^PROGRAM kind=m:prog_sum sectors=64 requests=64 ok=64 bad=0 failed=0 image=match end=stop$' "$log" ||
  fail "the box did not verify the sample image: $(grep '^PROGRAM' "$log")"

# The trigger the banner names makes the box upload; the result box comes, and No saves nothing.
xdotool windowfocus --sync "$frame"; sleep 0.3
xdotool type --delay 30 'm:upload'; xdotool key Return
box_shown() { [ -n "$(xdotool search --onlyvisible --name '^Data Receiving Done$' 2>/dev/null || true)" ]; }
wait_for 300 box_shown || fail "no Data Receiving Done box after the upload trigger"
xdotool windowfocus --sync "$(xdotool search --onlyvisible --name '^Data Receiving Done$' | head -1)"
sleep 0.3
xdotool key n
wait_for 50 bash -c '! xdotool search --onlyvisible --name "^Data Receiving Done$" >/dev/null 2>&1' ||
  fail "the result box stayed"

xdotool windowfocus --sync "$frame"; sleep 0.3
xdotool key alt+f; sleep 0.3; xdotool key x
for ((i = 0; i < 100; i++)); do kill -0 "$dl_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$dl_pid" 2>/dev/null && fail "the program did not exit"
rc=0
wait "$dl_pid" || rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc"
nothing_left "after File, Exit"
cmp -s "$settings" "$work/settings.before" || fail "the user's settings file was changed: $(cat "$settings")"

# Killed outright, with no chance to clean up itself.
start_demo
kill -9 "$dl_pid"
wait "$dl_pid" 2>/dev/null || true
nothing_left "after the program was killed"
cmp -s "$settings" "$work/settings.before" || fail "the user's settings file was changed"
echo "demo: ok"
