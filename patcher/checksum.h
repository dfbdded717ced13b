// The 32-bit checksum stored by every patcher format.
#ifndef PATCHER_CHECKSUM_H
#define PATCHER_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace patcher {

// The CRC-32 register (reflected polynomial 0xEDB88320, initial value all ones) after the last byte,
// without the final complement: "123456789" gives 0x340BC6D9, no bytes give 0xFFFFFFFF.
uint32_t PatchChecksum(const void *bytes, size_t n);

} // namespace patcher

#endif
