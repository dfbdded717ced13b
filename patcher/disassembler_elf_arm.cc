#include "patcher/disassembler_elf_arm.h"

#include <new>

namespace patcher {

namespace {

const uint32_t kRArmRelative = 23;

uint32_t Bit(uint32_t value, int bit)
{
    return (value >> bit) & 1;
}

// Sign-extends `value` from bit `bit`.
int32_t SignExtend(uint32_t value, int bit)
{
    const int shift = 31 - bit;
    return static_cast<int32_t>(value << shift) >> shift;
}

} // namespace

uint16_t DisassemblerElf32ARM::TypedRVAARM::ReferenceSize() const
{
    return m_kind == THUMB_B8 || m_kind == THUMB_B11 ? 2 : 4;
}

bool DisassemblerElf32ARM::TypedRVAARM::DecodeTarget(const uint8_t *insn)
{
    m_insn = insn;
    uint32_t c = 0;
    int32_t r = 0;
    switch (m_kind) {
    case THUMB_B8: {
        const uint32_t i = ReadLE16(insn);
        c = (i >> 8) | THUMB_B8;
        r = SignExtend((i & 0xFF) << 1, 8) + 4;
        break;
    }
    case THUMB_B11: {
        const uint32_t i = ReadLE16(insn);
        c = (i >> 11) | THUMB_B11;
        r = SignExtend((i & 0x7FF) << 1, 11) + 4;
        break;
    }
    case ARM_B24: {
        const uint32_t i = ReadLE32(insn);
        c = (i >> 24) | ARM_B24;
        r = SignExtend((i & 0xFFFFFF) << 2, 25) + 8;
        break;
    }
    case THUMB2_BL25: {
        const uint32_t i = (static_cast<uint32_t>(ReadLE16(insn)) << 16) | ReadLE16(insn + 2);
        // BLX to ARM code from a halfword-aligned address uses the aligned-down pc.
        const uint32_t prefetch = (Bit(i, 14) && !Bit(i, 12) && rva() % 4 != 0) ? 2 : 4;
        c = THUMB2_BL25 | (prefetch << 8) | ((i >> 24) & 0xF8) | (Bit(i, 15) << 2) | (Bit(i, 14) << 1) |
            Bit(i, 12);
        const uint32_t s = Bit(i, 26);
        const uint32_t offset = (s << 24) | ((~(Bit(i, 13) ^ s) & 1) << 23) |
                                ((~(Bit(i, 11) ^ s) & 1) << 22) | (((i >> 16) & 0x3FF) << 12) |
                                ((i & 0x7FF) << 1);
        r = SignExtend(offset, 24) + static_cast<int32_t>(prefetch);
        break;
    }
    case THUMB2_BCC21: {
        const uint32_t i = (static_cast<uint32_t>(ReadLE16(insn)) << 16) | ReadLE16(insn + 2);
        c = THUMB2_BCC21 | ((i >> 22) & 0xF);
        const uint32_t offset = (Bit(i, 26) << 20) | (Bit(i, 13) << 19) | (Bit(i, 11) << 18) |
                                (((i >> 16) & 0x3F) << 12) | ((i & 0x7FF) << 1);
        r = SignExtend(offset, 20) + 4;
        break;
    }
    default:
        return false;
    }
    m_op = static_cast<uint16_t>(c);
    set_relative_target(r);
    return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitReference(ParsedProgram *program, uint32_t targetRva)
{
    return program->AddArmRel32Ref(m_op, program->Rel32LabelAt(targetRva), m_insn, ReferenceSize());
}

bool DisassemblerElf32ARM::AcceptRelocation(const uint8_t *entry, uint32_t *rva) const
{
    if (ReadLE32(entry + 4) != kRArmRelative)
        return false;
    *rva = ReadLE32(entry);
    return true;
}

bool DisassemblerElf32ARM::EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program)
{
    const uint8_t *p = m_start + section.offset;
    const uint8_t *end = p + section.size;
    const std::vector<uint32_t> &list = m_abs32Locations;
    if (!list.empty()) {
        const uint64_t total = RelocationCount(section);
        uint64_t k = 0;
        // Entries before the first one of the list stay as they are.
        for (; k < total && ReadLE32(p) != list[0]; ++k, p += 8)
            if (!program->AddBytesInsn(p, 8))
                return false;
        if (list.size() <= total) {
            // The compared entries are replaced by the table assembly regenerates; on a mismatch
            // they are dropped all the same.
            for (size_t j = 0;; ++j) {
                if (j == list.size()) {
                    if (!program->AddElfArmRelocsInsn())
                        return false;
                    break;
                }
                if (k >= total)
                    break;
                const bool same = ReadLE32(p + 4) == kRArmRelative && ReadLE32(p) == list[j];
                ++k;
                p += 8;
                if (!same)
                    break;
            }
        }
    }
    return p == end || program->AddBytesInsn(p, end - p);
}

bool DisassemblerElf32ARM::ScanSectionForRel32(const ElfSectionHeader &section)
{
    const uint8_t *start = m_start + section.offset;
    const uint64_t end = section.size;
    bool armState = true;
    uint64_t p = 0;
    while (p < end) {
        uint32_t kind = 0;
        if (p + 3 <= end) {
            const uint16_t h0 = ReadLE16(start + p);
            if ((h0 & 0xF000) == 0xD000)
                kind = THUMB_B8;
            else if ((h0 & 0xF800) == 0xE000)
                kind = THUMB_B11;
        }
        if (kind == 0 && p + 5 <= end) {
            const uint32_t pair =
                (static_cast<uint32_t>(ReadLE16(start + p)) << 16) | ReadLE16(start + p + 2);
            if ((pair & 0xF8008000) == 0xF0008000)
                kind = (pair & 0x5000) != 0 ? THUMB2_BL25 : THUMB2_BCC21;
            else if (armState && (ReadLE32(start + p) & 0x0E000000) == 0x0A000000)
                kind = ARM_B24;
        }
        if (kind != 0) {
            std::unique_ptr<TypedRVAARM> rel(new (std::nothrow) TypedRVAARM(
                static_cast<ArmBranchKind>(kind), static_cast<uint32_t>(section.addr + p)));
            if (!rel)
                return false;
            rel->DecodeTarget(start + p);
            if (IsValidTargetRVA(rel->rva() + static_cast<uint32_t>(rel->relative_target())) &&
                MapsBackTo(rel->rva(), section.offset + p)) {
                p += rel->ReferenceSize();
                if (!AddRel32(std::move(rel)))
                    return false;
                armState = true;
                continue;
            }
        }
        p += 2;
        armState = !armState;
    }
    return true;
}

} // namespace patcher
