#!/usr/bin/env bash
# List compilation over an up-to-date installation beside sha512sum over the same files.
# Defaults: 5,000 files, 2 GiB, 5 runs each (alternating, warm page cache).
# Env: FILES, TOTAL_MIB, RUNS, BUILD_DIR, BENCH_TMP.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
FILES=${FILES:-5000}
TOTAL_MIB=${TOTAL_MIB:-2048}
RUNS=${RUNS:-5}
source "$ROOT/bench/common.sh"
[ -x "$BUILD/bench/bench_compile" ] || { echo "build first: $BUILD/bench/bench_compile missing" >&2; exit 1; }

WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/tl3bench_compile.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
INSTALL=$WORK/install
SESSION=$WORK/session
mkdir -p "$INSTALL" "$SESSION"
echo "generating $FILES files, $TOTAL_MIB MiB in $INSTALL ..." >&2
gen_tree "$INSTALL" "$FILES" "$TOTAL_MIB" 1
(cd "$INSTALL" && find . -type f -printf '%P\0' | sort -z > "$WORK/list")

# The product ini, every file up to date: its digest from sha512sum and its size.
(cd "$INSTALL" && xargs -0 -a "$WORK/list" sha512sum) | python3 -c '
import os, sys
root = sys.argv[1]
print("[client]")
for line in sys.stdin:
    digest, name = line.rstrip("\n").split("  ", 1)
    print("%s=%s::%d" % (name, digest, os.path.getsize(os.path.join(root, name))))
' "$INSTALL" > "$SESSION/tl3_client_linux_amd64.ini"

: > "$WORK/t_sha"
: > "$WORK/t_comp"
for i in $(seq "$RUNS"); do
    t0=$(now)
    (cd "$INSTALL" && xargs -0 -a "$WORK/list" sha512sum > /dev/null)
    t1=$(now)
    echo "$t1 - $t0" | bc -l >> "$WORK/t_sha"
    out=$("$BUILD/bench/bench_compile" "$INSTALL" "$SESSION" 2>/dev/null)
    read -r secs ok downloads replaces <<< "$out"
    [ "$ok" = 1 ] && [ "$downloads" = 0 ] && [ "$replaces" = 0 ] || { echo "compilation wrong: $out" >&2; exit 1; }
    echo "$secs" >> "$WORK/t_comp"
done

sha=$(median < "$WORK/t_sha")
comp=$(median < "$WORK/t_comp")
printf '\nList compilation, up-to-date installation: %s files, %s MiB, median of %s runs (warm cache)\n' \
    "$FILES" "$TOTAL_MIB" "$RUNS"
printf '| %-34s | %9s | %8s | %16s |\n' "tool" "median s" "MiB/s" "ratio to sha512sum"
printf '|%s|%s|%s|%s|\n' "------------------------------------" "-----------" "----------" "------------------"
printf '| %-34s | %9.3f | %8.0f | %16s |\n' "sha512sum (coreutils)" "$sha" "$(echo "$TOTAL_MIB / $sha" | bc -l)" "1.00"
printf '| %-34s | %9.3f | %8.0f | %16.2f |\n' "updater list compilation" "$comp" "$(echo "$TOTAL_MIB / $comp" | bc -l)" \
    "$(echo "$comp / $sha" | bc -l)"
echo "runs sha512sum: $(tr '\n' ' ' < "$WORK/t_sha")"
echo "runs compile:   $(tr '\n' ' ' < "$WORK/t_comp")"
