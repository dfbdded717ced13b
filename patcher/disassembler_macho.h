// Parser for thin Mach-O images of 32-bit x86 and x86-64. Mach-O relocations are not used, so
// the program has relative references only: those found by scanning the code sections.
#pragma once

#include "patcher/disassembler.h"

#include <cstdint>
#include <vector>

namespace patcher {

class DisassemblerMacho : public Disassembler {
public:
    struct Segment {
        uint64_t vmaddr = 0;
        uint32_t vmsize = 0;
        uint32_t fileoff = 0;
        uint32_t filesize = 0;
    };
    struct CodeSection {
        uint64_t addr = 0;
        uint32_t size = 0;
        uint32_t offset = 0;
    };

    DisassemblerMacho(const uint8_t *start, size_t length) : Disassembler(start, length) {}
    // EXE_MACHO_X86 or EXE_MACHO_X64 once the header check has seen the magic.
    ExecutableType GetKind() const override { return m_kind; }
    bool CheckHeader() override;
    bool ParseProgram(ParsedProgram *program) override;

    // Rebased to the lowest segment address after the header check.
    const std::vector<Segment> &segments() const { return m_segments; }
    // Sorted by file offset after the header check.
    const std::vector<CodeSection> &code_sections() const { return m_codeSections; }
    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }

    uint32_t FileOffsetToRVA(uint64_t offset) const;

private:
    bool ReadSegment32(const uint8_t *command, uint32_t commandSize);
    bool ReadSegment64(const uint8_t *command, uint32_t commandSize);
    bool AddSegment(uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff, uint64_t filesize);
    bool AddCodeSection(const Segment &segment, uint64_t addr, uint64_t size, uint32_t offset);
    bool IsValidTarget(uint32_t rva) const;
    bool ScanSection(const CodeSection &section);
    bool EmitRegion(const CodeSection &section, ParsedProgram *program);

    ExecutableType m_kind = EXE_UNKNOWN;
    std::vector<Segment> m_segments;
    std::vector<CodeSection> m_codeSections;
    uint64_t m_extent = 0;
    std::vector<uint32_t> m_rel32Locations;
};

} // namespace patcher
