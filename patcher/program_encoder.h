// Encoding a parsed program: its labels become the address tables of an encoded program and its
// instructions the operation list.
#pragma once

#include "patcher/encoded_program.h"
#include "patcher/parsed_program.h"
#include "patcher/patch_status.h"

namespace patcher {

// C_OK with `encoded` filled, or C_GENERAL_ERROR (memory exhausted) with `encoded` emptied.
PatchStatus EncodeProgram(const ParsedProgram &program, EncodedProgram *encoded);

} // namespace patcher
