// Wraps bytes as an LZMA2 block made of uncompressed chunks, so that fuzz targets can reach what lies
// beyond the decoder without paying for an encoder on every run.
#pragma once

#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>

inline bool WriteStoredLzma2Block(patcher::WriteStream *out, const uint8_t *data, size_t n)
{
    // Property 0: a 4 KiB dictionary is enough for stored chunks.
    bool ok = out->WriteByte(0) && out->WriteSizeVarint(n);
    for (size_t done = 0; ok && done < n;) {
        const size_t chunk = n - done < 65536 ? n - done : 65536;
        // 1: stored chunk that resets the dictionary, 2: stored chunk that keeps it.
        const uint8_t header[3] = {static_cast<uint8_t>(done == 0 ? 1 : 2),
                                   static_cast<uint8_t>((chunk - 1) >> 8), static_cast<uint8_t>(chunk - 1)};
        ok = out->WriteBytes(header, 3) && out->WriteBytes(data + done, chunk);
        done += chunk;
    }
    return ok && out->WriteByte(0);
}

// Reads a varint length from the front of the input and splits the rest there.
inline void SplitInput(const uint8_t *data, size_t size, patcher::ReadStream *first,
                       patcher::ReadStream *second)
{
    patcher::ReadStream in(data, size);
    uint32_t length = 0;
    if (!in.ReadVarint(&length))
        length = 0;
    const size_t n = length < in.Remaining() ? length : in.Remaining();
    in.TakeSlice(n, first);
    *second = in;
}
