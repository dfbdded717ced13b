#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_unpack and fuzz_ensemble into fuzz/corpus/<target>/ from real
containers and patches that the release tool makes of the ensemble test fixtures.
Usage: fuzz/make_packing_seeds.py PATH/TO/tl3-release"""
import lzma
import os
import subprocess
import sys
import tempfile

from make_seeds import varint, write

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "fixtures", "ensemble")
TOOL = sys.argv[1]


def read_varint(b, i):
    n = s = 0
    while True:
        c = b[i]
        i += 1
        n |= (c & 0x7F) << s
        s += 7
        if c < 0x80:
            return n, i


def block_payload(b, i):
    """The decompressed bytes of the LZMA2 block at b[i:]."""
    prop = b[i]
    _, i = read_varint(b, i + 1)
    dic = (2 | (prop & 1)) << (prop // 2 + 11)
    d = lzma.LZMADecompressor(format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "dict_size": dic}])
    return d.decompress(b[i:])


def main():
    with tempfile.TemporaryDirectory() as work:
        for kind in ["pe32", "elf32_x86", "elf64_x64", "elf32_arm", "macho_x64"]:
            old = os.path.join(FIXTURES, kind + ".old")
            new = os.path.join(FIXTURES, kind + ".new")
            old_bytes = open(old, "rb").read()
            # Containers: plain and dis_and_diff, whole (mode 0) and as payload (modes 1 and 2).
            for flag, directive in (["--plain"], 1), ([], 2):
                out = os.path.join(work, "c")
                subprocess.run([TOOL, "pack", new, out] + flag, check=True, capture_output=True)
                c = open(out, "rb").read()
                write("unpack", "%s-d%d" % (kind, directive), b"\0" + c)
                i = 0
                for _ in range(3):
                    _, i = read_varint(c, i)
                write("unpack", "%s-d%d-payload" % (kind, directive), bytes([directive]) + block_payload(c, i))
            # Patches: whole (mode 0) and as body (mode 1), with the old file in front.
            patch = os.path.join(work, "p")
            subprocess.run([TOOL, "patch", old, new, patch], check=True, capture_output=True)
            p = open(patch, "rb").read()
            prefix = varint(len(old_bytes)) + old_bytes
            write("ensemble", kind, b"\0" + prefix + p)
            i = 0
            for _ in range(5):
                _, i = read_varint(p, i)
            write("ensemble", kind + "-body", b"\1" + prefix + block_payload(p, i))


main()
