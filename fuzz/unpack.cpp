// Packed-file containers. The first byte picks the mode: 0 unpacks the rest as it is; otherwise the
// rest is the decompressed payload, wrapped here in a container of directive (mode & 3) whose LZMA2
// block is stored, so that mutations reach the stream sets, programs and differences inside.
#include "fuzz_options.h"
#include "lzma2_chunks.h"
#include "patcher/checksum.h"
#include "patcher/packed_file.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    patcher::WriteStream output;
    if (mode == 0) {
        (void)patcher::UnpackPackedData(patcher::ReadStream(data + 1, size - 1), &output);
        return 0;
    }
    patcher::WriteStream container;
    if (!container.WriteVarint(patcher::kContainerMagic) || !container.WriteVarint(0) ||
        !container.WriteVarint(mode & 3) || !WriteStoredLzma2Block(&container, data + 1, size - 1))
        return 0;
    if (patcher::UnpackPackedData(container.AsReadStream(), &output)) {
        // Only a result with checksum 0 can pass the check.
        if (patcher::PatchChecksum(output.Buffer(), output.Length()) != 0)
            __builtin_trap();
    }
    return 0;
}
