#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the optimised build, then the ASan+UBSan and
# TSan builds, so a data race or a memory fault fails the run as a wrong byte does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=(default asan tsan)
[ "${DL_QUICK:-0}" = 1 ] && presets=(default)
for p in "${presets[@]}"; do
  echo "=== $p build"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p" -j2
done
