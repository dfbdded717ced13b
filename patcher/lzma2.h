// LZMA2 blocks: a dictionary property byte, the unpacked size as varint32, and a raw LZMA2 stream
// ending in its end marker. The block readers and writers are ReadStream::ReadLzma2Block and
// WriteStream::WriteLzma2Block; this header holds what they share.
#ifndef PATCHER_LZMA2_H
#define PATCHER_LZMA2_H

#include <cstddef>
#include <cstdint>

namespace patcher {

class WriteStream;

const uint8_t kMaxLzma2Property = 40;

// Result codes printed after "Error uncompressing data ".
enum Lzma2Result : int {
    LZMA2_RESULT_WRONG_SIZE = 0,
    LZMA2_RESULT_DATA_ERROR = 1,
    LZMA2_RESULT_MEMORY_ERROR = 2,
    LZMA2_RESULT_UNSUPPORTED = 4,
    LZMA2_RESULT_INPUT_EOF = 6,
};

// The dictionary size that property byte p (0 to 40) stands for; 40 is 4 GiB - 1.
uint32_t Lzma2DictionarySize(uint8_t property);

// Encoder settings for blocks whose kind of content is known in advance (the difference
// generator's blocks). Every block written with them reads back with ReadLzma2Block.
struct Lzma2Tuning {
    uint32_t literalContextBits = 3;
    uint32_t positionBits = 2;
    uint32_t niceLength = 64;
    uint32_t depth = 0; // 0: the library's choice
    // Blocks of at least this many bytes are compressed as two halves on two threads; each half
    // starts with a dictionary reset, so the two raw streams join into one.
    size_t splitAbove = SIZE_MAX;
};

// Settings for sparse data such as byte corrections (mostly zeros with scattered small values).
Lzma2Tuning SparseDataTuning();

// Appends one LZMA2 block (property, size, raw stream) compressed with `tuning`.
bool WriteTunedLzma2Block(WriteStream *out, const void *bytes, size_t n, const Lzma2Tuning &tuning);

} // namespace patcher

#endif
