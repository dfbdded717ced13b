// Parsers for Windows PE images: PE32 (x86) and PE32+ (x86-64). Absolute references come from
// the base relocation table, relative ones from a scan of the ".text" section.
#pragma once

#include "patcher/disassembler.h"

#include <cstdint>
#include <vector>

namespace patcher {

struct PeDataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct PeSection {
    uint8_t name[8] = {};
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t size_of_raw_data = 0;
    uint32_t pointer_to_raw_data = 0;
};

class DisassemblerWin32 : public Disassembler {
public:
    enum DataDirectoryIndex {
        kExportTable = 0,
        kImportTable = 1,
        kResourceTable = 2,
        kExceptionTable = 3,
        kBaseRelocationTable = 5,
        kBoundImport = 11,
        kImportAddressTable = 12,
        kDelayImport = 13,
        kClrHeader = 14,
    };

    bool CheckHeader() override;
    bool ParseProgram(ParsedProgram *program) override;

    uint64_t image_base() const { return m_imageBase; }
    uint32_t size_of_image() const { return m_sizeOfImage; }
    const PeDataDirectory &data_directory(int index) const { return m_dataDirectories[index]; }
    const std::vector<PeSection> &sections() const { return m_sections; }
    const std::vector<uint32_t> &abs32_locations() const { return m_abs32Locations; }
    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }

    // The RVA of a file offset (0 when no section holds it).
    uint32_t FileOffsetToRVA(uint64_t offset) const;
    // The file offset of an RVA; false when it has none.
    bool RVAToFileOffset(uint32_t rva, uint64_t *offset) const;

protected:
    DisassemblerWin32(const uint8_t *start, size_t length, bool x64);

private:
    bool ParseRelocs();
    bool FindRel32References();
    bool ScanText(const PeSection &section);
    bool EmitFile(ParsedProgram *program);
    bool EmitRegion(const PeSection &section, ParsedProgram *program);
    // Sections with raw data in file order, each starting at or after the end of the one before.
    std::vector<const PeSection *> SectionsInFileOrder() const;
    static bool IsText(const PeSection &section);

    const bool m_x64;
    uint16_t m_machine = 0;
    uint16_t m_numberOfSections = 0;
    uint16_t m_sizeOfOptionalHeader = 0;
    uint16_t m_magic = 0;
    uint32_t m_sizeOfCode = 0;
    uint32_t m_sizeOfInitializedData = 0;
    uint32_t m_sizeOfUninitializedData = 0;
    uint32_t m_baseOfCode = 0;
    uint32_t m_baseOfData = 0;
    uint64_t m_imageBase = 0;
    uint32_t m_sizeOfImage = 0;
    uint32_t m_numberOfRvaAndSizes = 0;
    PeDataDirectory m_dataDirectories[15];
    const uint8_t *m_sectionTable = nullptr;
    bool m_hasText = false;
    std::vector<PeSection> m_sections;

    std::vector<uint32_t> m_abs32Locations;
    std::vector<uint32_t> m_rel32Locations;
};

class DisassemblerWin32X86 : public DisassemblerWin32 {
public:
    DisassemblerWin32X86(const uint8_t *start, size_t length) : DisassemblerWin32(start, length, false) {}
    ExecutableType GetKind() const override { return EXE_WIN_32_X86; }
};

class DisassemblerWin32X64 : public DisassemblerWin32 {
public:
    DisassemblerWin32X64(const uint8_t *start, size_t length) : DisassemblerWin32(start, length, true) {}
    ExecutableType GetKind() const override { return EXE_WIN_32_X64; }
};

} // namespace patcher
