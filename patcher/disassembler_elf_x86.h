// ELF parsers for 32-bit x86 and for x86-64.
#pragma once

#include "patcher/disassembler_elf.h"

namespace patcher {

class DisassemblerElf32X86 : public DisassemblerElf32 {
public:
    // A 4-byte displacement of a call, jump or conditional jump.
    class TypedRVAX86 : public TypedRVA {
    public:
        explicit TypedRVAX86(uint32_t rva) : TypedRVA(rva) {}
        bool DecodeTarget(const uint8_t *insn) override;
        bool EmitReference(ParsedProgram *program, uint32_t targetRva) override;
        uint16_t ReferenceSize() const override { return 4; }
    };

    DisassemblerElf32X86(const uint8_t *start, size_t length) : DisassemblerElf32(start, length) {}
    ExecutableType GetKind() const override { return EXE_ELF_32_X86; }

protected:
    uint16_t ExpectedMachine() const override { return 3; }
    // R_386_RELATIVE (r_info 8, symbol 0) only.
    bool AcceptRelocation(const uint8_t *entry, uint32_t *rva) const override;
    bool EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program) override;
    bool ScanSectionForRel32(const ElfSectionHeader &section) override;
};

class DisassemblerElf64X64 : public DisassemblerElf64 {
public:
    // Same encoding as on x86; also used for RIP-relative memory operands.
    class TypedRVAX64 : public DisassemblerElf32X86::TypedRVAX86 {
    public:
        explicit TypedRVAX64(uint32_t rva) : TypedRVAX86(rva) {}
    };

    DisassemblerElf64X64(const uint8_t *start, size_t length) : DisassemblerElf64(start, length) {}
    ExecutableType GetKind() const override { return EXE_ELF_64_X64; }

protected:
    uint16_t ExpectedMachine() const override { return 62; }
    // Relocations are never regenerated on x86-64: there are no absolute references.
    bool AcceptRelocation(const uint8_t *, uint32_t *) const override { return false; }
    bool EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program) override;
    bool ScanSectionForRel32(const ElfSectionHeader &section) override;
};

} // namespace patcher
