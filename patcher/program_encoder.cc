#include "patcher/program_encoder.h"

#include "patcher/logging.h"

namespace patcher {

namespace {

bool SetAddresses(const LabelMap &labels, EncodedProgram *encoded, bool abs32)
{
    for (const auto &entry : labels) {
        const Label &label = entry.second;
        if (label.index < 0)
            return false; // only a program that was never numbered has such a label
        const uint32_t index = static_cast<uint32_t>(label.index);
        if (!(abs32 ? encoded->SetAbs32Address(index, label.rva)
                    : encoded->SetRel32Address(index, label.rva)))
            return false;
    }
    return true;
}

bool AppendInstruction(const ParsedProgram &program, const Instruction &insn, EncodedProgram *encoded)
{
    switch (insn.kind) {
    case INSN_ORIGIN:
        return encoded->AppendOrigin(insn.rva);
    case INSN_BYTE:
        return encoded->AppendCopy(1, &insn.byte);
    case INSN_BYTES:
        return encoded->AppendCopy(insn.size, insn.data);
    case INSN_REL32:
        return insn.label->index >= 0 && encoded->AppendRel32(static_cast<uint32_t>(insn.label->index));
    case INSN_ABS32:
        return insn.label->index >= 0 && encoded->AppendAbs32(static_cast<uint32_t>(insn.label->index));
    case INSN_ARM_REL32:
        return insn.label->index >= 0 &&
               encoded->AppendArmRel32(insn.op, static_cast<uint32_t>(insn.label->index));
    case INSN_PE_RELOCS:
        return encoded->AppendPeRelocTable(program.kind());
    case INSN_ELF_RELOCS:
        return encoded->AppendElfRelocTable();
    case INSN_ELF_ARM_RELOCS:
        return encoded->AppendElfArmRelocTable();
    }
    LogError("REACHED UNREACHABLE Unknown Insn OP kind");
    return true;
}

} // namespace

PatchStatus EncodeProgram(const ParsedProgram &program, EncodedProgram *encoded)
{
    encoded->Clear();
    encoded->set_image_base(program.image_base());
    bool ok = SetAddresses(program.abs32_labels(), encoded, true) &&
              SetAddresses(program.rel32_labels(), encoded, false);
    if (ok) {
        // Labels that trimming removed leave holes, filled from the slot before.
        encoded->FinishAddressTables();
        for (const Instruction *insn : program.instructions()) {
            if (!AppendInstruction(program, *insn, encoded)) {
                ok = false;
                break;
            }
        }
    }
    if (!ok) {
        encoded->Clear();
        return C_GENERAL_ERROR;
    }
    return C_OK;
}

} // namespace patcher
