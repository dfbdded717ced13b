#!/usr/bin/env bash
# Ensemble patches and packed files beside the established tools, on the same inputs, in one run:
#   - real pairs of x86-64 shared libraries: the installed Debian file and the newer one that
#     `apt-get download` fetches (bench/pairs.sh prepares and caches them);
#   - PE32 and PE32+ pairs: two versions of a generated fixture program cross-built with clang/lld
#     (tests/fixtures/make_ensemble_fixtures.sh, FUNCTIONS functions).
# For each pair: patch size beside bsdiff, xdelta3 -9 and zstd --ultra -22 --long --patch-from; apply
# time and peak memory beside bspatch; make time beside bsdiff; packed size of the new file beside
# xz -9e. Times and memory are medians over RUNS runs. Every ensemble patch is applied with
# `tl3-release apply` and compared with the new file.
# Targets: patch <= 0.6x bsdiff, apply time <= 2x bspatch, apply peak memory <= 8x the new file,
# packed executables smaller than xz -9e.
# Usage: bench/ensemble.sh [RUNS] [FUNCTIONS]   (build first: scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
FUNCTIONS=${2:-3000}
BUILD_DIR=${BUILD_DIR:-build}
BENCH="$BUILD_DIR/bench/bench_ensemble"
TOOL="$BUILD_DIR/tl3-release"
for x in "$BENCH" "$TOOL"; do
    [ -x "$x" ] || { echo "missing $x: run scripts/build.sh first" >&2; exit 2; }
done
for t in bsdiff bspatch xdelta3 zstd xz; do
    command -v "$t" >/dev/null || { echo "missing $t (apt-get install bsdiff xdelta3 zstd xz-utils)" >&2; exit 2; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PAIRS="$WORK/pairs.txt"
bench/pairs.sh > "$PAIRS"
tests/fixtures/make_ensemble_fixtures.sh "$WORK/pe" "$FUNCTIONS" > /dev/null
echo "pe32-fixture $WORK/pe/pe32.old $WORK/pe/pe32.new" >> "$PAIRS"
echo "pe64-fixture $WORK/pe/pe64.old $WORK/pe/pe64.new" >> "$PAIRS"

python3 - "$RUNS" "$BENCH" "$TOOL" "$WORK" "$PAIRS" <<'PY'
import os, statistics, subprocess, sys, time

runs, bench, tool, work, pairs_file = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]

def run(cmd, stdout=subprocess.DEVNULL):
    """Runs cmd; returns (seconds, peak KiB) of that one child."""
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    elapsed = time.perf_counter() - start
    err = p.stderr.read().decode(errors="replace")
    p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), err))
    return elapsed, usage.ru_maxrss

def median_run(cmd, n):
    results = [run(cmd) for _ in range(n)]
    return statistics.median(r[0] for r in results), statistics.median(r[1] for r in results)

def size(path):
    return os.path.getsize(path)

def same(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        return f.read() == g.read()

rows = []
for line in open(pairs_file):
    name, old, new = line.split()
    d = os.path.join(work, name)
    os.makedirs(d, exist_ok=True)
    P = lambda f: os.path.join(d, f)
    make_s, _ = median_run([bench, "make", old, new, P("ens")], max(1, min(runs, 3)))
    bsdiff_s, _ = median_run(["bsdiff", old, new, P("bsd")], max(1, min(runs, 3)))
    run(["xdelta3", "-9", "-f", "-e", "-s", old, new, P("xd3")])
    run(["zstd", "-q", "-f", "--ultra", "-22", "--long=31", "--patch-from=" + old, new, "-o", P("zst")])
    apply_s, apply_kib = median_run([bench, "apply", old, P("ens"), P("out")], runs)
    bspatch_s, bspatch_kib = median_run(["bspatch", old, P("bsout"), P("bsd")], runs)
    # The release tool itself must rebuild the new file exactly.
    run([tool, "apply", old, P("ens"), P("tool-out")])
    exact = same(P("tool-out"), new) and same(P("out"), new)
    run([bench, "pack", new, P("packed")])
    with open(P("xz"), "wb") as f:
        run(["xz", "-9e", "-k", "-c", new], stdout=f)
    rows.append(dict(name=name, new=size(new), ens=size(P("ens")), bsd=size(P("bsd")), xd3=size(P("xd3")),
                     zst=size(P("zst")), make=make_s, bsdiff=bsdiff_s, apply=apply_s, bspatch=bspatch_s,
                     mem=apply_kib, bsmem=bspatch_kib, packed=size(P("packed")), xz=size(P("xz")), exact=exact))

print("Patch sizes (bytes)")
print("%-18s %10s %9s %9s %9s %9s %8s %6s" % ("pair", "new file", "ensemble", "bsdiff", "xdelta3", "zstd", "ens/bsd", "exact"))
for r in rows:
    print("%-18s %10d %9d %9d %9d %9d %8.3f %6s" % (r["name"], r["new"], r["ens"], r["bsd"], r["xd3"], r["zst"],
                                                    r["ens"] / r["bsd"], "yes" if r["exact"] else "NO"))
print()
print("Apply (median of %d runs) and make (median of %d)" % (runs, max(1, min(runs, 3))))
print("%-18s %9s %9s %7s %10s %10s %8s %9s %9s %7s" % ("pair", "apply s", "bspatch s", "ratio", "apply KiB",
      "bspatch KiB", "mem/new", "make s", "bsdiff s", "ratio"))
for r in rows:
    print("%-18s %9.3f %9.3f %7.2f %10d %10d %8.2f %9.2f %9.2f %7.2f" % (
        r["name"], r["apply"], r["bspatch"], r["apply"] / r["bspatch"], r["mem"], r["bsmem"],
        r["mem"] * 1024 / r["new"], r["make"], r["bsdiff"], r["make"] / r["bsdiff"]))
print()
print("Packed size of the new file (bytes)")
print("%-18s %10s %10s %10s %8s" % ("file", "size", "pack", "xz -9e", "pack/xz"))
for r in rows:
    print("%-18s %10d %10d %10d %8.3f" % (r["name"], r["new"], r["packed"], r["xz"], r["packed"] / r["xz"]))
PY
