// ELF parser for 32-bit ARM: ARM and Thumb-2 branches, R_ARM_RELATIVE relocations.
#pragma once

#include "patcher/disassembler_elf.h"
#include "patcher/encoded_program.h"

namespace patcher {

class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    class TypedRVAARM : public TypedRVA {
    public:
        TypedRVAARM(ArmBranchKind kind, uint32_t rva) : TypedRVA(rva), m_kind(kind) {}
        // Sets the compressed operation and the relative target from the instruction bytes.
        bool DecodeTarget(const uint8_t *insn) override;
        bool EmitReference(ParsedProgram *program, uint32_t targetRva) override;
        uint16_t ReferenceSize() const override;
        uint16_t compressed_op() const { return m_op; }

    private:
        ArmBranchKind m_kind;
        uint16_t m_op = 0;
        const uint8_t *m_insn = nullptr;
    };

    DisassemblerElf32ARM(const uint8_t *start, size_t length) : DisassemblerElf32(start, length) {}
    ExecutableType GetKind() const override { return EXE_ELF_32_ARM; }

protected:
    uint16_t ExpectedMachine() const override { return 40; }
    // R_ARM_RELATIVE (r_info 23) only.
    bool AcceptRelocation(const uint8_t *entry, uint32_t *rva) const override;
    bool EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program) override;
    bool ScanSectionForRel32(const ElfSectionHeader &section) override;
};

} // namespace patcher
