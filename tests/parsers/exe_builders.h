// Small synthetic executables for the parser tests, laid out by hand so that each test controls
// the bytes it is about, plus a compact text form of a parsed program's instructions.
#pragma once

#include "patcher/parsed_program.h"

#include <cstdint>
#include <string>
#include <vector>

namespace exetest {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes *b, size_t at, uint16_t v);
void Put32(Bytes *b, size_t at, uint32_t v);
void Put64(Bytes *b, size_t at, uint64_t v);
Bytes ReadFixture(const std::string &name);

// ELF: one PT_LOAD maps the whole file at `loadAddress`; sections follow the program headers,
// 4-byte aligned, each at address loadAddress + file offset; the section table comes last.
struct ElfSectionLayout {
    uint32_t type = 1; // SHT_PROGBITS
    Bytes data;
    uint32_t entsize = 0;
    uint32_t size = 0; // 0: the data's size (SHT_NOBITS sections need it set)
};

struct ElfLayout {
    bool is64 = false;
    uint16_t machine = 3;
    uint16_t type = 2; // ET_EXEC
    uint32_t loadAddress = 0x10000;
    uint32_t loadMemSize = 0; // 0: the file's size
    std::vector<ElfSectionLayout> sections;
};

struct ElfImage {
    Bytes bytes;
    std::vector<uint32_t> offsets; // of each section, in layout order
    uint32_t address(size_t section) const;
    uint32_t loadAddress = 0;
};

ElfImage BuildElf(const ElfLayout &layout);

// PE: DOS header, PE header at e_lfanew, optional header with 16 data directories, then the
// section table; raw data at 0x200 steps. The base relocation directory points at the section
// named ".reloc" when there is one.
struct PeSectionLayout {
    std::string name;
    uint32_t virtualAddress = 0;
    Bytes data;
    uint32_t virtualSize = 0; // 0: the data's size
};

struct PeLayout {
    bool plus = false;
    uint32_t peOffset = 0x80;
    uint64_t imageBase = 0x400000;
    uint32_t sizeOfImage = 0x10000;
    std::vector<PeSectionLayout> sections;
};

struct PeImage {
    Bytes bytes;
    std::vector<uint32_t> rawOffsets;
    size_t optionalHeader = 0; // file offset of the optional header
};

PeImage BuildPe(const PeLayout &layout);

// One base relocation block: entries (type << 12) | offset in the given order, and a 0 entry
// after an odd count.
Bytes PeRelocBlock(uint32_t page, const std::vector<uint16_t> &entries);

// Mach-O: header, then one segment command per segment; segments with sections carry their
// bytes at the given file offsets.
struct MachoSectionLayout {
    std::string name;
    uint32_t flags = 0x80000400; // pure instructions, some instructions
    uint64_t addr = 0;
    uint32_t offset = 0;
    Bytes data;
};

struct MachoSegmentLayout {
    uint64_t vmaddr = 0;
    uint64_t vmsize = 0;
    uint32_t fileoff = 0;
    uint32_t filesize = 0;
    std::vector<MachoSectionLayout> sections;
    bool as64 = true; // LC_SEGMENT_64 or LC_SEGMENT
};

struct MachoLayout {
    bool is64 = true;
    uint32_t cputype = 0; // 0: the right one for the width
    uint32_t filetype = 2;
    uint32_t fileSize = 0x2000;
    std::vector<MachoSegmentLayout> segments;
};

Bytes BuildMacho(const MachoLayout &layout);

// "ORIGIN(1000) BYTES(5) REL32(1020) BYTE(90) ..." with label RVAs in hex; runs of INSN_BYTE
// instructions are shown as one "BYTE*n".
std::string Describe(const patcher::ParsedProgram &program);

} // namespace exetest
