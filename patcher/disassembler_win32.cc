#include "patcher/disassembler_win32.h"

#include "patcher/logging.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace patcher {

namespace {

const uint16_t kMagicPe32 = 0x10B;
const uint16_t kMagicPe32Plus = 0x20B;
const uint32_t kSectionHeaderSize = 40;
const int kDirectoriesRead[] = {0, 1, 2, 3, 5, 11, 12, 13, 14};

} // namespace

DisassemblerWin32::DisassemblerWin32(const uint8_t *start, size_t length, bool x64)
    : Disassembler(start, length), m_x64(x64)
{
}

bool DisassemblerWin32::IsText(const PeSection &section)
{
    return std::memcmp(section.name, ".text", 6) == 0;
}

bool DisassemblerWin32::CheckHeader()
{
    if (m_length < 64)
        return Bad("Too small");
    if (m_start[0] != 'M' || m_start[1] != 'Z')
        return Bad("Not MZ");
    const uint64_t peOffset = ReadLE32(m_start + 60);
    if (peOffset >= m_length || peOffset == 0 || peOffset + 24 >= m_length)
        return Bad("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return Bad("Misaligned PE header");
    if (std::memcmp(m_start + peOffset, "PE\0\0", 4) != 0)
        return Bad("no PE signature");

    const uint8_t *coff = m_start + peOffset + 4;
    m_machine = ReadLE16(coff);
    m_numberOfSections = ReadLE16(coff + 2);
    m_sizeOfOptionalHeader = ReadLE16(coff + 16);
    const uint64_t optOffset = peOffset + 24;
    const uint64_t optEnd = optOffset + m_sizeOfOptionalHeader;
    if (optEnd >= m_length)
        return Bad("optional header past end of file");
    if (m_sizeOfOptionalHeader < 2)
        return Bad("optional header no magic");
    const uint8_t *opt = m_start + optOffset;
    m_magic = ReadLE16(opt);
    if (m_magic != kMagicPe32 && m_magic != kMagicPe32Plus)
        return Bad("unrecognized magic");
    const bool plus = m_magic == kMagicPe32Plus;
    const uint32_t directoriesAt = plus ? 112 : 96;
    if (m_sizeOfOptionalHeader < directoriesAt)
        return Bad("optional header too short");

    m_sizeOfCode = ReadLE32(opt + 4);
    m_sizeOfInitializedData = ReadLE32(opt + 8);
    m_sizeOfUninitializedData = ReadLE32(opt + 12);
    m_baseOfCode = ReadLE32(opt + 20);
    m_baseOfData = plus ? 0 : ReadLE32(opt + 24);
    m_imageBase = plus ? ReadLE64(opt + 24) : ReadLE32(opt + 28);
    m_sizeOfImage = ReadLE32(opt + 56);
    m_numberOfRvaAndSizes = ReadLE32(opt + (plus ? 108 : 92));

    for (int index : kDirectoriesRead) {
        m_dataDirectories[index] = PeDataDirectory();
        if (static_cast<uint32_t>(index) >= m_numberOfRvaAndSizes)
            continue;
        const uint64_t entry = optOffset + directoriesAt + 8 * index;
        // The entry must start inside the optional header, lie inside the file and not be
        // larger than the image.
        if (entry >= optEnd || !IsInside(entry, 8) || ReadLE32(m_start + entry + 4) > m_sizeOfImage)
            return Bad("malformed data directory");
        m_dataDirectories[index].rva = ReadLE32(m_start + entry);
        m_dataDirectories[index].size = ReadLE32(m_start + entry + 4);
    }

    if (!IsInside(optEnd, uint64_t(m_numberOfSections) * kSectionHeaderSize))
        return Bad("section table outside image");
    m_sectionTable = m_start + optEnd;
    try {
        m_sections.resize(m_numberOfSections);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
    uint64_t extent = 0;
    for (uint16_t i = 0; i < m_numberOfSections; ++i) {
        const uint8_t *s = m_sectionTable + i * kSectionHeaderSize;
        PeSection &section = m_sections[i];
        std::memcpy(section.name, s, 8);
        section.virtual_size = ReadLE32(s + 8);
        section.virtual_address = ReadLE32(s + 12);
        section.size_of_raw_data = ReadLE32(s + 16);
        section.pointer_to_raw_data = ReadLE32(s + 20);
        if (IsText(section))
            m_hasText = true;
        extent = std::max(extent, uint64_t(section.pointer_to_raw_data) + section.size_of_raw_data);
    }
    ShrinkLength(extent);

    if (plus != m_x64)
        return Bad(m_x64 ? "32 bit executables are not supported by this disassembler"
                         : "64 bit executables are not supported by this disassembler");
    if (!m_hasText)
        return Bad("Resource-only executables are not yet supported");
    return Good();
}

uint32_t DisassemblerWin32::FileOffsetToRVA(uint64_t offset) const
{
    for (const PeSection &section : m_sections) {
        if (offset >= section.pointer_to_raw_data &&
            offset - section.pointer_to_raw_data < section.size_of_raw_data)
            return static_cast<uint32_t>(offset - section.pointer_to_raw_data + section.virtual_address);
    }
    return 0;
}

bool DisassemblerWin32::RVAToFileOffset(uint32_t rva, uint64_t *offset) const
{
    for (const PeSection &section : m_sections) {
        if (rva >= section.virtual_address && rva - section.virtual_address < section.virtual_size) {
            const uint32_t delta = rva - section.virtual_address;
            if (delta >= section.size_of_raw_data)
                return false;
            *offset = uint64_t(section.pointer_to_raw_data) + delta;
            return true;
        }
    }
    // The headers before the first section.
    if (rva == 0 || rva == 2) {
        *offset = rva;
        return true;
    }
    LogError("REACHED UNREACHABLE");
    return false;
}

std::vector<const PeSection *> DisassemblerWin32::SectionsInFileOrder() const
{
    std::vector<const PeSection *> sorted;
    std::vector<const PeSection *> order;
    try {
        for (const PeSection &section : m_sections)
            if (section.size_of_raw_data != 0)
                sorted.push_back(&section);
        // Stable: on equal offsets the first in table order wins.
        std::stable_sort(sorted.begin(), sorted.end(), [](const PeSection *a, const PeSection *b) {
            return a->pointer_to_raw_data < b->pointer_to_raw_data;
        });
        uint64_t cursor = 0;
        for (const PeSection *section : sorted) {
            if (cursor >= m_length)
                break;
            if (section->pointer_to_raw_data < cursor)
                continue;
            order.push_back(section);
            cursor = std::max(cursor, uint64_t(section->pointer_to_raw_data)) + section->size_of_raw_data;
        }
    } catch (const std::bad_alloc &) {
        order.clear();
    }
    return order;
}

bool DisassemblerWin32::ParseRelocs()
{
    m_abs32Locations.clear();
    const PeDataDirectory &table = m_dataDirectories[kBaseRelocationTable];
    if (table.size == 0)
        return true;
    uint64_t offset;
    if (!RVAToFileOffset(table.rva, &offset) || !IsInside(offset, table.size))
        return Bad(".relocs outside image");
    const uint32_t acceptedType = m_x64 ? 10 : 3;
    if (table.size > 8) {
        const uint64_t tableEnd = offset + table.size;
        uint64_t block = offset;
        while (block + 8 < tableEnd) {
            const uint32_t page = ReadLE32(m_start + block);
            const uint32_t blockSize = ReadLE32(m_start + block + 4);
            if (blockSize < 8 || blockSize % 4 != 0)
                return Bad("unreasonable relocs block");
            if (!IsInside(block, blockSize))
                return Bad(".relocs block outside image");
            for (uint64_t e = block + 8; e < block + blockSize; e += 2) {
                const uint16_t entry = ReadLE16(m_start + e);
                const int type = entry >> 12;
                if (type == 0)
                    continue;
                if (type != static_cast<int>(acceptedType))
                    return Bad("unknown type of reloc");
                try {
                    m_abs32Locations.push_back(page + (entry & 0xFFF));
                } catch (const std::bad_alloc &) {
                    return Bad("out of memory");
                }
            }
            block += blockSize;
        }
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerWin32::ScanText(const PeSection &section)
{
    const PeDataDirectory &relocs = m_dataDirectories[kBaseRelocationTable];
    const uint32_t sectionRva = FileOffsetToRVA(section.pointer_to_raw_data);
    const uint64_t sectionEndRva = uint64_t(sectionRva) + section.virtual_size;
    // Raw data past the end of the element is not scanned.
    const uint64_t rawEnd =
        std::min<uint64_t>(uint64_t(section.pointer_to_raw_data) + section.size_of_raw_data, m_length);
    if (section.pointer_to_raw_data >= rawEnd)
        return true;
    const uint8_t *start = m_start + section.pointer_to_raw_data;
    const uint8_t *end = m_start + rawEnd;
    size_t nextAbs = 0;
    const uint8_t *p = start;
    while (p < end) {
        const uint32_t rva = sectionRva + static_cast<uint32_t>(p - start);
        if (relocs.size != 0 && rva == relocs.rva) {
            if (static_cast<uint64_t>(end - p) <= relocs.size)
                break;
            p += relocs.size;
            continue;
        }
        const Rel32Candidate candidate = FindRel32Candidate(p, end, m_x64);
        if (candidate.offset == 0) {
            ++p;
            continue;
        }
        const uint32_t m = rva + candidate.offset;
        while (nextAbs < m_abs32Locations.size() && int64_t(m_abs32Locations[nextAbs]) < int64_t(m) - 3)
            ++nextAbs;
        if (nextAbs < m_abs32Locations.size() && uint64_t(m_abs32Locations[nextAbs]) < uint64_t(m) + 4) {
            // The operand overlaps an absolute reference: not an instruction boundary.
            p = start + (int64_t(m_abs32Locations[nextAbs]) + 4 - sectionRva);
            continue;
        }
        const uint32_t target = m + 4 + ReadLE32(p + candidate.offset);
        const bool inSection = target >= sectionRva && target < sectionEndRva;
        if (target < m_sizeOfImage && (candidate.data || inSection)) {
            try {
                m_rel32Locations.push_back(m);
            } catch (const std::bad_alloc &) {
                return false;
            }
            p += candidate.offset + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerWin32::FindRel32References()
{
    m_rel32Locations.clear();
    for (const PeSection *section : SectionsInFileOrder())
        if (IsText(*section) && !ScanText(*section))
            return false;
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
    return true;
}

bool DisassemblerWin32::EmitRegion(const PeSection &section, ParsedProgram *program)
{
    const PeDataDirectory &relocs = m_dataDirectories[kBaseRelocationTable];
    RegionReferences refs;
    refs.abs32 = &m_abs32Locations;
    refs.rel32 = &m_rel32Locations;
    refs.imageBase = static_cast<uint32_t>(m_imageBase);
    refs.hasRelocTable = true;
    refs.relocRva = relocs.rva;
    refs.relocSize = relocs.size;
    const uint64_t begin = section.pointer_to_raw_data;
    const uint64_t end = std::min<uint64_t>(begin + section.size_of_raw_data, m_length);
    return EmitByteRegion(program, m_start, begin, end, FileOffsetToRVA(begin), refs);
}

bool DisassemblerWin32::EmitFile(ParsedProgram *program)
{
    program->ReserveLabels(m_abs32Locations.size(), m_rel32Locations.size());
    uint64_t cursor = 0;
    for (const PeSection *section : SectionsInFileOrder()) {
        const uint64_t gapEnd = std::min<uint64_t>(section->pointer_to_raw_data, m_length);
        if (cursor < gapEnd && !program->AddBytesInsn(m_start + cursor, gapEnd - cursor))
            return false;
        if (!EmitRegion(*section, program))
            return false;
        cursor = std::max<uint64_t>(cursor, section->pointer_to_raw_data) + section->size_of_raw_data;
    }
    return true;
}

bool DisassemblerWin32::ParseProgram(ParsedProgram *program)
{
    if (!Ready())
        return false;
    program->set_image_base(m_x64 ? m_imageBase : static_cast<uint32_t>(m_imageBase));
    if (!ParseRelocs() || !FindRel32References() || !EmitFile(program))
        return false;
    program->AssignLabelIndexes();
    return true;
}

} // namespace patcher
