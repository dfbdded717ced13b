#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and runs
# each for SECONDS (default 20) on its seed corpus. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
SECONDS_PER_TARGET=${1:-20}
shift || true
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DTL3_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*.cpp; do [ -e "$f" ] && targets+=("$(basename "$f" .cpp)"); done
fi
for t in "${targets[@]}"; do
  corpus="fuzz/corpus/$t"
  work="$BUILD_DIR/corpus-$t"
  mkdir -p "$work"
  echo "== fuzz_$t for ${SECONDS_PER_TARGET}s"
  # The targets are built in the fuzz/ subdirectory of the build tree.
  binary="$BUILD_DIR/fuzz/fuzz_$t"
  [ -x "$binary" ] || binary="$BUILD_DIR/fuzz_$t"
  set +e
  "$binary" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
      -artifact_prefix="$BUILD_DIR/crash-$t-" "$work" $( [ -d "$corpus" ] && echo "$corpus" ) >"$BUILD_DIR/fuzz-$t.log" 2>&1
  status=$?
  set -e
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|INFO: Running)|ERROR|#[0-9]+.*DONE' "$BUILD_DIR/fuzz-$t.log" | grep -v 'failed to allocate' || true
  test "$status" -eq 0
done
