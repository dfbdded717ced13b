// Result codes of every patcher step and of applying a patch.
#pragma once

#include <cstdint>

namespace patcher {

enum PatchStatus : uint32_t {
    C_OK = 1,
    C_GENERAL_ERROR = 2,
    C_READ_OPEN_ERROR = 3,  // the patch file cannot be opened or mapped
    C_READ_ERROR = 4,       // the old file cannot be opened or mapped, or the new file not written
    C_BAD_ENSEMBLE_MAGIC = 5,
    C_BAD_ENSEMBLE_VERSION = 6,
    C_BAD_ENSEMBLE_HEADER = 7,
    C_BAD_ENSEMBLE_CRC = 8,
    C_BAD_TRANSFORM = 12,
    C_STREAM_ERROR = 20,
    C_STREAM_NOT_CONSUMED = 21,
    C_DESERIALIZATION_FAILED = 23,
    C_INPUT_NOT_RECOGNIZED = 24,
    C_DISASSEMBLY_FAILED = 25,
    C_ASSEMBLY_FAILED = 26,
    C_TRIM_FAILED = 28,
};

// Short English meaning of a status, for tools and logs.
const char *PatchStatusText(uint32_t status);

}  // namespace patcher
