#!/usr/bin/env bash
# `cmake --install` into a scratch prefix, then the installed copy alone: the three programs answer
# --version and --help, the desktop entry validates and names an installed icon, the installed desktop
# program finds its release notes in the prefix and starts its demonstration on the installed stbsim,
# which goes with the program.
# Usage: install.sh BUILD_DIR
set -euo pipefail
build=$1
# cmake --install records what it installed in the build tree; another user's tree cannot take that.
if [ ! -w "$build" ]; then echo "install check skipped: $build is not writable by $(id -un)"; exit 77; fi
work=$(mktemp -d)
dl_pid=""
cleanup() {
  [ -n "$dl_pid" ] && kill -9 "$dl_pid" 2>/dev/null
  pkill -9 -f "$work/tmp/downloader-demo" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install: $(cat "$work/install.log")"
for p in downloader downloader-cli stbsim; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p not installed"
  "$prefix/bin/$p" --version | grep -q '1\.32' || fail "$p --version: $("$prefix/bin/$p" --version 2>&1)"
  "$prefix/bin/$p" --help | grep -q "usage: $p" || fail "$p --help gives no usage"
done

entry="$prefix/share/applications/downloader.desktop"
[ -f "$entry" ] || fail "no desktop entry"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "the desktop entry does not validate"
fi
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "$prefix/share/icons/hicolor/32x32/apps/$icon.png" ] || fail "icon $icon not in the hicolor theme"

notes=$("$prefix/bin/downloader" --help | sed -n 's/^Release notes (Help, Release note...): //p')
[ "$notes" = "$prefix/share/downloader/ZENTU.TXT" ] || fail "release notes found at '$notes'"

# The demonstration from the prefix: it must start the stbsim installed beside it.
mkdir -p "$work/tmp" "$work/config"
XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen \
  "$prefix/bin/downloader" --demo 2>"$work/err" &
dl_pid=$!
for ((i = 0; i < 100; i++)); do
  log=$(compgen -G "$work/tmp/downloader-demo-*/box.log" | head -1 || true)
  [ -n "$log" ] && grep -q '^CONNECTED' "$log" && break
  sleep 0.1
done
[ -n "$log" ] && grep -q '^CONNECTED' "$log" || fail "the installed demonstration did not open Com1: $(cat "$work/err")"
folder=$(dirname "$log")
pgrep -f -- "^$prefix/bin/stbsim .*--image $folder/sample.img" >/dev/null || fail "the box is not the installed stbsim"
kill -TERM "$dl_pid"
wait "$dl_pid" 2>/dev/null || true
dl_pid=""
for ((i = 0; i < 30; i++)); do [ -e "$folder" ] || break; sleep 0.1; done
[ -e "$folder" ] && fail "the demonstration folder was left"
pgrep -f -- "--image $folder/sample.img" >/dev/null && fail "the installed box was left running"
echo "install: ok"
