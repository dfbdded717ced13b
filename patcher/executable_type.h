// The kinds of executable the parsers recognise. The numbers are stored in patches and logs.
#pragma once

#include <cstdint>

namespace patcher {

enum ExecutableType : uint32_t {
    EXE_UNKNOWN = 0,
    EXE_WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    EXE_ELF_32_ARM = 3,
    EXE_WIN_32_X64 = 4,
    EXE_ELF_64_X64 = 5,
    EXE_MACHO_X86 = 6,
    EXE_MACHO_X64 = 7,
};

// "WIN_32_X86", ... ; "UNKNOWN" for 0 and for any value outside the table.
const char *ExecutableTypeName(uint32_t type);

}  // namespace patcher
