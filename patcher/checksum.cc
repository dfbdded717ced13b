#include "patcher/checksum.h"

#include <lzma.h>

namespace patcher {

uint32_t PatchChecksum(const void *bytes, size_t n)
{
    // liblzma's CRC-32 is the same polynomial and initial value, complemented at the end, and runs
    // several bytes per step instead of one; undo its final complement. It takes a size_t length,
    // so no splitting is needed.
    return ~lzma_crc32(static_cast<const uint8_t *>(bytes), n, 0);
}

} // namespace patcher
