#!/usr/bin/env bash
# The session log under a console that never pauses: the desktop program under Xvfb, Com1 on a simulated
# box streaming numbered lines at 3 Mbaud, once without a log and once with Tools, "Log to File..." and
# "Timestamps" on. For each run it prints the program's CPU share over the measured seconds and its
# resident memory each minute; for the logged run it then checks the file against the stream: every
# line the box sent, once, in order, each stamped HH:MM:SS.mmm.
#
#   scripts/log_run.sh [BUILD_DIR] [SECONDS] [BAUD]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
seconds="${2:-600}"
baud="${3:-3000000}"
downloader="$build/gui/downloader" stbsim="$build/tools/stbsim/stbsim"
for f in "$downloader" "$stbsim"; do [ -x "$f" ] || { echo "log_run: missing $f" >&2; exit 2; }; done
work=$(mktemp -d "${TMPDIR:-/tmp}/log_run.XXXXXX")
pids=()
cleanup() {
  # The X server last: the program aborts when its display goes first.
  for p in "${pids[@]:1}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
wait_for() { local tries=$1 i; shift; for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }

Xvfb -displayfd 3 -screen 0 1280x960x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

# The box streams a little longer than the measured seconds, so the whole measure sees a full line.
lines=$(( (seconds + 10) * baud / 10 / 66 ))
log="$work/box.log"
run() {
  local logged=$1 name=$2
  mkdir -p "$work/$name/downloader"
  "$stbsim" --no-banner --banner-delay-ms 8000 --baud "$baud" --stream-lines "$lines" >"$work/$name.box" &
  local box=$!
  pids+=($box)
  wait_for 50 grep -qs '^PTY ' "$work/$name.box"
  printf '[Devices]\nCOM1=%s\n[Settings]\nWinLeft0=0\nWinTop0=0\nWinRight0=1280\nWinBottom0=960\nWinLeft1=0\nWinTop1=0\nWinRight1=700\nWinBottom1=640\n[Log]\nTimestamps=1\n' \
    "$(sed -n 's/^PTY //p' "$work/$name.box")" >"$work/$name/downloader/corvane.ini"
  XDG_CONFIG_HOME="$work/$name" QT_QPA_PLATFORM=xcb "$downloader" 2>"$work/$name.err" &
  local dl=$!
  pids+=($dl)
  frame() { xdotool search --onlyvisible --name '^Downloader' 2>/dev/null | head -1; }
  have_frame() { [ -n "$(frame)" ]; }
  wait_for 100 have_frame || { echo "no frame: $(cat "$work/$name.err")" >&2; exit 1; }
  xdotool windowfocus --sync "$(frame)"; sleep 0.5
  xdotool key alt+f; sleep 0.3; xdotool key 1
  wait_for 50 grep -q '^CONNECTED' "$work/$name.box" || { echo "Com1 did not connect" >&2; exit 1; }
  if [ "$logged" = 1 ]; then
    # The box begins its stream 8 s after the port opened: the log is open by then.
    xdotool mousemove 196 9 click 1; sleep 0.4  # Tools
    xdotool key Down Down Down Down Return; sleep 0.6
    local dialog=""
    for ((i = 0; i < 50; i++)); do
      dialog=$(xdotool search --onlyvisible --name '^Log to File$' 2>/dev/null | head -1 || true)
      [ -n "$dialog" ] && break
      sleep 0.1
    done
    [ -n "$dialog" ] || { echo "no Log to File dialog" >&2; exit 1; }
    xdotool windowfocus --sync "$dialog"; sleep 0.2
    xdotool type --delay 10 "$log"
    for ((k = 0; k < 5; k++)); do
      sleep 0.5
      [ -z "$(xdotool search --onlyvisible --name '^Log to File$' 2>/dev/null || true)" ] && break
      xdotool key Return
    done
    [ -e "$log" ] || { echo "the log was not opened" >&2; exit 1; }
  fi
  sleep 10  # the stream's start, and past the first screenfuls
  local t0 c0 t1 c1 rss=()
  t0=$(date +%s.%N); c0=$(cpu_ns $dl)
  for ((m = 0; m < seconds; m += 60)); do
    sleep $(( seconds - m < 60 ? seconds - m : 60 ))
    rss+=("$(awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$dl/status")")
  done
  t1=$(date +%s.%N); c1=$(cpu_ns $dl)
  # A loaded machine slows the box's own pacing a little: the stream may end some seconds late.
  wait_for 1200 grep -q '^STREAM' "$work/$name.box" ||
    { echo "the stream did not end: $(cat "$work/$name.box" "$work/$name.err")" >&2; exit 1; }
  sleep 1
  kill $dl; sleep 0.3; kill $dl 2>/dev/null || true
  wait $dl 2>/dev/null || true
  kill $box 2>/dev/null || true
  wait $box 2>/dev/null || true
  awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v n="$name" -v rss="${rss[*]}" 'BEGIN {
    printf "| %s | %.2f | %s |\n", n, (c1 - c0) / 1e9 / (t1 - t0) * 100, rss }'
}

echo "Com1 fed $lines lines without a pause at $baud baud, ${seconds} s measured"
echo
echo "| run | CPU % of a core | resident MiB each minute |"
echo "|---|---|---|"
run 0 plain
run 1 logged
# Every streamed line, once and in order, each stamped.
awk -v want="$lines" '
  function fail(why) { printf "log: line %d: %s: %s\n", NR, why, $0; bad = 1; exit 1 }
  {
    if ($0 !~ /^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9][0-9][0-9] /) fail("no time stamp")
    text = substr($0, 14)
    if (text == "") next
    expect = sprintf("S%08d the quick brown fox jumps over the lazy dog 0123456789", next_line)
    if (text != expect) fail("expected line " next_line)
    next_line++
  }
  END {
    if (bad) exit 1
    if (next_line != want) { printf "log: %d of %d lines\n", next_line, want; exit 1 }
    printf "log: all %d lines, in order, each stamped (%d lines in the file)\n", next_line, NR
  }' "$log"
