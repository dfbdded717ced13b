#include "patcher/disassembler_macho.h"

#include <algorithm>
#include <new>

namespace patcher {

namespace {

const uint32_t kMagic32 = 0xFEEDFACE;
const uint32_t kMagic64 = 0xFEEDFACF;
const uint32_t kCpuX86 = 7;
const uint32_t kCpuX64 = 0x01000007;
const uint32_t kLcSegment = 1;
const uint32_t kLcSegment64 = 25;
const uint32_t kSegment32Size = 56;
const uint32_t kSection32Size = 68;
const uint32_t kSegment64Size = 72;
const uint32_t kSection64Size = 80;
const uint64_t k4G = uint64_t(1) << 32;

// A regular section made only of instructions.
bool IsCodeSection(uint32_t flags)
{
    return (flags & 0x800000FF) == 0x80000000;
}

} // namespace

bool DisassemblerMacho::CheckHeader()
{
    if (m_length < 32)
        return Bad("Too small");
    const uint32_t magic = ReadLE32(m_start);
    const uint32_t cpuType = ReadLE32(m_start + 4);
    uint32_t headerSize;
    if (magic == kMagic64) {
        if (cpuType != kCpuX64)
            return Bad("unsupported cpu type");
        m_kind = EXE_MACHO_X64;
        headerSize = 32;
    } else if (magic == kMagic32) {
        if (cpuType != kCpuX86)
            return Bad("unsupported cpu type");
        m_kind = EXE_MACHO_X86;
        headerSize = 28;
    } else {
        return Bad("Unknown magic type");
    }
    const uint32_t fileType = ReadLE32(m_start + 12);
    if (fileType != 2 && fileType != 5 && fileType != 6 && fileType != 8)
        return Bad("Unsupported filetype in header");

    const uint32_t commandCount = ReadLE32(m_start + 16);
    uint64_t position = headerSize;
    for (uint32_t i = 0; i < commandCount; ++i) {
        if (!IsInside(position, 8))
            return Bad("file to small in load commands");
        const uint32_t command = ReadLE32(m_start + position);
        const uint32_t commandSize = ReadLE32(m_start + position + 4);
        if (!IsInside(position, commandSize))
            return Bad("file to small in load commands");
        // A command shorter than its own header would never move the walk forward.
        if (commandSize < 8)
            return Bad("bad load command size");
        if (command == kLcSegment) {
            if (m_kind != EXE_MACHO_X86)
                return Bad("LC_SEGMENT not supported");
            if (!ReadSegment32(m_start + position, commandSize))
                return false;
        } else if (command == kLcSegment64) {
            if (m_kind != EXE_MACHO_X64)
                return Bad("LC_SEGMENT_64 not supported");
            if (!ReadSegment64(m_start + position, commandSize))
                return false;
        }
        position += commandSize;
    }

    if (!m_segments.empty()) {
        uint64_t base = m_segments[0].vmaddr;
        for (const Segment &segment : m_segments)
            base = std::min(base, segment.vmaddr);
        for (Segment &segment : m_segments) {
            segment.vmaddr -= base;
            if (segment.vmaddr + segment.vmsize > 0xFFFFFFFFu)
                return Bad("overflow");
        }
        for (CodeSection &section : m_codeSections)
            section.addr -= base;
    }
    if (m_codeSections.empty())
        return Bad("Resource-only executables are not yet supported");
    std::stable_sort(m_codeSections.begin(), m_codeSections.end(),
                     [](const CodeSection &a, const CodeSection &b) { return a.offset < b.offset; });
    ShrinkLength(m_extent);
    // Code is read from the file: it must lie inside what the segments describe.
    for (const CodeSection &section : m_codeSections)
        if (!IsInside(section.offset, section.size))
            return Bad("section outside file");
    return Good();
}

bool DisassemblerMacho::AddSegment(uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff, uint64_t filesize)
{
    Segment segment;
    segment.vmaddr = vmaddr;
    segment.vmsize = static_cast<uint32_t>(vmsize);
    segment.fileoff = static_cast<uint32_t>(fileoff);
    segment.filesize = static_cast<uint32_t>(filesize);
    try {
        m_segments.push_back(segment);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
    m_extent = std::max(m_extent, fileoff + filesize);
    if (fileoff + filesize > m_length)
        return Bad("segment too large");
    return true;
}

bool DisassemblerMacho::AddCodeSection(const Segment &segment, uint64_t addr, uint64_t size, uint32_t offset)
{
    if (addr < segment.vmaddr || addr - segment.vmaddr + size > segment.vmsize)
        return Bad("section larger than segment");
    CodeSection section;
    section.addr = addr;
    section.size = static_cast<uint32_t>(size);
    section.offset = offset;
    try {
        m_codeSections.push_back(section);
    } catch (const std::bad_alloc &) {
        return Bad("out of memory");
    }
    return true;
}

bool DisassemblerMacho::ReadSegment32(const uint8_t *command, uint32_t commandSize)
{
    if (commandSize < kSegment32Size)
        return Bad("bad LC_SEGMENT");
    if (!AddSegment(ReadLE32(command + 24), ReadLE32(command + 28), ReadLE32(command + 32),
                    ReadLE32(command + 36)))
        return false;
    const Segment segment = m_segments.back();
    const uint32_t sectionCount = ReadLE32(command + 48);
    if (commandSize < kSegment32Size + uint64_t(kSection32Size) * sectionCount)
        return Bad("sections too small");
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const uint8_t *s = command + kSegment32Size + j * kSection32Size;
        if (IsCodeSection(ReadLE32(s + 56)) &&
            !AddCodeSection(segment, ReadLE32(s + 32), ReadLE32(s + 36), ReadLE32(s + 40)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::ReadSegment64(const uint8_t *command, uint32_t commandSize)
{
    if (commandSize < kSegment64Size)
        return Bad("bad LC_SEGMENT_64");
    const uint32_t sectionCount = ReadLE32(command + 64);
    if (sectionCount == 0)
        return true; // such as __PAGEZERO: no code, and not part of the image's base
    const uint64_t vmsize = ReadLE64(command + 32);
    const uint64_t fileoff = ReadLE64(command + 40);
    const uint64_t filesize = ReadLE64(command + 48);
    if (vmsize >= k4G || fileoff >= k4G || filesize >= k4G)
        return Bad("overflow");
    if (!AddSegment(ReadLE64(command + 24), vmsize, fileoff, filesize))
        return false;
    const Segment segment = m_segments.back();
    if (commandSize < kSegment64Size + uint64_t(kSection64Size) * sectionCount)
        return Bad("sections too small");
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const uint8_t *s = command + kSegment64Size + uint64_t(j) * kSection64Size;
        if (!IsCodeSection(ReadLE32(s + 64)))
            continue;
        const uint64_t size = ReadLE64(s + 40);
        if (size >= k4G)
            return Bad("overflow");
        if (!AddCodeSection(segment, ReadLE64(s + 32), size, ReadLE32(s + 48)))
            return false;
    }
    return true;
}

uint32_t DisassemblerMacho::FileOffsetToRVA(uint64_t offset) const
{
    for (const Segment &segment : m_segments)
        if (offset >= segment.fileoff && offset - segment.fileoff < segment.filesize)
            return static_cast<uint32_t>(offset - segment.fileoff + segment.vmaddr);
    return 0;
}

bool DisassemblerMacho::IsValidTarget(uint32_t rva) const
{
    for (const Segment &segment : m_segments)
        if (rva >= segment.vmaddr && rva - segment.vmaddr < segment.vmsize)
            return true;
    return false;
}

bool DisassemblerMacho::ScanSection(const CodeSection &section)
{
    const uint32_t sectionRva = FileOffsetToRVA(section.offset);
    const uint8_t *start = m_start + section.offset;
    return ScanForRel32(start, start + section.size, m_kind == EXE_MACHO_X64,
                        [&](const uint8_t *reference, const Rel32Candidate &) {
                            const uint32_t rva = sectionRva + static_cast<uint32_t>(reference - start);
                            if (!IsValidTarget(rva + 4 + ReadLE32(reference)))
                                return SCAN_REJECT;
                            try {
                                m_rel32Locations.push_back(rva);
                            } catch (const std::bad_alloc &) {
                                return SCAN_FAIL;
                            }
                            return SCAN_ACCEPT;
                        });
}

bool DisassemblerMacho::EmitRegion(const CodeSection &section, ParsedProgram *program)
{
    RegionReferences refs;
    refs.rel32 = &m_rel32Locations;
    return EmitByteRegion(program, m_start, section.offset, uint64_t(section.offset) + section.size,
                          FileOffsetToRVA(section.offset), refs);
}

bool DisassemblerMacho::ParseProgram(ParsedProgram *program)
{
    if (!Ready())
        return false;
    program->set_image_base(0);
    m_rel32Locations.clear();
    for (const CodeSection &section : m_codeSections)
        if (!ScanSection(section))
            return false;
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());

    program->ReserveLabels(0, m_rel32Locations.size());
    uint64_t cursor = 0;
    size_t next = 0;
    while (cursor < m_length) {
        // Each section is visited once, so an empty one cannot stall the walk.
        while (next < m_codeSections.size() && m_codeSections[next].offset < cursor)
            ++next;
        if (next == m_codeSections.size()) {
            // Running out of memory here still fails: the program would lack the file's tail.
            if (!program->AddBytesInsn(m_start + cursor, m_length - cursor))
                return false;
            break;
        }
        const CodeSection &section = m_codeSections[next++];
        if (cursor < section.offset && !program->AddBytesInsn(m_start + cursor, section.offset - cursor))
            return false;
        if (!EmitRegion(section, program))
            return false;
        cursor = uint64_t(section.offset) + section.size;
    }
    program->AssignLabelIndexes();
    return true;
}

} // namespace patcher
