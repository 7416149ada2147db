#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a given time, then prints, per target, the
# executions, the corpus size and the findings (crash, leak, timeout, out-of-memory reproducers).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target, default 30. TARGETs default to all four. Environment:
#   DL_FUZZ_BUILD   build directory (default: build-fuzz at the top of the checkout)
#   DL_FUZZ_WORK    where the growing corpora and the findings go (default: DL_FUZZ_BUILD/fuzz-work);
#                   each run starts from the seeds in fuzz/corpus/TARGET plus what earlier runs found
#   DL_FUZZ_NICE    niceness of the fuzzing processes (default 0; long runs on a shared machine: 10)
# Exit: 0 when no target found anything (or when clang's libFuzzer is missing: then a line says that
# the fuzzing was skipped), 1 on a finding, 2 on a bad command line or a failed build.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=30
if [[ $# -gt 0 && "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(session_fuzz terminal_fuzz protocol_machines_fuzz profile_fuzz)
build="${DL_FUZZ_BUILD:-$top/build-fuzz}"
work="${DL_FUZZ_WORK:-$build/fuzz-work}"
nice_level="${DL_FUZZ_NICE:-0}"

# libFuzzer ships with clang's runtime libraries (Debian: clang and libclang-rt-dev); a compiler
# without them cannot link -fsanitize=fuzzer.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/p.cpp"
if ! command -v clang++ >/dev/null 2>&1 ||
  ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
  echo "=== fuzzing skipped: clang++ with libFuzzer not found (Debian: apt-get install clang libclang-rt-dev)"
  exit 0
fi

echo "=== fuzz build in $build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDL_BUILD_FUZZ=ON -DDL_BUILD_TESTS=OFF -DDL_BUILD_BENCH=OFF >/dev/null || exit 2
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || {
  echo "fuzz: build failed; run: cmake --build $build --target ${targets[*]}" >&2
  exit 2
}

printf '%-24s %8s %12s %10s %8s %9s\n' target seconds executions "exec/s" corpus findings
found=0
for t in "${targets[@]}"; do
  corpus="$work/$t/corpus"
  artifacts="$work/$t/findings"
  mkdir -p "$corpus" "$artifacts"
  [ -d "$top/fuzz/corpus/$t" ] && cp -n "$top/fuzz/corpus/$t"/* "$corpus"/ 2>/dev/null || true
  log="$work/$t/last-run.log"
  before=$(find "$artifacts" -type f | wc -l)
  # -timeout: an input that runs for 10 s counts as a hang; -rss_limit_mb: as a runaway allocation.
  rc=0
  nice -n "$nice_level" "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || rc=$?
  after=$(find "$artifacts" -type f | wc -l)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  files=$(find "$corpus" -type f | wc -l)
  new=$((after - before))
  [ $rc -ne 0 ] && [ $new -eq 0 ] && new=1  # a fuzzer that died without writing a reproducer
  printf '%-24s %8s %12s %10s %8s %9s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" "$files" "$new"
  if [ $new -ne 0 ]; then
    found=1
    echo "  $t: see $log and $artifacts" >&2
  fi
done
exit $found
