#!/usr/bin/env bash
# Transfer figures side by side on one paced line: the same 256 KiB file sent with our data send, with
# ZMODEM and with XMODEM-1K (lrzsz), and a 1 MiB image programmed, each between the two ends of
# bench/line_relay at the same baud rate (stbsim itself unpaced behind it, so the relay is the only pace).
#
#   scripts/side_by_side.sh [BUILD_DIR] [BAUD] [LATENCY_MS] [RUNS]
#
# BUILD_DIR (default build/) must hold bench/line_relay, tools/stbsim/stbsim and cli/downloader-cli.
# Efficiency is (bytes x 10 / baud) / wall time, the wall time of the sending program from its start
# to its exit (handshakes included, for every protocol alike); CPU is the sending program's user+sys
# seconds per MiB. Every received file is compared with the one sent. LATENCY_MS (default 0) has the
# relay hold what each end receives as a USB serial adapter's latency timer would. RUNS (default 3):
# our data send and ZMODEM take turns that many times, since a send of 256 KiB costs either program
# only a few milliseconds of CPU and single runs differ by a third.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
baud="${2:-115200}"
latency="${3:-0}"
runs="${4:-3}"
relay="$build/bench/line_relay" stbsim="$build/tools/stbsim/stbsim" cli="$build/cli/downloader-cli"
for f in "$relay" "$stbsim" "$cli"; do
  [ -x "$f" ] || { echo "side_by_side: missing $f" >&2; exit 2; }
done
for p in sz rz sx rx; do
  command -v $p >/dev/null || { echo "side_by_side: $p missing (Debian: apt-get install lrzsz)" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c 262144 /dev/urandom >"$work/data.bin"
head -c 1048576 /dev/urandom >"$work/image.bin"

# Waits for "PTY <side> DEVICE" in a file and prints DEVICE.
pty_of() {
  local file=$1 pattern=$2 i
  for i in $(seq 100); do
    local dev
    dev=$(sed -n "s/^$pattern //p" "$file" | head -1)
    [ -n "$dev" ] && { echo "$dev"; return 0; }
    sleep 0.05
  done
  echo "side_by_side: no pseudo-terminal in $file" >&2
  return 1
}

now() { date +%s.%N; }

results=()
report() {  # name bytes wall cpu
  local eff cpu_mib
  eff=$(awk -v b="$2" -v baud="$baud" -v w="$3" 'BEGIN { printf "%.4f", b * 10 / baud / w }')
  cpu_mib=$(awk -v c="$4" -v b="$2" 'BEGIN { printf "%.3f", c / (b / 1048576) }')
  results+=("$(printf '%-34s %9s %8.2f %10s %12s' "$1" "$2" "$3" "$eff" "$cpu_mib")")
}

# Wall seconds and CPU seconds (user+sys) of one command and its children; its output goes to $1.err.
# With MEASURE_TTY set, the command's standard input and output are that device (lrzsz talks on them),
# opened here so that no shell or timeout wrapper is counted with the sender; MEASURE_TIMEOUT seconds
# (default none: a slow line's programming takes minutes) end a run that stalls.
measure() {
  local out=$1
  shift
  python3 - "$out.err" "$@" <<'PY'
import os, signal, subprocess, sys, time
t0 = time.monotonic()
with open(sys.argv[1], "wb") as err:
    tty = os.environ.get("MEASURE_TTY")
    line = os.open(tty, os.O_RDWR | os.O_NOCTTY) if tty else None
    child = subprocess.Popen(sys.argv[2:], stdin=line if tty else subprocess.DEVNULL,
                             stdout=line if tty else err, stderr=err)
    if line is not None:
        os.close(line)
    signal.signal(signal.SIGALRM, lambda *_: child.kill())
    signal.alarm(int(os.environ.get("MEASURE_TIMEOUT", "0")))
    # wait4 gives this child's own usage (with any children it waited for).
    _, status, ru = os.wait4(child.pid, 0)
    signal.alarm(0)
wall = time.monotonic() - t0
rc = os.waitstatus_to_exitcode(status)
if rc != 0:
    sys.stderr.write("side_by_side: failed (%d): %s\n" % (rc, " ".join(sys.argv[2:])))
    sys.exit(1)
print("%.3f %.3f" % (wall, ru.ru_utime + ru.ru_stime))
PY
}

# --- our data send: downloader-cli on B, stbsim (unpaced) attached as A ---
ours_send() {
  "$stbsim" --no-banner --save "$work/taken.bin" --exit-after-take >"$work/sim.out" 2>&1 &
  pids+=($!)
  local simpty
  simpty=$(pty_of "$work/sim.out" PTY)
  "$relay" --baud "$baud" --latency "$latency" --attach "$simpty" >"$work/relay.out" 2>&1 &
  pids+=($!)
  local b
  b=$(pty_of "$work/relay.out" "PTY B")
  read -r wall cpu < <(measure "$work/send" "$cli" --port "$b" send "$work/data.bin")
  wait "${pids[0]}" || true
  kill "${pids[1]}" 2>/dev/null || true
  wait "${pids[1]}" 2>/dev/null || true
  pids=()
  cmp -s "$work/data.bin" "$work/taken.bin" || { echo "side_by_side: data send: file differs" >&2; exit 1; }
  report "data send (downloader-cli)" 262144 "$wall" "$cpu"
}

# --- lrzsz between the two ends of a fresh relay ---
lrzsz_send() {
  local name=$1 receiver=$2
  shift 2  # the rest: the sender's command
  "$relay" --baud "$baud" --latency "$latency" >"$work/relay.out" 2>&1 &
  pids+=($!)
  local a b
  a=$(pty_of "$work/relay.out" "PTY A")
  b=$(pty_of "$work/relay.out" "PTY B")
  rm -rf "$work/rx" && mkdir "$work/rx"
  (cd "$work/rx" && eval "timeout 120 $receiver" <"$b" >"$b" 2>/dev/null) &
  local rpid=$!
  sleep 0.3  # the receiver opens its end first, as a technician's would be waiting
  local wall="" cpu=""
  read -r wall cpu < <(MEASURE_TTY="$a" MEASURE_TIMEOUT=120 measure "$work/lrz" "$@") || true
  wait $rpid || true
  kill "${pids[0]}" 2>/dev/null || true
  wait "${pids[0]}" 2>/dev/null || true
  pids=()
  # A run that gave up is a result too: it is shown as such, with the sender's last words.
  if [ -z "$wall" ] || ! cmp -s "$work/data.bin" "$work/rx/data.bin"; then
    results+=("$(printf '%-34s %9s %s' "$name (lrzsz)" 262144 "failed: $(tr '\r' '\n' <"$work/lrz.err" | grep -v '^$' | tail -2 | tr '\n' ' ')")")
    return 0
  fi
  report "$name (lrzsz)" 262144 "$wall" "$cpu"
}

# --- programming the 1 MiB image, all 256 sectors ---
ours_program() {
  "$stbsim" --no-banner --image "$work/image.bin" --exit-after-program >"$work/sim.out" 2>&1 &
  pids+=($!)
  local simpty
  simpty=$(pty_of "$work/sim.out" PTY)
  "$relay" --baud "$baud" --latency "$latency" --attach "$simpty" >"$work/relay.out" 2>&1 &
  pids+=($!)
  local b
  b=$(pty_of "$work/relay.out" "PTY B")
  read -r wall cpu < <(measure "$work/prog" "$cli" --port "$b" program --yes --timeout 30 "$work/image.bin")
  wait "${pids[0]}" || true
  kill "${pids[1]}" 2>/dev/null || true
  wait "${pids[1]}" 2>/dev/null || true
  pids=()
  grep -q "^PROGRAM .*image=match" "$work/sim.out" || { echo "side_by_side: programming: image not matched" >&2; grep PROGRAM "$work/sim.out" >&2; exit 1; }
  report "programming 1 MiB (downloader-cli)" 1048576 "$wall" "$cpu"
}

echo "=== one line paced at $baud baud by bench/line_relay, adapter latency $latency ms; sender's wall time and CPU"
for ((run = 0; run < runs; run++)); do
  ours_send
  lrzsz_send "ZMODEM" "rz -b -y" sz -b "$work/data.bin"
done
lrzsz_send "XMODEM-1K" "rx -b -c data.bin" sx -k -b "$work/data.bin"
ours_program
printf '%-34s %9s %8s %10s %12s\n' transfer bytes wall_s efficiency cpu_s_per_MiB
printf '%s\n' "${results[@]}"
