#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: the desktop program on the built-in simulated
# box (downloader --demo); without a display, the headless demonstration (downloader-cli demo). With
# DL_PORT set (COM1..COM4 or a device path) it opens a command-line terminal on that real port instead
# (Ctrl-] quits).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
cli=build/cli/downloader-cli
if [ -n "${DL_PORT:-}" ]; then
  exec "$cli" --port "$DL_PORT" terminal
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/gui/downloader ]; then
  exec build/gui/downloader --demo
fi
if [ -x build/gui/downloader ]; then
  echo "No display: running the headless demonstration (downloader-cli demo) instead." >&2
else
  echo "The desktop program was not built (no Qt 6 Widgets): running the headless demonstration instead." >&2
fi
exec "$cli" demo
