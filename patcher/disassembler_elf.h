// The ELF parsers' common part: header checks, address translation, collecting the relocation
// targets and emitting the file section by section. The machine-specific parsers supply the
// relocation rules and the scan for relative references.
#pragma once

#include "patcher/disassembler.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace patcher {

enum : uint32_t {
    SHT_PROGBITS_TYPE = 1,
    SHT_NOBITS_TYPE = 8,
    SHT_REL_TYPE = 9,
    SHT_INIT_ARRAY_TYPE = 14,
    SHT_FINI_ARRAY_TYPE = 15,
    PT_LOAD_TYPE = 1,
};

// Section and program headers of either class, widened to 64 bits.
struct ElfSectionHeader {
    uint32_t type = 0;
    uint64_t addr = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entsize = 0;
};

struct ElfProgramHeader {
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t vaddr = 0;
    uint64_t filesz = 0;
    uint64_t memsz = 0;
};

class DisassemblerElf : public Disassembler {
public:
    // One relative reference found by a scan.
    class TypedRVA {
    public:
        explicit TypedRVA(uint32_t rva) : m_rva(rva) {}
        virtual ~TypedRVA();
        TypedRVA(const TypedRVA &) = delete;
        TypedRVA &operator=(const TypedRVA &) = delete;

        // Reads the reference at `insn` and sets the relative target (target - rva).
        virtual bool DecodeTarget(const uint8_t *insn) = 0;
        virtual bool EmitReference(ParsedProgram *program, uint32_t targetRva) = 0;
        virtual uint16_t ReferenceSize() const = 0;

        uint32_t rva() const { return m_rva; }
        int32_t relative_target() const { return m_relativeTarget; }
        uint64_t file_offset() const { return m_fileOffset; }
        void set_file_offset(uint64_t offset) { m_fileOffset = offset; }

    protected:
        void set_relative_target(int32_t target) { m_relativeTarget = target; }

    private:
        uint32_t m_rva;
        uint64_t m_fileOffset = 0;
        int32_t m_relativeTarget = 0;
    };

    bool CheckHeader() override;
    bool ParseProgram(ParsedProgram *program) override;

    const std::vector<ElfSectionHeader> &sections() const { return m_sections; }
    const std::vector<ElfProgramHeader> &segments() const { return m_segments; }
    // Index of the section-name section, or -1 when e_shstrndx selects none.
    int section_names_index() const { return m_sectionNamesIndex; }
    // Sorted RVAs of the absolute references (after ParseProgram).
    const std::vector<uint32_t> &abs32_locations() const { return m_abs32Locations; }
    // Relative references sorted by RVA (after ParseProgram).
    const std::vector<std::unique_ptr<TypedRVA>> &rel32_locations() const { return m_rel32Locations; }

protected:
    DisassemblerElf(const uint8_t *start, size_t length, bool is64);

    virtual uint16_t ExpectedMachine() const = 0;
    // Whether a relocation entry is one this parser regenerates; its RVA when it is.
    virtual bool AcceptRelocation(const uint8_t *entry, uint32_t *rva) const = 0;
    virtual bool EmitRelocationSection(const ElfSectionHeader &section, ParsedProgram *program) = 0;
    virtual bool ScanSectionForRel32(const ElfSectionHeader &section) = 0;

    // File offset of an RVA through the program headers.
    bool RVAToFileOffset(uint32_t rva, uint64_t *offset) const;
    // Whether an RVA lies in a PT_LOAD segment.
    bool IsValidTargetRVA(uint32_t rva) const;
    // Whether a reference found at file offset `offset` has an RVA that leads back there. Not so
    // in sections whose addresses are not where the program headers put them (debug sections
    // at address 0): such a reference would be emitted at another place, or have no place at all.
    bool MapsBackTo(uint32_t rva, uint64_t offset) const;
    // Entries of a relocation section that lie inside it (an entry size of 0 means none).
    uint64_t RelocationCount(const ElfSectionHeader &section) const;
    uint32_t RelocationEntrySize() const { return m_is64 ? 16 : 8; }
    // Keeps a reference the scan found; false when memory runs out.
    bool AddRel32(std::unique_ptr<TypedRVA> rva);
    // The scan of x86 and x86-64 code; `make` creates the reference object for an RVA.
    bool ScanX86Code(const ElfSectionHeader &section, bool x64,
                     std::unique_ptr<TypedRVA> (*make)(uint32_t rva));

    std::vector<uint32_t> m_abs32Locations;
    std::vector<std::unique_ptr<TypedRVA>> m_rel32Locations;

private:
    bool ReadHeaders();
    bool CollectAbs32Locations();
    bool EmitFile(ParsedProgram *program);
    bool EmitProgbitsSection(const ElfSectionHeader &section, ParsedProgram *program);
    bool IsInProgbitsOrRel(uint64_t offset) const;

    bool m_is64;
    std::vector<ElfSectionHeader> m_sections;
    std::vector<ElfProgramHeader> m_segments;
    std::vector<std::pair<uint64_t, uint64_t>> m_loadRanges; // [vaddr, vaddr + memsz) of PT_LOAD
    int m_sectionNamesIndex = -1;

    // Emission state: the references' file offsets and the cursors of the pending ones.
    std::vector<uint64_t> m_abs32Offsets;
    size_t m_nextAbs32 = 0;
    size_t m_nextRel32 = 0;
};

class DisassemblerElf32 : public DisassemblerElf {
protected:
    DisassemblerElf32(const uint8_t *start, size_t length) : DisassemblerElf(start, length, false) {}
};

class DisassemblerElf64 : public DisassemblerElf {
protected:
    DisassemblerElf64(const uint8_t *start, size_t length) : DisassemblerElf(start, length, true) {}
};

} // namespace patcher
