#!/usr/bin/env bash
# The load run: four sessions of the core, each on its own simulated box streaming console lines at
# 3 Mbaud, while one of them programs a 4 MiB image; every line must arrive intact, the programming run
# must keep its efficiency within 2 % of the same run alone, and memory must stay flat.
#
#   scripts/load.sh [SECONDS] [BAUD]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target load
exec build/tests/load --seconds "${1:-600}" --baud "${2:-3000000}" --sectors 1024
