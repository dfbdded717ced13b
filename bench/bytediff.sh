#!/usr/bin/env bash
# Byte-difference patches beside bsdiff/bspatch on real pairs of shared libraries (bench/pairs.sh):
# patch size, make time, apply time and peak memory, medians over RUNS rounds (default 5) in which
# the tools take turns.
# Usage: bench/bytediff.sh [RUNS]     (build first: scripts/build.sh; BUILD_DIR picks the build tree)
# The rows "method 1/2" run bench_bytediff_tool: the library calls of `tl3-release bytediff/bytepatch`
# without the release tool's start-up, whose own cost is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
RELEASE_TOOL=${BUILD_DIR:-build}/tl3-release
TOOL=${BUILD_DIR:-build}/bench/bench_bytediff_tool
command -v bsdiff >/dev/null && command -v bspatch >/dev/null || { echo "bsdiff/bspatch missing (apt-get install bsdiff)" >&2; exit 1; }
[ -x "$TOOL" ] && [ -x "$RELEASE_TOOL" ] || { echo "$TOOL or $RELEASE_TOOL missing: run scripts/build.sh" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One timed run of a command: appends its wall seconds to $WORK/t_KEY and its peak KB to $WORK/m_KEY.
once() {
  local key=$1 start end
  shift
  start=$EPOCHREALTIME
  /usr/bin/time -f "%M" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/err" || { cat "$WORK/err" >&2; return 1; }
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }' >> "$WORK/t_$key"
  cat "$WORK/time" >> "$WORK/m_$key"
}
med() { sort -g "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }'; }

printf '%-18s %-9s %9s %9s %7s %8s %7s %8s %7s %9s %9s\n' pair tool "old B" "patch B" "size x" \
  "make s" "make x" "apply s" "apply x" "make MB" "apply MB"
bench/pairs.sh | while read -r name old new; do
  oldSize=$(stat -c %s "$old")
  rm -f "$WORK"/t_* "$WORK"/m_*
  # The tools take turns in every round, so a change of machine load hits all of them alike.
  for _ in $(seq "$RUNS"); do
    once bmake bsdiff "$old" "$new" "$WORK/b.patch"
    once bapply bspatch "$old" "$WORK/b.new" "$WORK/b.patch"
    cmp -s "$WORK/b.new" "$new" || { echo "bspatch result differs for $name" >&2; exit 1; }
    for method in 1 2; do
      once "make$method" "$TOOL" make "$old" "$new" "$WORK/t$method.patch" "$method"
      once "apply$method" "$TOOL" apply "$old" "$WORK/t$method.patch" "$WORK/t.new"
      cmp -s "$WORK/t.new" "$new" || { echo "bytepatch result differs for $name (method $method)" >&2; exit 1; }
    done
  done
  bsize=$(stat -c %s "$WORK/b.patch")
  bt=$(med "$WORK/t_bmake"); at=$(med "$WORK/t_bapply")
  printf '%-18s %-9s %9d %9d %7s %8s %7s %8s %7s %9.1f %9.1f\n' "$name" bsdiff "$oldSize" "$bsize" 1.000 \
    "$bt" 1.000 "$at" 1.000 "$(awk -v k="$(med "$WORK/m_bmake")" 'BEGIN{print k/1024}')" \
    "$(awk -v k="$(med "$WORK/m_bapply")" 'BEGIN{print k/1024}')"
  for method in 1 2; do
    size=$(stat -c %s "$WORK/t$method.patch")
    mt=$(med "$WORK/t_make$method"); pt=$(med "$WORK/t_apply$method")
    printf '%-18s %-9s %9d %9d %7s %8s %7s %8s %7s %9.1f %9.1f\n' "$name" "method $method" "$oldSize" "$size" \
      "$(ratio "$size" "$bsize")" "$mt" "$(ratio "$mt" "$bt")" "$pt" "$(ratio "$pt" "$at")" \
      "$(awk -v k="$(med "$WORK/m_make$method")" 'BEGIN{print k/1024}')" \
      "$(awk -v k="$(med "$WORK/m_apply$method")" 'BEGIN{print k/1024}')"
  done
done
rm -f "$WORK"/t_* "$WORK"/m_*
for _ in $(seq "$RUNS"); do once start "$RELEASE_TOOL" --version; done
st=$(med "$WORK/t_start"); sm=$(med "$WORK/m_start")
echo "size x, make x, apply x: this tool divided by bsdiff/bspatch on the same pair (medians of $RUNS alternating rounds; wall-clock seconds)."
echo "tl3-release start-up alone (--version): $st s, $(awk -v k="$sm" 'BEGIN{printf "%.1f", k/1024}') MB peak."
