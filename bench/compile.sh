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
# timed CMD...: appends "wall cpu" (cpu = user + system seconds) of one run to the file $OUT
timed() {
    /usr/bin/time -f '%e %U %S' -o "$WORK/time" "$@" > "$WORK/stdout"
    awk '{printf "%s %.2f\n", $1, $2 + $3}' "$WORK/time" >> "$OUT"
}
for i in $(seq "$RUNS"); do
    OUT=$WORK/t_sha timed bash -c "cd '$INSTALL' && xargs -0 -a '$WORK/list' sha512sum"
    OUT=$WORK/t_comp timed "$BUILD/bench/bench_compile" "$INSTALL" "$SESSION"
    read -r secs ok downloads replaces < "$WORK/stdout"
    [ "$ok" = 1 ] && [ "$downloads" = 0 ] && [ "$replaces" = 0 ] ||
        { echo "compilation wrong: $(cat "$WORK/stdout")" >&2; exit 1; }
done

sha=$(cut -d' ' -f1 "$WORK/t_sha" | median)
comp=$(cut -d' ' -f1 "$WORK/t_comp" | median)
shacpu=$(cut -d' ' -f2 "$WORK/t_sha" | median)
compcpu=$(cut -d' ' -f2 "$WORK/t_comp" | median)
printf '\nList compilation, up-to-date installation: %s files, %s MiB, median of %s runs (warm cache), %s cores, load %s\n' \
    "$FILES" "$TOTAL_MIB" "$RUNS" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-28s | %8s | %7s | %11s | %8s | %11s |\n' "tool" "wall s" "MiB/s" "wall ratio" "CPU s" "CPU ratio"
printf '|%s|%s|%s|%s|%s|%s|\n' "------------------------------" "----------" "---------" "-------------" "----------" \
    "-------------"
printf '| %-28s | %8.3f | %7.0f | %11s | %8.2f | %11s |\n' "sha512sum (coreutils)" "$sha" \
    "$(echo "$TOTAL_MIB / $sha" | bc -l)" "1.00" "$shacpu" "1.00"
printf '| %-28s | %8.3f | %7.0f | %11.2f | %8.2f | %11.2f |\n' "updater list compilation" "$comp" \
    "$(echo "$TOTAL_MIB / $comp" | bc -l)" "$(echo "$comp / $sha" | bc -l)" "$compcpu" "$(echo "$compcpu / $shacpu" | bc -l)"
echo "wall ratio = compilation time / sha512sum time (target at most 1.10); CPU = user + system"
echo "runs sha512sum (wall cpu): $(tr '\n' ',' < "$WORK/t_sha")"
echo "runs compile   (wall cpu): $(tr '\n' ',' < "$WORK/t_comp")"
