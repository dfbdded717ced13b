#!/usr/bin/env bash
# SHA-512 of a 1 GiB file: the updater's check (bench_sha512) beside sha512sum, same file, same run.
# Prints the median wall time, throughput and peak memory (max RSS from /usr/bin/time -v) of each,
# and the ratios the updater must meet: throughput >= 0.9x sha512sum, peak memory < 16 MiB.
# bench_sha512 runs the check's reading step (digestFile: 256 KiB chunks into libcrypto's SHA-512).
# Usage: bench/sha512.sh [RUNS] [SIZE_MIB]   (build first: scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
SIZE_MIB=${2:-1024}
BUILD_DIR=${BUILD_DIR:-build}
BENCH="$BUILD_DIR/bench/bench_sha512"
[ -x "$BENCH" ] || { echo "missing $BENCH: run scripts/build.sh first" >&2; exit 2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FILE="$WORK/input.bin"
# Incompressible, reproducible content.
head -c "$((SIZE_MIB * 1024 * 1024))" < <(openssl enc -aes-128-ctr -nosalt -pass pass:tl3-bench -in /dev/zero 2>/dev/null) > "$FILE"
EXPECTED=$(sha512sum "$FILE" | cut -d' ' -f1)   # also warms the page cache

# run NAME COMMAND...: appends "wall_seconds kib cpu_seconds" of one run to $WORK/NAME
run() {
    local name=$1; shift
    /usr/bin/time -v -o "$WORK/time.txt" "$@" > /dev/null
    awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i] }
                /Maximum resident set size/ { kib = $2 }
                /User time \(seconds\)|System time \(seconds\)/ { cpu += $2 }
                END { print s, kib, cpu }' "$WORK/time.txt" >> "$WORK/$name"
}

for ((i = 0; i < RUNS; i++)); do
    # Alternate the order so that neither side always runs on a warmer machine.
    if ((i % 2 == 0)); then
        run sha512sum sha512sum "$FILE"
        run updater "$BENCH" "$FILE" "$EXPECTED"
    else
        run updater "$BENCH" "$FILE" "$EXPECTED"
        run sha512sum sha512sum "$FILE"
    fi
done

# The same program on a 1-byte file: the memory of the loaded libraries alone.
printf a > "$WORK/one.bin"
run baseline "$BENCH" "$WORK/one.bin" "$(sha512sum "$WORK/one.bin" | cut -d' ' -f1)"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
SUM_T=$(cut -d' ' -f1 "$WORK/sha512sum" | median)
UPD_T=$(cut -d' ' -f1 "$WORK/updater" | median)
SUM_C=$(cut -d' ' -f3 "$WORK/sha512sum" | median)
UPD_C=$(cut -d' ' -f3 "$WORK/updater" | median)
SUM_M=$(cut -d' ' -f2 "$WORK/sha512sum" | sort -n | tail -1)
UPD_M=$(cut -d' ' -f2 "$WORK/updater" | sort -n | tail -1)
BASE_M=$(cut -d' ' -f2 "$WORK/baseline")

awk -v size="$SIZE_MIB" -v runs="$RUNS" -v st="$SUM_T" -v ut="$UPD_T" -v sc="$SUM_C" -v uc="$UPD_C" \
    -v sm="$SUM_M" -v um="$UPD_M" -v bm="$BASE_M" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
    printf "SHA-512 of a %d MiB file (page cache warm), median of %d runs, peak = max RSS over the runs,\n", size, runs
    printf "CPU = user + system time (the fair measure on a shared machine; load average now %s)\n\n", load
    printf "| %-34s | %8s | %10s | %7s | %10s | %14s |\n", "tool", "wall (s)", "wall MiB/s", "CPU (s)", "CPU MiB/s", "peak mem (MiB)"
    printf "|%s|%s|%s|%s|%s|%s|\n", "------------------------------------", "----------", "------------", "---------", "------------", "----------------"
    printf "| %-34s | %8.2f | %10.1f | %7.2f | %10.1f | %14.1f |\n", "sha512sum (coreutils)", st, size / st, sc, size / sc, sm / 1024
    printf "| %-34s | %8.2f | %10.1f | %7.2f | %10.1f | %14.1f |\n", "updater digestFile (bench_sha512)", ut, size / ut, uc, size / uc, um / 1024
    printf "| %-34s | %8s | %10s | %7s | %10s | %14.1f |\n", "bench_sha512 on a 1-byte file", "-", "-", "-", "-", bm / 1024
    wr = st / ut; cr = sc / uc
    printf "\nthroughput ratio updater/sha512sum: CPU %.2f, wall %.2f (target >= 0.90): %s\n", cr, wr, (cr >= 0.9 ? "met" : "NOT MET")
    printf "updater peak memory: %.1f MiB (target < 16 MiB): %s\n", um / 1024, (um < 16 * 1024 ? "met" : "NOT MET")
}'
