#!/usr/bin/env bash
# Speed of the executable parsers: detection + parse + label trimming + encoding of large real
# executables (libcrypto.so.3, libc.so.6, the largest ELF shared object in the library directory)
# and of the largest PE32 and PE32+ images made here (generated code: calls, long conditional
# jumps, absolute pointers with base relocations), beside sha512sum reading the same bytes.
# Medians over RUNS runs (default 5; 3 for files over 50 MB). Env: RUNS, PE_FUNCS (functions per
# generated PE, default 600000), BUILD_DIR, BENCH_TMP.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
RUNS=${RUNS:-5}
PE_FUNCS=${PE_FUNCS:-600000}
LIB=/usr/lib/x86_64-linux-gnu
source "$ROOT/bench/common.sh"
cmake --build "$BUILD" --target bench_parse >/dev/null
TMP=${BENCH_TMP:-$(mktemp -d)}
trap '[ -z "${BENCH_TMP:-}" ] && rm -rf "$TMP"' EXIT

# The generated PE images: N functions, each with a call, a long JNE and a load through a
# pointer table whose entries the base relocation table lists.
make_pe() {  # make_pe x86|x64 OUT
    local arch=$1 out=$2 triple
    [ "$arch" = x64 ] && triple=x86_64-pc-windows-msvc || triple=i686-pc-windows-msvc
    python3 - "$PE_FUNCS" "$arch" > "$TMP/pe_$arch.s" <<'PY'
import sys
n, x64 = int(sys.argv[1]), sys.argv[2] == "x64"
w = sys.stdout.write
w("\t.text\n\t.globl %s\n%s:\n" % (("main", "main") if x64 else ("_main", "_main")))
for i in range(n):
    a, b, c = (i * 7 + 1) % n, (i * 13 + 5) % n, (i * 3) % (n // 8)
    if x64:
        w(f"f{i}:\n\tpushq %rbp\n\tcallq f{a}\n\ttestl %eax, %eax\n\tjne f{b}\n\tleaq table(%rip), %rcx\n"
          f"\tmovq {8*c}(%rcx), %rax\n\tpopq %rbp\n\tretq\n")
    else:
        w(f"f{i}:\n\tpushl %ebp\n\tcalll f{a}\n\ttestl %eax, %eax\n\tjne f{b}\n\tmovl table+{4*c}, %eax\n"
          f"\tpopl %ebp\n\tretl\n")
w("\t.data\ntable:\n")
for i in range(0, n, 8):
    w(f"\t{'.quad' if x64 else '.long'} f{i}\n")
PY
    llvm-mc -filetype=obj -triple=$triple "$TMP/pe_$arch.s" -o "$TMP/pe_$arch.obj"
    lld-link /nologo /nodefaultlib /entry:main /subsystem:console /dynamicbase /safeseh:no \
        /out:"$out" "$TMP/pe_$arch.obj" >/dev/null
    rm -f "$TMP/pe_$arch.s" "$TMP/pe_$arch.obj"
}
[ -f "$TMP/big_pe32.exe" ] || make_pe x86 "$TMP/big_pe32.exe"
[ -f "$TMP/big_pe64.exe" ] || make_pe x64 "$TMP/big_pe64.exe"

largest_elf=""
for f in $(ls -S "$LIB"/*.so* 2>/dev/null); do
    if [ -f "$f" ] && [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then largest_elf=$f; break; fi
done

inputs=("$LIB/libcrypto.so.3" "$LIB/libc.so.6" "$largest_elf" "$TMP/big_pe32.exe" "$TMP/big_pe64.exe")
echo "Executable parsers: detection + parse + trim + encode, medians of $RUNS runs (3 over 50 MB)"
printf '%-26s %-14s %8s %9s %9s %9s %9s %8s %12s %7s\n' input kind MB detect_ms parse_ms encode_ms total_ms MB/s \
    sha512sum_MB/s ratio
for f in "${inputs[@]}"; do
    [ -f "$f" ] || continue
    size=$(stat -c %s "$f")
    runs=$RUNS
    [ "$size" -gt 50000000 ] && runs=3
    read -r bytes kind detect parse trim encode total < <("$BUILD/bench/bench_parse" "$f" "$runs")
    cat "$f" > /dev/null  # warm cache for both
    sha=$(for i in $(seq "$runs"); do s=$(now); sha512sum "$f" > /dev/null; e=$(now); echo "$e - $s" | bc -l; done | median)
    mb=$(echo "$bytes / 1000000" | bc -l)
    ours=$(echo "$mb / ($total / 1000)" | bc -l)
    theirs=$(echo "$mb / $sha" | bc -l)
    printf '%-26s %-14s %8.1f %9.2f %9.1f %9.1f %9.1f %8.1f %12.1f %7.2f\n' "$(basename "$f")" "$kind" "$mb" "$detect" \
        "$parse" "$encode" "$total" "$ours" "$theirs" "$(echo "$ours / $theirs" | bc -l)"
done
echo "(ratio: parser MB/s over sha512sum MB/s on the same file; trim is part of total and ~0 except on ARM)"
