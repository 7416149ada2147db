#!/usr/bin/env bash
# The soak: transfers of all three kinds against stbsim with a random fault each (line noise, split
# writes, bytes lost or changed on the line, wrong tokens, bad checksums, hang-ups mid-transfer, a
# user's reconnect), half through downloader-cli and half through the core directly, then the table of
# how they ended and what was left. Not part of the test run: 500 transfers take about ten minutes.
#
#   scripts/soak.sh [RUNS] [SEED]
#
# Exits 1 when any run hung, crashed or had wrong data accepted, or threads, descriptors or processes
# were left.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target soak
exec build/tests/soak --runs "${1:-500}" --seed "${2:-1}"
