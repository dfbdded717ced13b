#include "patcher/disassembler_elf_x86.h"

#include <new>

namespace patcher {

namespace {

const uint32_t kR386Relative = 8;

template <class Ref> std::unique_ptr<DisassemblerElf::TypedRVA> MakeRef(uint32_t rva)
{
    return std::unique_ptr<DisassemblerElf::TypedRVA>(new (std::nothrow) Ref(rva));
}

} // namespace

bool DisassemblerElf32X86::TypedRVAX86::DecodeTarget(const uint8_t *insn)
{
    set_relative_target(static_cast<int32_t>(ReadLE32(insn) + 4));
    return true;
}

bool DisassemblerElf32X86::TypedRVAX86::EmitReference(ParsedProgram *program, uint32_t targetRva)
{
    return program->AddRel32Ref(program->Rel32LabelAt(targetRva));
}

bool DisassemblerElf::ScanX86Code(const ElfSectionHeader &section, bool x64,
                                  std::unique_ptr<TypedRVA> (*make)(uint32_t rva))
{
    const uint8_t *start = m_start + section.offset;
    return ScanForRel32(
        start, start + section.size, x64, [&](const uint8_t *reference, const Rel32Candidate &) {
            std::unique_ptr<TypedRVA> rel = make(static_cast<uint32_t>(section.addr + (reference - start)));
            if (!rel)
                return SCAN_FAIL;
            rel->DecodeTarget(reference);
            if (!IsValidTargetRVA(rel->rva() + static_cast<uint32_t>(rel->relative_target())) ||
                !MapsBackTo(rel->rva(), section.offset + (reference - start)))
                return SCAN_REJECT;
            return AddRel32(std::move(rel)) ? SCAN_ACCEPT : SCAN_FAIL;
        });
}

bool DisassemblerElf32X86::AcceptRelocation(const uint8_t *entry, uint32_t *rva) const
{
    if (ReadLE32(entry + 4) != kR386Relative)
        return false;
    *rva = ReadLE32(entry);
    return true;
}

bool DisassemblerElf32X86::EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program)
{
    const uint8_t *p = m_start + section.offset;
    const uint8_t *end = p + section.size;
    const size_t count = m_abs32Locations.size();
    if (count != 0 && count <= RelocationCount(section)) {
        bool match = true;
        for (size_t k = 0; k < count && match; ++k)
            match = ReadLE32(p + 8 * k + 4) == kR386Relative && ReadLE32(p + 8 * k) == m_abs32Locations[k];
        if (match) {
            if (!program->AddElfRelocsInsn())
                return false;
            p += 8 * count;
        }
    }
    return p == end || program->AddBytesInsn(p, end - p);
}

bool DisassemblerElf32X86::ScanSectionForRel32(const ElfSectionHeader &section)
{
    return ScanX86Code(section, false, &MakeRef<TypedRVAX86>);
}

bool DisassemblerElf64X64::EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program)
{
    return section.size == 0 || program->AddBytesInsn(m_start + section.offset, section.size);
}

bool DisassemblerElf64X64::ScanSectionForRel32(const ElfSectionHeader &section)
{
    return ScanX86Code(section, true, &MakeRef<TypedRVAX64>);
}

} // namespace patcher
