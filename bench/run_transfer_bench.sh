#!/usr/bin/env bash
# End-to-end transfer figures: downloader-cli against stbsim paced at 115200 baud.
#
#   bench/run_transfer_bench.sh [BUILD_DIR] [transfer_bench options]
#
# BUILD_DIR (default: build/ at the top of the checkout) must already hold bench/transfer_bench,
# tools/stbsim/stbsim and cli/downloader-cli; this script builds nothing. Options after it go to
# transfer_bench, for example:
#   --client both        also run the reference client (the simulator's own ceiling) after each case
#   --case program       only the programming case (or: send)
#   --full               program all 256 sectors of the 1 MiB image (about 96 s at 115200) instead of 64
#   --turnaround-ms N    the simulator's turnaround (default 1)
# Each case stops by itself: transfer_bench abandons it at 1.5 times its line time plus 15 s.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$top/build"
if [[ $# -gt 0 && "$1" != -* ]]; then
  build="$1"
  shift
fi
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "run_transfer_bench: no build directory '$build'" >&2; exit 2; }

bench="$build/bench/transfer_bench"
stbsim="$build/tools/stbsim/stbsim"
cli="$build/cli/downloader-cli"
for f in "$bench" "$stbsim" "$cli"; do
  if [[ ! -x "$f" ]]; then
    echo "run_transfer_bench: missing $f (build that directory first)" >&2
    exit 2
  fi
done

exec "$bench" --stbsim "$stbsim" --cli "$cli" --baud 115200 --turnaround-ms 1 "$@"
