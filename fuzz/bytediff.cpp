// Byte-difference streams. The first byte picks the mode: apply a hostile stream to an old part of
// the input, or generate a stream between two parts and check that it applies exactly.
#include "fuzz_options.h"
#include "patcher/byte_difference.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t mode = data[0];
    const size_t split = (static_cast<size_t>(data[1]) << 8 | data[2]) % (size - 2);
    const uint8_t *rest = data + 3;
    const size_t restSize = size - 3;
    const size_t oldSize = split < restSize ? split : restSize;
    patcher::ReadStream old(rest, oldSize);
    patcher::ReadStream second(rest + oldSize, restSize - oldSize);

    if (mode & 1) {
        patcher::WriteStream patch;
        if (!patcher::GenerateByteDifference(old, second, &patch, (mode >> 1) % 3))
            __builtin_trap();
        patcher::ReadStream p = patch.AsReadStream();
        patcher::WriteStream out;
        if (!patcher::ApplyByteDifference(old, &p, &out) || !p.Consumed() ||
            out.Length() != second.Remaining() ||
            (out.Length() != 0 && std::memcmp(out.Buffer(), second.Buffer(), out.Length()) != 0))
            __builtin_trap();
    } else {
        patcher::WriteStream out;
        patcher::ReadStream p = second;
        if (patcher::ApplyByteDifference(old, &p, &out) && p.Offset() > second.Remaining())
            __builtin_trap();
    }
    return 0;
}
