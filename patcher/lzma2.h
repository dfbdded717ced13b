// LZMA2 blocks: a dictionary property byte, the unpacked size as varint32, and a raw LZMA2 stream
// ending in its end marker. The block readers and writers are ReadStream::ReadLzma2Block and
// WriteStream::WriteLzma2Block; this header holds what they share.
#ifndef PATCHER_LZMA2_H
#define PATCHER_LZMA2_H

#include <cstdint>

namespace patcher {

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

} // namespace patcher

#endif
