#!/usr/bin/env bash
# The real program under a bare X server (no window manager) against the simulated box on a
# pseudo-terminal, driven by keys only: open Com1 from the File menu, type a line the box echoes,
# update the software (F3, the image typed into the file dialog) and have the box verify every sector,
# send a data file (F2) that the box takes with a matching checksum, save an upload of the box (Yes, a
# typed name) and compare it byte for byte, exit from the File menu; then the settings file must hold what the exit wrote, beside the device
# mapping it was started with.
# Usage: end_to_end.sh DOWNLOADER STBSIM
set -euo pipefail
downloader=$1
stbsim=$2
work=$(mktemp -d)
pids=()
cleanup() {
  # The program takes a first signal as File, Exit, which asks while a transfer runs; a second ends it.
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/downloader.err" ] && sed "s/^/downloader: /" "$work/downloader.err" >&2; [ -f "$work/sim.out" ] && sed 's/^/stbsim: /' "$work/sim.out" >&2; exit 1; }

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"

head -c $((16 * 4096)) /dev/urandom >"$work/stb.img"
head -c 40000 /dev/urandom >"$work/channels.dat"
head -c 50000 /dev/urandom >"$work/upload.bin"
"$stbsim" --echo --no-banner --image "$work/stb.img" --save "$work/taken.dat" --upload "$work/upload.bin" >"$work/sim.out" &
pids+=($!)
wait_for 50 grep -q '^PTY ' "$work/sim.out" || fail "stbsim gave no pty"
pty=$(sed -n 's/^PTY //p' "$work/sim.out")

mkdir -p "$work/config/downloader"
settings="$work/config/downloader/corvane.ini"
printf '[Devices]\nCOM1=%s\n[Settings]\nWinLeft0=0\nWinTop0=0\nWinRight0=800\nWinBottom0=600\n' "$pty" >"$settings"

# In a sanitizer build, a leak inside the system's D-Bus library is not ours to report.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/lsan.supp"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$downloader" 2>"$work/downloader.err" &
dl_pid=$!
pids+=("$dl_pid")
find_frame() { xdotool search --onlyvisible --name '^Downloader$' 2>/dev/null | head -1; }
have_frame() { [ -n "$(find_frame)" ]; }
wait_for 100 have_frame || fail "no frame window"
frame=$(find_frame)
xdotool windowfocus --sync "$frame"
sleep 0.3

xdotool key alt+f
sleep 0.3
xdotool key 1
wait_for 50 grep -q '^CONNECTED' "$work/sim.out" || fail "Com1 was not opened"
sleep 0.3
xdotool type --delay 30 'hello box'
xdotool key Return
wait_for 50 grep -q '^LINE text=hello\\x20box$' "$work/sim.out" || fail "the typed line did not reach the box"

# Update Software (Safe) by F3; the image is typed into the file dialog the box's start line opens.
xdotool key F3
dialog_open() { [ -n "$(xdotool search --onlyvisible --name '^File to upload$' 2>/dev/null || true)" ]; }
wait_for 100 dialog_open || fail "no image dialog"
xdotool windowfocus --sync "$(xdotool search --onlyvisible --name '^File to upload$' | head -1)"
sleep 0.3
xdotool type --delay 10 "$work/stb.img"
# The first Return may only take the name completer's suggestion.
for ((k = 0; k < 5; k++)); do sleep 0.5; dialog_open || break; xdotool key Return; done
wait_for 300 grep -q '^PROGRAM ' "$work/sim.out" || fail "the programming run did not end"
grep -q '^PROGRAM kind=m:prog_sum sectors=16 requests=16 ok=16 bad=0 failed=0 image=match end=stop$' "$work/sim.out" ||
  fail "the box did not verify every sector: $(grep '^PROGRAM' "$work/sim.out")"
xdotool windowfocus --sync "$frame"
sleep 0.3

# Types a path into the file dialog titled $1 and presses Return until it has gone.
answer_file() {
  local title=$1 path=$2 id=""
  shown() { id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1 || true); [ -n "$id" ]; }
  wait_for 100 shown || fail "no dialog $title"
  xdotool windowfocus --sync "$id"; sleep 0.3
  xdotool type --delay 10 "$path"
  for ((k = 0; k < 5; k++)); do sleep 0.5; shown || return 0; xdotool key Return; done
  fail "dialog $title stayed"
}
# Answers the next message box titled $1 with the key $2.
answer_box() {
  local id="" title=$1
  shown() { id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1 || true); [ -n "$id" ]; }
  wait_for 150 shown || fail "no box $title"
  xdotool windowfocus --sync "$id"; sleep 0.3
  xdotool key "$2"
}

# A data send (F2): the box takes it with a matching checksum.
xdotool key F2
answer_file 'Select data file to send' "$work/channels.dat"
wait_for 300 grep -q '^TAKE ' "$work/sim.out" || fail "the box took no data"
grep -q '^TAKE size=40000 .* ok=1' "$work/sim.out" || fail "the take failed: $(grep '^TAKE' "$work/sim.out")"
cmp -s "$work/channels.dat" "$work/taken.dat" || fail "the box saved other bytes"
answer_box 'Data Transmitting Done' Return
xdotool windowfocus --sync "$frame"; sleep 0.3

# A box upload, answered Yes and saved under a typed name.
xdotool type --delay 30 'm:upload'; xdotool key Return
answer_box 'Data Receiving Done' y
answer_file 'Select file to save data' "$work/saved.bin"
wait_for 50 test -s "$work/saved.bin" || fail "nothing saved"
cmp "$work/upload.bin" "$work/saved.bin" || fail "the saved upload differs"
xdotool windowfocus --sync "$frame"; sleep 0.3

xdotool key alt+f

sleep 0.3
xdotool key x
for ((i = 0; i < 100; i++)); do kill -0 "$dl_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$dl_pid" 2>/dev/null && fail "the program did not exit"
rc=0
wait "$dl_pid" || rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc: $(cat "$work/downloader.err")"
wait_for 50 grep -q '^DISCONNECTED' "$work/sim.out" || fail "the port was not closed"

grep -qx "COM1=$pty" "$settings" || fail "the [Devices] section was lost"
keys=$(sed -n '/^\[Settings\]/,/^\[/p' "$settings" | grep -c '=')
[ "$keys" -eq 25 ] || fail "$keys keys in [Settings], not 24 and the recent image"
grep -qx "RecentFile1=$work/stb.img" "$settings" || fail "the programmed image is not the recent one"
grep -qx 'WinRight0=800' "$settings" || fail "frame rectangle not written back: $(grep Win.0 "$settings" | tr '\n' ' ')"
grep -q '^WinLeft1=' "$settings" || fail "no Com1 rectangle"
echo "end to end: ok"
