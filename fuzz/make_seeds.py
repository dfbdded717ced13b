#!/usr/bin/env python3
"""Writes the seed corpora of the patcher's fuzz targets into fuzz/corpus/<target>/."""
import lzma
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def svarint(v):
    return varint((v << 1) if v >= 0 else ((-v << 1) - 1))


def stream_set(streams):
    return varint(20090218) + varint(len(streams)) + b"".join(varint(len(s)) for s in streams) + b"".join(streams)


def nested(outer, child):
    """Appends a nested set to a list of outer stream contents, as a writer of nested sets does."""
    count = 0
    for i, s in enumerate(child):
        if s:
            count = i + 1
    outer[0] += varint(count) + b"".join(varint(len(child[i])) for i in range(count))
    for i in range(count):
        outer[i] += child[i]


def lzma2_block(data, preset=6):
    raw = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "preset": preset}])
    prop = 16 if preset == 1 else 22  # 1 MiB and 8 MiB dictionaries
    return bytes([prop]) + varint(len(data)) + raw


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    rnd = random.Random(20090218)
    text = b"".join(rnd.choice([b"patch ", b"stream ", b"set ", b"\x00\x01\x02"]) for _ in range(400))

    # stream sets
    write("streamset", "empty", stream_set([]))
    write("streamset", "ten", stream_set([b"", b"a", b"bc", b"", b"", b"", b"", b"", b"", b"z"]))
    outer = [b"", b"", b"", b""]
    nested(outer, [b"abc", b"", b"de"])
    nested(outer, [b"", b"", b"", b"f"])
    nested(outer, [])
    write("streamset", "nested", stream_set(outer))

    # LZMA2 blocks
    write("lzma2", "empty", lzma2_block(b""))
    write("lzma2", "text", lzma2_block(text))
    write("lzma2", "two", lzma2_block(b"one", 1) + lzma2_block(text[:300]))

    # byte differences: mode byte, split (2 bytes), old, then patch (apply) or new (generate)
    old = bytearray(text[:600])
    new = bytearray(old)
    new[10:10] = b"inserted"
    new[300] ^= 0x40
    control = svarint(3) + svarint(2) + svarint(-2) + svarint(2) + svarint(1) + svarint(0)
    diff = bytes([0x20, 0, 1, 0, 0])
    extra = b"xyz"
    plain = varint(len(control)) + varint(len(diff)) + varint(len(extra)) + control + diff + extra
    oldsmall = bytes([0xF0, 1, 2, 3, 4, 5])
    for method, body in ((0, plain), (2, lzma2_block(plain)),
                         (1, lzma2_block(control) + lzma2_block(diff) + lzma2_block(extra))):
        patch = bytes([method]) + varint(8) + body
        write("bytediff", "apply%d" % method, bytes([0, 0, len(oldsmall)]) + oldsmall + patch)
    for method in range(3):
        write("bytediff", "generate%d" % method,
              bytes([1 | (method << 1), len(old) >> 8, len(old) & 0xFF]) + bytes(old) + bytes(new))

    # encoded programs: ten streams (see the serialised form of an encoded program)
    def lst(values):
        return varint(len(values)) + b"".join(varint(v) for v in values)

    def delta(values):
        out, prev = varint(len(values)), 0
        for v in values:
            out += varint((v - prev) & 0xFFFFFFFF)
            prev = v
        return out

    copy = b"\x90\x90\xe8\xc3"
    streams = [
        varint(0x400000) + lst([0x1000, 0x2000]),
        lst([0, 1, 3, 4, 0, 2, 5, 4]),  # origin, copy, rel32, abs32, origin, copy one, PE relocs, abs32
        varint(len(copy) + 1) + copy + b"\xcc",
        lst([0, 1]),
        lst([1]),
        delta([0x1000, 0x3000]),
        delta([0x1100, 0x1200]),
        lst([len(copy)]),
        b"",
        b"",
    ]
    write("encodedprogram", "pe", stream_set(streams))
    arm = [
        varint(0) + lst([0x8000]),
        lst([0, 0x30EB, 0x44F7, 0x10D0, 0x201C, 0x5001, 7, 4]),
        varint(0),
        lst([0]),
        lst([0, 0, 0, 0, 0]),
        delta([0x9000]),
        delta([0x9000]),
        lst([]),
        b"",
        b"",
    ]
    write("encodedprogram", "arm", stream_set(arm))


if __name__ == "__main__":
    main()
