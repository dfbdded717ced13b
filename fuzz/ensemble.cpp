// Ensemble patches applied over memory streams. The first byte picks the mode; then a varint gives
// the length of the old file, which follows, and the rest is:
//   mode 0: the patch as it is;
//   otherwise: the decompressed body, wrapped here in a patch whose header matches the old file and
//   whose LZMA2 block is stored, so that mutations reach the element list, the element patchers and
//   the byte differences.
#include "patcher/ensemble.h"
#include "fuzz_options.h"
#include "lzma2_chunks.h"
#include "patcher/checksum.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    patcher::ReadStream old, rest;
    SplitInput(data + 1, size - 1, &old, &rest);
    patcher::WriteStream output;
    if (mode == 0) {
        (void)patcher::ApplyEnsemblePatch(old, rest, &output);
        return 0;
    }
    patcher::WriteStream patch;
    if (!patch.WriteVarint(patcher::kEnsembleMagic) || !patch.WriteVarint(patcher::kEnsembleVersion) ||
        !patch.WriteVarint(patcher::PatchChecksum(old.Buffer(), old.Remaining())) || !patch.WriteVarint(0) ||
        !patch.WriteVarint(static_cast<uint32_t>(old.Remaining() * 2)) ||
        !WriteStoredLzma2Block(&patch, rest.Buffer(), rest.Remaining()))
        return 0;
    const patcher::PatchStatus status = patcher::ApplyEnsemblePatch(old, patch.AsReadStream(), &output);
    // Success needs a new file whose checksum is the 0 written above.
    if (status == patcher::C_OK && patcher::PatchChecksum(output.Buffer(), output.Length()) != 0)
        __builtin_trap();
    return 0;
}
