#include "patcher/parsed_program.h"

#include "patcher/logging.h"

#include <new>
#include <stdexcept>
#include <string>

namespace patcher {

namespace {

// Relative labels of ARM programs with no more references than this are not worth a label.
const int32_t kTrimThreshold = 5;

} // namespace

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

Label *LabelMap::FindOrAdd(uint32_t rva)
{
    try {
        auto inserted = m_labels.try_emplace(rva);
        Label *label = &inserted.first->second;
        if (inserted.second) {
            label->rva = rva;
            try {
                m_ordered.push_back(&*inserted.first);
            } catch (const std::bad_alloc &) {
                m_labels.erase(inserted.first);
                return nullptr;
            }
            m_sorted = false;
        }
        return label;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void LabelMap::Reserve(size_t n)
{
    try {
        m_labels.reserve(n);
        m_ordered.reserve(n);
    } catch (const std::bad_alloc &) {
        // Growing as labels come will do.
    } catch (const std::length_error &) {
    }
}

const Label *LabelMap::Find(uint32_t rva) const
{
    auto it = m_labels.find(rva);
    return it == m_labels.end() ? nullptr : &it->second;
}

const std::vector<LabelMap::value_type *> &LabelMap::Ordered() const
{
    if (!m_sorted) {
        std::sort(m_ordered.begin(), m_ordered.end(),
                  [](const value_type *a, const value_type *b) { return a->first < b->first; });
        m_sorted = true;
    }
    return m_ordered;
}

Label *ParsedProgram::Rel32LabelAt(uint32_t rva)
{
    Label *label = m_rel32Labels.FindOrAdd(rva);
    if (label)
        ++label->count;
    return label;
}

Label *ParsedProgram::Abs32LabelAt(uint32_t rva)
{
    Label *label = m_abs32Labels.FindOrAdd(rva);
    if (label)
        ++label->count;
    return label;
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
    program->m_rel32Labels.EraseIf([](const Label &label) { return label.count <= kTrimThreshold; });
    return C_OK;
}

} // namespace patcher
