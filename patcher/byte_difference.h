// The byte-difference stream: control triples that copy corrected runs of old bytes and insert
// literal bytes, with the control, correction and literal bytes in three separate blocks.
#ifndef PATCHER_BYTE_DIFFERENCE_H
#define PATCHER_BYTE_DIFFERENCE_H

#include "patcher/streams.h"

#include <cstdint>

namespace patcher {

// How the three blocks are stored.
enum ByteDifferenceMethod : uint32_t {
    BYTE_DIFFERENCE_PLAIN = 0,     // the blocks as they are
    BYTE_DIFFERENCE_LZMA2_EACH = 1, // each block an LZMA2 block
    BYTE_DIFFERENCE_LZMA2_ALL = 2,  // the plain layout inside one LZMA2 block
};

// Rebuilds the new bytes from `old` (positions counted from its current position) and the stream at
// `patch`'s position, appending them to `out`. `patch` is left after the body it read.
bool ApplyByteDifference(const ReadStream &old, ReadStream *patch, WriteStream *out);

// Appends a stream that turns the remaining bytes of `old` into those of `newData`.
bool GenerateByteDifference(const ReadStream &old, const ReadStream &newData, WriteStream *patch,
                            uint32_t method);

} // namespace patcher

#endif
