#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the optimised build, then the ASan+UBSan and
# TSan builds, so a data race or a memory fault fails the run as a wrong byte does. Run as root (as the
# CI does), the optimised build's tests also run once more as an ordinary user. After the optimised
# build, the Windows build (mingw-w64) runs its unit tests under wine, and downloader-cli.exe its
# transfers under wine against the Linux stbsim (DL_WINDOWS=0 leaves that out, DL_WINDOWS=1 takes it
# into a DL_QUICK run).
set -euo pipefail
cd "$(dirname "$0")/.."

# Root is exempt from exclusive opens (TIOCEXCL) and from file permissions, so a fault there passes
# unseen when every test runs as root. CTest writes its logs beside the test files, in a build tree
# that belongs to root, so the ordinary user runs the suite from a copy of those files (they name the
# test programs by absolute path) in a scratch directory of its own.
run_as_nobody() {
  local build=$1 nobody=65534
  if [ "$(id -u)" -ne 0 ]; then
    echo "=== run as an ordinary user skipped: not root, so the tests above ran as $(id -un) already"
    return 0
  fi
  echo "=== $build as an ordinary user (uid $nobody)"
  if ! setpriv --reuid=$nobody --regid=$nobody --clear-groups test -r "$build/CTestTestfile.cmake"; then
    echo "uid $nobody cannot read $build: put the checkout where other users can read it" >&2
    return 1
  fi
  local shadow rc=0
  shadow=$(mktemp -d)
  (cd "$build" && find . -name CTestTestfile.cmake -exec cp --parents {} "$shadow" \;)
  mkdir "$shadow/home" "$shadow/tmp"
  chown -R $nobody:$nobody "$shadow"
  setpriv --reuid=$nobody --regid=$nobody --clear-groups \
    env HOME="$shadow/home" TMPDIR="$shadow/tmp" XDG_CONFIG_HOME="$shadow/home/.config" \
    ctest --test-dir "$shadow" -j2 --output-on-failure || rc=$?
  rm -rf "$shadow"
  return $rc
}

# The Windows build and its tests, as the calling user only: wine refuses a prefix another user owns.
windows_tests() {
  echo "=== windows build (mingw-w64), unit tests under wine"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  ctest --preset windows -j2
  echo "=== downloader-cli.exe under wine against stbsim"
  scripts/wine_e2e.sh
}

scripts/install-deps.sh
windows=${DL_WINDOWS:-1}
[ "${DL_QUICK:-0}" = 1 ] && windows=${DL_WINDOWS:-0}
presets=(default asan tsan)
[ "${DL_QUICK:-0}" = 1 ] && presets=(default)
for p in "${presets[@]}"; do
  echo "=== $p build"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p" -j2
  if [ "$p" = default ]; then
    run_as_nobody build
    if [ "$windows" = 1 ]; then windows_tests; fi
  fi
done

# Each fuzz target for 30 s, in a clang build of its own (build-fuzz/); without clang's libFuzzer the
# step says it was skipped. A finding fails the run.
if [ "${DL_QUICK:-0}" != 1 ]; then
  scripts/fuzz.sh 30
fi
