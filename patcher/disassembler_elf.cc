#include "patcher/disassembler_elf.h"

#include "patcher/logging.h"

#include <algorithm>
#include <new>
#include <string>

namespace patcher {

namespace {

uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return a + b < a ? UINT64_MAX : a + b;
}

} // namespace

DisassemblerElf::TypedRVA::~TypedRVA() = default;

DisassemblerElf::DisassemblerElf(const uint8_t *start, size_t length, bool is64)
    : Disassembler(start, length), m_is64(is64)
{
}

bool DisassemblerElf::CheckHeader()
{
    const uint64_t headerSize = m_is64 ? 64 : 52;
    const uint64_t sectionEntrySize = m_is64 ? 64 : 40;
    const uint64_t programEntrySize = m_is64 ? 56 : 32;
    const uint8_t *h = m_start;

    if (m_length < headerSize)
        return Bad("Too small");
    if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return Bad("No Magic Number");
    if ((ReadLE16(h + 16) & ~1u) != 2)
        return Bad("Not an executable file or shared library");
    if (ReadLE16(h + 18) != ExpectedMachine())
        return Bad("Not a supported architecture");
    if (ReadLE32(h + 20) != 1)
        return Bad("Unknown file version");

    const uint64_t phoff = m_is64 ? ReadLE64(h + 32) : ReadLE32(h + 28);
    const uint64_t shoff = m_is64 ? ReadLE64(h + 40) : ReadLE32(h + 32);
    const unsigned flagsAt = m_is64 ? 48 : 36;
    const uint16_t shentsize = ReadLE16(h + flagsAt + 10);
    const uint16_t phnum = ReadLE16(h + flagsAt + 8);
    const uint16_t shnum = ReadLE16(h + flagsAt + 12);
    const uint16_t shstrndx = ReadLE16(h + flagsAt + 14);

    if (shentsize != sectionEntrySize)
        return Bad("Unexpected section header size");
    if (shoff >= m_length)
        return Bad("Out of bounds section header table offset");
    if (!IsInside(shoff, shnum * sectionEntrySize))
        return Bad("Out of bounds section header table");
    if (phoff >= m_length)
        return Bad("Out of bounds program header table offset");
    if (!IsInside(phoff, phnum * programEntrySize))
        return Bad("Out of bounds program header table");

    try {
        m_sections.resize(shnum);
        m_segments.resize(phnum);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
    uint64_t extent = std::max(shoff + shnum * sectionEntrySize, phoff + phnum * programEntrySize);
    for (uint16_t i = 0; i < shnum; ++i) {
        const uint8_t *s = m_start + shoff + i * sectionEntrySize;
        ElfSectionHeader &section = m_sections[i];
        section.type = ReadLE32(s + 4);
        if (m_is64) {
            section.addr = ReadLE64(s + 16);
            section.offset = ReadLE64(s + 24);
            section.size = ReadLE64(s + 32);
            section.entsize = ReadLE64(s + 56);
        } else {
            section.addr = ReadLE32(s + 12);
            section.offset = ReadLE32(s + 16);
            section.size = ReadLE32(s + 20);
            section.entsize = ReadLE32(s + 36);
        }
        if (section.type != SHT_NOBITS_TYPE)
            extent = std::max(extent, SaturatingAdd(section.offset, section.size));
    }
    for (uint16_t i = 0; i < phnum; ++i) {
        const uint8_t *p = m_start + phoff + i * programEntrySize;
        ElfProgramHeader &segment = m_segments[i];
        segment.type = ReadLE32(p);
        if (m_is64) {
            segment.offset = ReadLE64(p + 8);
            segment.vaddr = ReadLE64(p + 16);
            segment.filesz = ReadLE64(p + 32);
            segment.memsz = ReadLE64(p + 40);
        } else {
            segment.offset = ReadLE32(p + 4);
            segment.vaddr = ReadLE32(p + 8);
            segment.filesz = ReadLE32(p + 16);
            segment.memsz = ReadLE32(p + 20);
        }
        extent = std::max(extent, SaturatingAdd(segment.offset, segment.filesz));
        if (segment.type == PT_LOAD_TYPE) {
            try {
                m_loadRanges.emplace_back(segment.vaddr, SaturatingAdd(segment.vaddr, segment.memsz));
            } catch (const std::bad_alloc &) {
                return Bad("out of memory");
            }
        }
    }
    // The name table is not needed for parsing; an index past the table selects nothing.
    m_sectionNamesIndex = shstrndx < shnum ? shstrndx : -1;
    ShrinkLength(extent);
    return Good();
}

bool DisassemblerElf::RVAToFileOffset(uint32_t rva, uint64_t *offset) const
{
    for (const ElfProgramHeader &segment : m_segments) {
        if (segment.vaddr <= rva && rva - segment.vaddr < segment.memsz &&
            rva - segment.vaddr < segment.filesz) {
            *offset = segment.offset + (rva - segment.vaddr);
            return true;
        }
    }
    return false;
}

bool DisassemblerElf::IsValidTargetRVA(uint32_t rva) const
{
    for (const auto &range : m_loadRanges)
        if (range.first <= rva && rva < range.second)
            return true;
    return false;
}

bool DisassemblerElf::MapsBackTo(uint32_t rva, uint64_t offset) const
{
    uint64_t mapped;
    return RVAToFileOffset(rva, &mapped) && mapped == offset;
}

uint64_t DisassemblerElf::RelocationCount(const ElfSectionHeader &section) const
{
    if (section.entsize == 0)
        return 0;
    return std::min(section.size / section.entsize, section.size / RelocationEntrySize());
}

bool DisassemblerElf::AddRel32(std::unique_ptr<TypedRVA> rva)
{
    try {
        m_rel32Locations.push_back(std::move(rva));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool DisassemblerElf::IsInProgbitsOrRel(uint64_t offset) const
{
    for (const ElfSectionHeader &section : m_sections) {
        if ((section.type == SHT_PROGBITS_TYPE || section.type == SHT_REL_TYPE) && offset >= section.offset &&
            offset - section.offset < section.size)
            return true;
    }
    return false;
}

bool DisassemblerElf::CollectAbs32Locations()
{
    m_abs32Locations.clear();
    for (const ElfSectionHeader &section : m_sections) {
        if (section.type != SHT_REL_TYPE)
            continue;
        if (!IsInside(section.offset, section.size))
            return false;
        const uint64_t count = RelocationCount(section);
        const uint8_t *entry = m_start + section.offset;
        for (uint64_t i = 0; i < count; ++i, entry += RelocationEntrySize()) {
            uint32_t rva;
            uint64_t offset;
            if (!AcceptRelocation(entry, &rva) || !RVAToFileOffset(rva, &offset) ||
                !IsInProgbitsOrRel(offset))
                continue;
            try {
                m_abs32Locations.push_back(rva);
            } catch (const std::bad_alloc &) {
                return false;
            }
        }
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerElf::ParseProgram(ParsedProgram *program)
{
    if (!Ready())
        return false;
    program->set_image_base(0);
    if (!CollectAbs32Locations())
        return false;

    m_rel32Locations.clear();
    for (const ElfSectionHeader &section : m_sections) {
        if (section.type != SHT_PROGBITS_TYPE)
            continue;
        if (!IsInside(section.offset, section.size) || !ScanSectionForRel32(section))
            return false;
    }
    // Stable, so that references at one RVA (sections sharing addresses) keep their table order.
    std::stable_sort(m_rel32Locations.begin(), m_rel32Locations.end(),
                     [](const std::unique_ptr<TypedRVA> &a, const std::unique_ptr<TypedRVA> &b) {
                         return a->rva() < b->rva();
                     });

    if (!EmitFile(program))
        return false;
    program->AssignLabelIndexes();
    return true;
}

bool DisassemblerElf::EmitFile(ParsedProgram *program)
{
    try {
        m_abs32Offsets.resize(m_abs32Locations.size());
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (size_t i = 0; i < m_abs32Locations.size(); ++i)
        if (!RVAToFileOffset(m_abs32Locations[i], &m_abs32Offsets[i]))
            return false;
    for (const auto &rel : m_rel32Locations) {
        uint64_t offset;
        if (!RVAToFileOffset(rel->rva(), &offset))
            return false;
        rel->set_file_offset(offset);
    }
    m_nextAbs32 = 0;
    m_nextRel32 = 0;
    program->ReserveLabels(m_abs32Locations.size(), m_rel32Locations.size());

    uint64_t cursor = 0;
    for (const ElfSectionHeader &section : m_sections) {
        if (cursor < section.offset) {
            // Bytes past the element are not part of it, even when a section header says so.
            const uint64_t gapEnd = std::min(section.offset, m_length);
            if (cursor < gapEnd && !program->AddBytesInsn(m_start + cursor, gapEnd - cursor))
                return false;
            cursor = section.offset;
        }
        const uint64_t sectionEnd = SaturatingAdd(section.offset, section.size);
        switch (section.type) {
        case SHT_PROGBITS_TYPE:
            if (!EmitProgbitsSection(section, program))
                return false;
            cursor = sectionEnd;
            break;
        case SHT_REL_TYPE:
            if (!IsInside(section.offset, section.size) || !EmitRelocationSection(section, program))
                return false;
            cursor = sectionEnd;
            break;
        case SHT_NOBITS_TYPE:
        case SHT_INIT_ARRAY_TYPE:
        case SHT_FINI_ARRAY_TYPE:
            while (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] >= section.offset &&
                   m_abs32Offsets[m_nextAbs32] < sectionEnd) {
                LogDebug("Skipping relocation entry for unsupported section: " +
                         std::to_string(section.type));
                ++m_nextAbs32;
            }
            break;
        default:
            if (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] >= section.offset &&
                m_abs32Offsets[m_nextAbs32] < sectionEnd)
                LogDebug("Relocation address in unrecognized ELF section: " + std::to_string(section.type));
            break;
        }
    }
    if (cursor < m_length && !program->AddBytesInsn(m_start + cursor, m_length - cursor))
        return false;
    return m_nextAbs32 == m_abs32Offsets.size();
}

bool DisassemblerElf::EmitProgbitsSection(const ElfSectionHeader &section, ParsedProgram *program)
{
    if (!IsInside(section.offset, section.size))
        return false;
    if (!program->AddOriginInsn(static_cast<uint32_t>(section.addr)))
        return false;
    const uint64_t end = section.offset + section.size;
    uint64_t position = section.offset;
    while (position < end) {
        if (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] < position)
            return false; // an absolute reference inside bytes already emitted
        while (m_nextRel32 < m_rel32Locations.size() &&
               m_rel32Locations[m_nextRel32]->file_offset() < position)
            ++m_nextRel32;

        uint64_t stop = end;
        if (m_nextAbs32 < m_abs32Offsets.size())
            stop = std::min(stop, m_abs32Offsets[m_nextAbs32]);
        if (m_nextRel32 < m_rel32Locations.size()) {
            const uint64_t r = m_rel32Locations[m_nextRel32]->file_offset();
            if (r + 4 <= stop) // a reference whose 4 bytes do not fit is left as bytes
                stop = r;
        }

        if (position < stop) {
            if (!program->AddBytesInsn(m_start + position, stop - position))
                return false;
            position = stop;
        } else if (m_nextAbs32 < m_abs32Offsets.size() && m_abs32Offsets[m_nextAbs32] == position) {
            if (!IsInside(position, 4))
                return false;
            if (!program->AddAbs32Ref(program->Abs32LabelAt(ReadLE32(m_start + position))))
                return false;
            position += 4;
            ++m_nextAbs32;
        } else {
            if (m_nextRel32 >= m_rel32Locations.size() ||
                m_rel32Locations[m_nextRel32]->file_offset() != position)
                return false; // cannot happen: stop is always the next reference here
            TypedRVA &rel = *m_rel32Locations[m_nextRel32];
            const uint32_t target = static_cast<uint32_t>(section.addr + (position - section.offset)) +
                                    static_cast<uint32_t>(rel.relative_target());
            if (!rel.EmitReference(program, target))
                return false;
            position += rel.ReferenceSize();
            ++m_nextRel32;
        }
    }
    return true;
}

} // namespace patcher
