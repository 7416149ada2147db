#!/usr/bin/env bash
# Records the fuzz targets' seed corpora from real exchanges: downloader-cli against stbsim, with
# bench/line_relay between them writing what the box sent, piece by piece with its gaps, in the
# targets' record format. Writes fuzz/corpus/TARGET/.
#
#   scripts/record_seeds.sh [BUILD_DIR]     (BUILD_DIR holds line_relay, stbsim and downloader-cli)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
B="$(cd "${1:-$top/build}" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 40000 /dev/urandom >send.bin
head -c 8192 /dev/urandom >img.bin

# rec NAME STBSIM_ARGS... -- CLI_ARGS...
rec() {
  local name=$1 sargs=()
  shift
  while [ "$1" != "--" ]; do sargs+=("$1"); shift; done
  shift
  "$B/tools/stbsim/stbsim" "${sargs[@]}" >"sim.$name" 2>&1 &
  local sp=$!
  sleep 0.3
  "$B/bench/line_relay" --baud 0 --attach "$(sed -n 's/^PTY //p' "sim.$name")" --record "$name.rec" \
    >"relay.$name" 2>&1 &
  local rp=$!
  sleep 0.3
  timeout 60 "$B/cli/downloader-cli" --port "$(sed -n 's/^PTY B //p' "relay.$name")" "$@" </dev/null >/dev/null 2>&1 ||
    echo "record_seeds: $name: downloader-cli failed" >&2
  sleep 0.5
  kill $rp; wait $rp 2>/dev/null || true
  kill $sp 2>/dev/null || true; wait $sp 2>/dev/null || true
}
rec send --exit-after-take -- send send.bin
rec send-split --fault split --fault noise --exit-after-take -- send send.bin
rec upload --upload-size 3000 --upload-after-ms 1200 --exit-after-upload -- receive up1.out
rec upload-split --fault split --fault noise --upload-size 3000 --upload-after-ms 1200 --exit-after-upload -- receive up2.out
rec program --image img.bin --exit-after-program -- program --yes img.bin
rec program-split --fault split --fault noise --image img.bin --order repeat --exit-after-program -- program --yes img.bin
rec console --chatter-ms 20 --upload-after-ms 1500 --upload-size 500 --exit-after-upload -- receive up3.out

out="$top/fuzz/corpus"
mkdir -p "$out/session_fuzz" "$out/protocol_machines_fuzz" "$out/terminal_fuzz"
for r in *.rec; do
  n=${r%.rec}
  cp "$r" "$out/protocol_machines_fuzz/$n"
  # One session, then two: the second gets the console's pieces interleaved (top bit of the head).
  { printf '\x50'; cat "$r"; } >"$out/session_fuzz/$n"
  python3 - "$r" console.rec "$out/session_fuzz/$n-two" <<'PY'
import sys
def pieces(path):
    d = open(path, "rb").read(); at = 0
    while at + 2 <= len(d):
        n = d[at] + 1; yield bytes([d[at], d[at + 1]]) + d[at + 2:at + 2 + n]; at += 2 + n
a, b = list(pieces(sys.argv[1])), list(pieces(sys.argv[2]))
out = bytearray([0x51])
for i in range(max(len(a), len(b))):
    if i < len(a): out += a[i]
    if i < len(b): out += bytes([b[i][0] | 0x80]) + b[i][1:]
open(sys.argv[3], "wb").write(out)
PY
done
# The terminal takes the console text itself, with and without auto-wrap and new line on CR.
python3 - console.rec "$out/terminal_fuzz" <<'PY'
import sys
d = open(sys.argv[1], "rb").read(); at = 0; text = bytearray()
while at + 2 <= len(d):
    n = d[at] + 1; text += d[at + 2:at + 2 + n]; at += 2 + n
for setup in (0, 1, 2, 3):
    open("%s/console-%d" % (sys.argv[2], setup), "wb").write(bytes([setup | 0x28]) + text)
PY
echo "record_seeds: $(find "$out" -type f | wc -l) seeds in $out"
