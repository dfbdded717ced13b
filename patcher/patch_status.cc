#include "patcher/patch_status.h"

namespace patcher {

const char *PatchStatusText(uint32_t status)
{
    switch (status) {
    case C_OK:
        return "success";
    case C_GENERAL_ERROR:
        return "general failure";
    case C_READ_OPEN_ERROR:
        return "the patch file cannot be opened";
    case C_READ_ERROR:
        return "the old file cannot be opened, or the new file was not written";
    case C_BAD_ENSEMBLE_MAGIC:
        return "bad magic";
    case C_BAD_ENSEMBLE_VERSION:
        return "bad version";
    case C_BAD_ENSEMBLE_HEADER:
        return "corrupt header or element list";
    case C_BAD_ENSEMBLE_CRC:
        return "checksum mismatch";
    case C_BAD_TRANSFORM:
        return "an element's range does not fit in the old file";
    case C_STREAM_ERROR:
        return "stream failure or out of memory";
    case C_STREAM_NOT_CONSUMED:
        return "a stream was not consumed completely";
    case C_DESERIALIZATION_FAILED:
        return "an encoded program cannot be read back";
    case C_INPUT_NOT_RECOGNIZED:
        return "an element is not a supported executable";
    case C_DISASSEMBLY_FAILED:
        return "an element failed to parse";
    case C_ASSEMBLY_FAILED:
        return "an encoded program failed to assemble";
    case C_TRIM_FAILED:
        return "label trimming failed";
    default:
        return "unknown status";
    }
}

} // namespace patcher
