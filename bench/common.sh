# Helpers shared by the bench scripts (sourced).

# gen_tree DIR FILES TOTAL_MIB SEED: FILES files of random sizes and random content adding up to
# TOTAL_MIB MiB, spread over subdirectories; prints nothing.
gen_tree() {
    python3 - "$@" <<'PY'
import os, random, sys
root, files, total_mib, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
weights = [rng.uniform(0.2, 1.8) for _ in range(files)]
total = total_mib * 1024 * 1024
sizes = [int(total * w / sum(weights)) for w in weights]
sizes[-1] += total - sum(sizes)
for i, size in enumerate(sizes):
    d = os.path.join(root, "d%02d" % (i % 50))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.bin" % i), "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 22)
            f.write(rng.randbytes(n))
            left -= n
PY
}

# median of the numbers on stdin
median() {
    sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else printf "%.3f\n", (a[NR/2]+a[NR/2+1])/2}'
}

now() { date +%s.%N; }
