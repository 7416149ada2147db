#!/usr/bin/env bash
# The desktop program under load, as a technician's screen would see it: under Xvfb, Com1 (then Com1 to
# Com4, tiled) open on simulated boxes that each stream console text without a pause at 3 Mbaud. For
# each case it prints the program's CPU share over the measured seconds, its resident memory at the end,
# and how long changed text waited for the repaint that showed it (from the moment its bytes began to
# wait on the line to the end of the paint, DL_PAINT_LATENCY; the pieces of one large read dated by
# where they lie in it), at the median, the 99th percentile and the worst.
#
#   scripts/desktop_bench.sh [BUILD_DIR] [SECONDS] [BAUD]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
seconds="${2:-60}"
baud="${3:-3000000}"
downloader="$build/gui/downloader" stbsim="$build/tools/stbsim/stbsim"
for f in "$downloader" "$stbsim"; do [ -x "$f" ] || { echo "desktop_bench: missing $f" >&2; exit 2; }; done
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
wait_for() { local tries=$1 i; shift; for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }

Xvfb -displayfd 3 -screen 0 1280x960x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"
# CPU time from the scheduler's own run time of every thread, in nanoseconds rather than the clock
# ticks of /proc/PID/stat (the two agree over a minute; this one needs no tick rate and splits by
# thread when read by hand). A thread that ends inside the measured seconds is not counted; none does
# while the windows only show text. Summed in floating point: mawk's %d stops at 2^31.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }

results=()
run_case() {
  local windows=$1 lines box_pids=() settings="$work/config/downloader/corvane.ini"
  lines=$(( (seconds + 30) * baud / 10 / 66 ))
  mkdir -p "$work/config/downloader"
  {
    echo "[Devices]"
    for ((i = 1; i <= windows; i++)); do
      "$stbsim" --no-banner --baud "$baud" --stream-lines "$lines" >"$work/box$i.out" &
      box_pids+=($!); pids+=($!)
      wait_for 50 grep -q '^PTY ' "$work/box$i.out"
      echo "COM$i=$(sed -n 's/^PTY //p' "$work/box$i.out")"
    done
    # The frame fills the screen; the windows lie in a 2 x 2 grid, each showing all 80 x 35 cells.
    echo "[Settings]"
    echo "WinLeft0=0"; echo "WinTop0=0"; echo "WinRight0=1280"; echo "WinBottom0=960"
    for ((i = 1; i <= 4; i++)); do
      local l=$(( (i - 1) % 2 * 640 )) t=$(( (i - 1) / 2 * 460 ))
      echo "WinLeft$i=$l"; echo "WinTop$i=$t"; echo "WinRight$i=$((l + 660))"; echo "WinBottom$i=$((t + 600))"
    done
  } >"$settings"
  rm -f "$work/latency"
  XDG_CONFIG_HOME="$work/config" DL_PAINT_LATENCY="$work/latency" QT_QPA_PLATFORM=xcb "$downloader" 2>"$work/err" &
  local dl=$!
  pids+=($dl)
  frame() { xdotool search --onlyvisible --name '^Downloader' 2>/dev/null | head -1; }
  have_frame() { [ -n "$(frame)" ]; }
  wait_for 100 have_frame || { echo "no frame: $(cat "$work/err")" >&2; exit 1; }
  xdotool windowfocus --sync "$(frame)"; sleep 0.5
  for ((i = 1; i <= windows; i++)); do xdotool key alt+f; sleep 0.3; xdotool key "$i"; sleep 0.5; done
  for ((i = 1; i <= windows; i++)); do
    wait_for 50 grep -q '^CONNECTED' "$work/box$i.out" || { echo "Com$i did not connect" >&2; exit 1; }
  done
  sleep 5  # past the first screenfuls
  local t0 c0 t1 c1 rss
  t0=$(date +%s.%N); c0=$(cpu_ns $dl)
  sleep "$seconds"
  t1=$(date +%s.%N); c1=$(cpu_ns $dl)
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$dl/status")
  xdotool windowfocus --sync "$(frame)"; sleep 0.3
  xdotool key alt+f; sleep 0.3; xdotool key x
  wait_for 100 bash -c "! kill -0 $dl 2>/dev/null" || { echo "the program did not exit" >&2; exit 1; }
  wait $dl || true
  for p in "${box_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  local lat
  lat=$(cat "$work/latency" 2>/dev/null ||
    echo "paints 0 p50_us 0 p99_us 0 max_us 0 shown_p50_us 0 shown_p99_us 0 shown_max_us 0")
  results+=("$(awk -v w="$windows" -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v rss="$rss" -v lat="$lat" 'BEGIN {
    split(lat, f, " ");
    printf "| %d | %.1f | %.1f | %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |", w, (c1 - c0) / 1e9 / (t1 - t0) * 100,
      rss / 1024, f[2], f[10] / 1000, f[12] / 1000, f[14] / 1000, f[4] / 1000, f[6] / 1000, f[8] / 1000 }')")
}

run_case 1
run_case 4
echo "desktop program, Com windows fed without a pause at $baud baud, ${seconds} s measured each"
echo
echo "Latency: from when a change's bytes began to wait on the line to the end of the paint. \"shown\":"
echo "of the oldest change still on the screen at the paint; \"any\": of the oldest change since the"
echo "last paint, even one the flood moved off the screen before it could be shown."
echo
echo "| windows | CPU % of a core | resident MiB | paints | shown p50 ms | shown p99 ms | shown max ms | any p50 ms | any p99 ms | any max ms |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${results[@]}"
