#include "patcher/parsed_program.h"

#include "patcher/logging.h"

#include <new>
#include <string>

namespace patcher {

namespace {

// Relative labels of ARM programs with no more references than this are not worth a label.
const int32_t kTrimThreshold = 5;

}  // namespace

ParsedProgram::ParsedProgram(ExecutableType kind) : m_kind(kind) {}

ParsedProgram::~ParsedProgram() = default;

Instruction *ParsedProgram::NewInstruction(InstructionKind kind)
{
    try {
        m_owned.emplace_back();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    Instruction *insn = &m_owned.back();
    insn->kind = kind;
    return insn;
}

bool ParsedProgram::Append(const Instruction *insn)
{
    if (!insn)
        return false;
    try {
        m_instructions.push_back(insn);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool ParsedProgram::MakeByteInstructions()
{
    m_byteInstructions.reset(new (std::nothrow) Instruction[256]);
    if (!m_byteInstructions)
        return false;
    for (int value = 0; value < 256; ++value) {
        m_byteInstructions[value].kind = INSN_BYTE;
        m_byteInstructions[value].byte = static_cast<uint8_t>(value);
        m_byteInstructions[value].size = 1;
    }
    return true;
}

bool ParsedProgram::AddOriginInsn(uint32_t rva)
{
    Instruction *insn = NewInstruction(INSN_ORIGIN);
    if (insn)
        insn->rva = rva;
    return Append(insn);
}

bool ParsedProgram::AddByteInsn(uint8_t value)
{
    if (!m_byteInstructions && !MakeByteInstructions())
        return false;
    return Append(&m_byteInstructions[value]);
}

bool ParsedProgram::AddBytesInsn(const uint8_t *data, size_t length)
{
    if (length > UINT32_MAX)
        return false;
    Instruction *insn = NewInstruction(INSN_BYTES);
    if (insn) {
        insn->data = data;
        insn->size = static_cast<uint32_t>(length);
    }
    return Append(insn);
}

bool ParsedProgram::AddRel32Ref(Label *label)
{
    if (!label)
        return false;
    Instruction *insn = NewInstruction(INSN_REL32);
    if (insn)
        insn->label = label;
    return Append(insn);
}

bool ParsedProgram::AddAbs32Ref(Label *label)
{
    if (!label)
        return false;
    Instruction *insn = NewInstruction(INSN_ABS32);
    if (insn)
        insn->label = label;
    return Append(insn);
}

bool ParsedProgram::AddArmRel32Ref(uint16_t op, Label *label, const uint8_t *insnBytes, uint16_t size)
{
    if (!label)
        return false;
    Instruction *insn = NewInstruction(INSN_ARM_REL32);
    if (insn) {
        insn->op = op;
        insn->label = label;
        insn->data = insnBytes;
        insn->size = size;
    }
    return Append(insn);
}

bool ParsedProgram::AddPeRelocsInsn()
{
    return Append(NewInstruction(INSN_PE_RELOCS));
}

bool ParsedProgram::AddElfRelocsInsn()
{
    return Append(NewInstruction(INSN_ELF_RELOCS));
}

bool ParsedProgram::AddElfArmRelocsInsn()
{
    return Append(NewInstruction(INSN_ELF_ARM_RELOCS));
}

Label *ParsedProgram::LabelAt(LabelMap *labels, uint32_t rva)
{
    Label *label;
    try {
        label = &(*labels)[rva];
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    label->rva = rva;
    ++label->count;
    return label;
}

Label *ParsedProgram::Rel32LabelAt(uint32_t rva)
{
    return LabelAt(&m_rel32Labels, rva);
}

Label *ParsedProgram::Abs32LabelAt(uint32_t rva)
{
    return LabelAt(&m_abs32Labels, rva);
}

void ParsedProgram::AssignLabelIndexes()
{
    for (LabelMap *labels : {&m_abs32Labels, &m_rel32Labels}) {
        int32_t index = 0;
        for (auto &entry : *labels) {
            if (entry.second.index != -1)
                LogError("REACHED UNREACHABLE");
            entry.second.index = index++;
        }
    }
}

PatchStatus TrimLabels(ParsedProgram *program)
{
    if (program->kind() != EXE_ELF_32_ARM)
        return C_OK;
    LogDebug("TrimLabels: threshold " + std::to_string(kTrimThreshold));

    // Branches go back to plain bytes before their labels go, so no instruction is left pointing
    // at a freed label.
    for (const Instruction *&insn : program->m_instructions) {
        if (insn->kind != INSN_ARM_REL32 || insn->label->count > kTrimThreshold)
            continue;
        if (insn->size == 0)
            return C_TRIM_FAILED;
        Instruction *bytes = program->NewInstruction(INSN_BYTES);
        if (!bytes)
            return C_TRIM_FAILED;
        bytes->data = insn->data;
        bytes->size = insn->size;
        insn = bytes;
    }
    LabelMap &labels = program->m_rel32Labels;
    for (auto it = labels.begin(); it != labels.end();) {
        if (it->second.count <= kTrimThreshold)
            it = labels.erase(it);
        else
            ++it;
    }
    return C_OK;
}

}  // namespace patcher
