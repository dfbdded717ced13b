// LZMA2 blocks: property byte, size, raw stream. Decoded blocks are re-encoded and must read back.
#include "fuzz_options.h"
#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    patcher::ReadStream in(data, size);
    for (int block = 0; block < 4; ++block) {
        patcher::WriteStream out;
        const size_t before = in.Offset();
        if (!in.ReadLzma2Block(&out)) {
            if (in.Offset() != before)
                __builtin_trap(); // a failed read must not move the position
            break;
        }
        if (block == 0 && out.Length() < 4096) {
            patcher::WriteStream again;
            if (!again.WriteLzma2Block(out.Buffer(), out.Length()))
                __builtin_trap();
            patcher::ReadStream back = again.AsReadStream();
            patcher::WriteStream decoded;
            if (!back.ReadLzma2Block(&decoded) || !back.Consumed() || decoded.Length() != out.Length() ||
                (out.Length() != 0 && std::memcmp(decoded.Buffer(), out.Buffer(), out.Length()) != 0))
                __builtin_trap();
        }
    }
    return 0;
}
