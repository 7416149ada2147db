#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a terminal session on the built-in simulated
# box (a pseudo-terminal played by stbsim). With DL_PORT set (COM1..COM4 or a device path) it talks to
# a real box on that port instead. Ctrl-] quits.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
cli=build/cli/downloader-cli
if [ -n "${DL_PORT:-}" ]; then
  exec "$cli" --port "$DL_PORT" terminal
fi
out=$(mktemp)
trap 'kill "$sim" 2>/dev/null; rm -f "$out"' EXIT
build/tools/stbsim/stbsim --echo --chatter-ms 5000 >"$out" &
sim=$!
for _ in $(seq 50); do
  port=$(sed -n 's/^PTY //p' "$out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the simulated box did not start" >&2; exit 1; }
echo "Simulated box on $port: type to it, it echoes and chatters. Ctrl-] quits." >&2
"$cli" --port "$port" terminal
