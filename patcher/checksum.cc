#include "patcher/checksum.h"

#include <array>

namespace patcher {

namespace {

constexpr std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

// Built at compile time, so concurrent first calls from pool threads need no guard.
constexpr std::array<uint32_t, 256> kTable = makeTable();

} // namespace

uint32_t PatchChecksum(const void *bytes, size_t n)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

} // namespace patcher
