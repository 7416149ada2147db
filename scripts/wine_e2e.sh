#!/usr/bin/env bash
# downloader-cli.exe (the windows preset's build) under wine, with the Linux stbsim (the default
# preset's build) on the far end of each line: programming, a data send and an upload, byte-exact, and
# an unplug mid-send that must end with the line-lost exit code. Wine's COM7 is linked to stbsim's
# pseudo-terminal in the prefix's dosdevices folder for each run.
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$PWD/build-windows/cli/downloader-cli.exe
tests=build/tests/wine_cli_tests
[ -x "$tests" ] || { echo "$tests is missing: cmake --build --preset default" >&2; exit 1; }
[ -f "$exe" ] || { echo "$exe is missing: cmake --preset windows && cmake --build --preset windows" >&2; exit 1; }
WINEPREFIX=$(scripts/wine-run.sh --print-prefix)
export WINEPREFIX
scripts/wine-run.sh "$exe" --version
DL_WINE_CLI=$exe "$tests"
