// ELF parsers: header checks, the relocation and branch scans, and the fixture programs.
#include "parse_helpers.h"
#include "patcher/disassembler_elf_arm.h"
#include "patcher/disassembler_elf_x86.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using namespace exetest;
using patcher::DisassemblerElf32ARM;
using patcher::DisassemblerElf32X86;
using patcher::DisassemblerElf64X64;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const uint32_t kRel = 9;      // SHT_REL
const uint32_t kNobits = 8;   // SHT_NOBITS
const uint32_t kProgbits = 1; // SHT_PROGBITS

Bytes Rel32Entries(const std::vector<std::pair<uint32_t, uint32_t>> &entries)
{
    Bytes b;
    for (size_t i = 0; i < entries.size(); ++i) {
        Put32(&b, 8 * i, entries[i].first);
        Put32(&b, 8 * i + 4, entries[i].second);
    }
    return b;
}

ElfLayout X86Layout(std::vector<ElfSectionLayout> sections)
{
    ElfLayout layout;
    layout.sections = std::move(sections);
    return layout;
}

// A valid little ELF32 x86 executable with one code section.
Bytes SmallElf32()
{
    return BuildElf(X86Layout({{kProgbits, Bytes(16, 0x90)}})).bytes;
}

} // namespace

TEST(ElfHeader, FailureTextsInCheckOrder)
{
    struct Case {
        const char *what;
        std::function<void(Bytes *)> mutate;
        const char *reason;
    };
    const size_t shoff = 32, phoff = 28, shnum = 48, phnum = 44, shentsize = 46;
    auto read32 = [](const Bytes &b, size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24;
    };
    const std::vector<Case> cases = {
        {"51 bytes", [](Bytes *b) { b->resize(51); }, "Too small"},
        {"bad magic", [](Bytes *b) { (*b)[1] = 'e'; }, "No Magic Number"},
        {"relocatable object", [](Bytes *b) { Put16(b, 16, 1); }, "Not an executable file or shared library"},
        {"core file", [](Bytes *b) { Put16(b, 16, 4); }, "Not an executable file or shared library"},
        {"ARM machine", [](Bytes *b) { Put16(b, 18, 40); }, "Not a supported architecture"},
        {"version 2", [](Bytes *b) { Put32(b, 20, 2); }, "Unknown file version"},
        {"64-byte section entries", [](Bytes *b) { Put16(b, shentsize, 64); },
         "Unexpected section header size"},
        {"section table at the end", [](Bytes *b) { Put32(b, shoff, static_cast<uint32_t>(b->size())); },
         "Out of bounds section header table offset"},
        {"one section too many", [=](Bytes *b) { Put16(b, shnum, static_cast<uint16_t>((*b)[shnum] + 1)); },
         "Out of bounds section header table"},
        {"section table cut short by one byte", [](Bytes *b) { b->pop_back(); },
         "Out of bounds section header table"},
        {"program headers at the end", [](Bytes *b) { Put32(b, phoff, static_cast<uint32_t>(b->size())); },
         "Out of bounds program header table offset"},
        {"program headers past the end",
         [=](Bytes *b) { Put16(b, phnum, static_cast<uint16_t>((b->size() - read32(*b, phoff)) / 32 + 1)); },
         "Out of bounds program header table"},
    };
    for (const Case &c : cases) {
        Bytes b = SmallElf32();
        c.mutate(&b);
        ParseResult r = Parse<DisassemblerElf32X86>(b);
        EXPECT_FALSE(r.headerOk) << c.what;
        EXPECT_EQ(r.reason, c.reason) << c.what;
    }
}

TEST(ElfHeader, AcceptsExecutablesAndSharedObjectsAndShrinksToTheDescribedExtent)
{
    for (uint16_t type : {2, 3}) {
        ElfLayout layout = X86Layout({{kProgbits, Bytes(16, 0x90)}});
        layout.type = type;
        Bytes b = BuildElf(layout).bytes;
        const size_t described = b.size(); // the section table ends exactly at the end
        b.resize(b.size() + 100, 0xCC);    // bytes no header describes
        ParseResult r = Parse<DisassemblerElf32X86>(b);
        EXPECT_TRUE(r.headerOk) << type;
        EXPECT_EQ(r.reason, "");
        EXPECT_EQ(r.length, described);
    }
}

TEST(ElfHeader, Elf64UsesItsOwnSizes)
{
    ElfLayout layout;
    layout.is64 = true;
    layout.machine = 62;
    layout.sections = {{kProgbits, Bytes(8, 0x90)}};
    Bytes b = BuildElf(layout).bytes;
    EXPECT_TRUE(Parse<DisassemblerElf64X64>(b).headerOk);
    Bytes small(b.begin(), b.begin() + 63);
    EXPECT_EQ(Parse<DisassemblerElf64X64>(small).reason, "Too small");
    Put16(&b, 58, 40);
    EXPECT_EQ(Parse<DisassemblerElf64X64>(b).reason, "Unexpected section header size");
    // An ELF64 file is not for the 32-bit x86 parser, and the other way round.
    EXPECT_EQ(Parse<DisassemblerElf32X86>(b).reason, "Not a supported architecture");
    EXPECT_EQ(Parse<DisassemblerElf64X64>(SmallElf32()).reason, "Not a supported architecture");
}

TEST(ElfHeader, SectionNameIndexOutOfRangeIsNotUsed)
{
    Bytes b = SmallElf32();
    Put16(&b, 50, 0xFFF0);
    patcher::DisassemblerElf32X86 parser(b.data(), b.size());
    ASSERT_TRUE(parser.CheckHeader());
    EXPECT_EQ(parser.section_names_index(), -1);
    patcher::ParsedProgram program;
    EXPECT_TRUE(parser.ParseProgram(&program));
}

TEST(ElfX86Scan, CandidateFormsAndTheirLimits)
{
    // Each case is one code section; the load segment covers the whole file at 0x10000 and the
    // code starts at file offset 0x54.
    struct Case {
        const char *what;
        Bytes code;
        std::vector<uint32_t> rel32;
    };
    const std::vector<Case> cases = {
        {"call", {0xE8, 0x10, 0, 0, 0, 0x90}, {0x10055 + 4 + 0x10}},
        {"jump backwards", {0x90, 0x90, 0xE9, 0xF9, 0xFF, 0xFF, 0xFF}, {0x10057 + 4 - 7}},
        {"E8 in the last four bytes", {0x90, 0xE8, 0, 0, 0}, {}},
        {"E8 in the last five bytes", {0x90, 0xE8, 0, 0, 0, 0}, {0x1005A}},
        {"0F 84", {0x0F, 0x84, 0, 0, 0, 0}, {0x1005A}},
        {"0F 8A", {0x0F, 0x8A, 0, 0, 0, 0}, {}},
        {"0F 8B", {0x0F, 0x8B, 0, 0, 0, 0}, {}},
        {"0F 8F in the last five bytes", {0x0F, 0x8F, 0, 0, 0}, {}},
        {"target outside the load segment", {0xE8, 0, 0, 0, 0x10}, {}},
        {"target just outside the load segment", {0xE8, 0xA7, 0xFF, 0x0F, 0}, {}},
        {"last target inside the load segment", {0xE8, 0xA6, 0xFF, 0x0F, 0}, {0x10FFFF}},
        // The operand of the first call starts with E8, which would be a call to 0x1005A: after
        // a reference the scan goes on behind its 4 bytes.
        {"call inside an operand", {0xE8, 0xE8, 0, 0, 0, 0, 0}, {0x10055 + 4 + 0xE8}},
        // x86 has no RIP-relative forms.
        {"48 8D 05", {0x48, 0x8D, 0x05, 0, 0, 0, 0}, {}},
    };
    for (const Case &c : cases) {
        ElfLayout layout = X86Layout({{kProgbits, c.code}});
        layout.loadMemSize = 0x100000; // targets up to 0x10FFFF are valid
        ParseResult r = Parse<DisassemblerElf32X86>(BuildElf(layout).bytes);
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.rel32Rvas(), ElementsAreArray(c.rel32)) << c.what;
        EXPECT_THAT(r.abs32Rvas(), IsEmpty()) << c.what;
    }
}

TEST(ElfX86Scan, ReferencesBecomeLabelsAndBytesStayRuns)
{
    Bytes code = {0x55, 0xE8, 0x0B, 0, 0, 0, 0x90, 0xE8, 0x05, 0, 0, 0, 0xC3, 0x90, 0x90, 0x90, 0x90, 0xC3};
    ElfImage image = BuildElf(X86Layout({{kProgbits, code}}));
    ParseResult r = Parse<DisassemblerElf32X86>(image.bytes);
    ASSERT_TRUE(r.parseOk);
    // Both calls reach 0x10065; bytes between references are single runs.
    EXPECT_EQ(r.text(),
              "BYTES(84) ORIGIN(10054) BYTES(2) REL32(10065) BYTES(2) REL32(10065) BYTES(6) BYTES(82)");
    const patcher::Label &label = r.program->rel32_labels().at(0x10065);
    EXPECT_EQ(label.count, 2);
    EXPECT_EQ(label.index, 0);
}

TEST(ElfX86Relocs, MatchingRelativeRelocationsBecomeOneInstruction)
{
    // .text, then .data with two pointers, then the relocation section.
    const Bytes code = {0xC3, 0x90, 0x90, 0x90};
    const uint32_t data = 0x10058;
    Bytes pointers;
    Put32(&pointers, 0, 0x10054);
    Put32(&pointers, 4, 0x10055);
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> relocs;
        const char *relSection; // how the relocation section is emitted
        std::vector<uint32_t> abs32;
    };
    const std::vector<Case> cases = {
        {"exactly the list", {{data, 8}, {data + 4, 8}}, "ELF_RELOCS", {0x10054, 0x10055}},
        {"list first, then others",
         {{data, 8}, {data + 4, 8}, {data, 0x106}},
         "ELF_RELOCS BYTES(8)",
         {0x10054, 0x10055}},
        {"out of order", {{data + 4, 8}, {data, 8}}, "BYTES(16)", {0x10054, 0x10055}},
        {"symbol relocations only", {{data, 0x101}, {data + 4, 0x101}}, "BYTES(16)", {}},
        {"pointing at no section", {{0x10000, 8}}, "BYTES(8)", {}},
    };
    for (const Case &c : cases) {
        ElfImage image =
            BuildElf(X86Layout({{kProgbits, code}, {kProgbits, pointers}, {kRel, Rel32Entries(c.relocs), 8}}));
        ParseResult r = Parse<DisassemblerElf32X86>(image.bytes);
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.abs32Rvas(), ElementsAreArray(c.abs32)) << c.what;
        const std::string dataPart =
            c.abs32.empty() ? "ORIGIN(10058) BYTES(8)" : "ORIGIN(10058) ABS32(10054) ABS32(10055)";
        EXPECT_THAT(r.text(), HasSubstr(dataPart + " " + c.relSection)) << c.what << ": " << r.text();
        EXPECT_EQ(r.text().find("ELF_RELOCS") != std::string::npos,
                  std::string(c.relSection).find("ELF_RELOCS") == 0)
            << c.what;
    }
}

TEST(ElfX86Relocs, HostileRelocationSections)
{
    const Bytes code = {0xC3, 0x90, 0x90, 0x90};
    Bytes pointers(8, 0);
    // An entry size of 0 counts as no entries.
    ElfImage zero = BuildElf(
        X86Layout({{kProgbits, code}, {kProgbits, pointers}, {kRel, Rel32Entries({{0x10058, 8}}), 0}}));
    ParseResult r = Parse<DisassemblerElf32X86>(zero.bytes);
    EXPECT_TRUE(r.parseOk);
    EXPECT_THAT(r.abs32Rvas(), IsEmpty());

    // Two relocations four bytes apart would overlap ...; two at the same place as well.
    for (uint32_t second : {0x1005Au, 0x10058u}) {
        ElfImage overlap = BuildElf(X86Layout({{kProgbits, code},
                                             {kProgbits, pointers},
                                             {kRel, Rel32Entries({{0x10058, 8}, {second, 8}}), 8}}));
        EXPECT_FALSE(Parse<DisassemblerElf32X86>(overlap.bytes).parseOk) << second;
        std::unique_ptr<patcher::ParsedProgram> program;
        EXPECT_EQ(patcher::DisassembleExecutable(overlap.bytes.data(), overlap.bytes.size(), &program),
                  patcher::C_DISASSEMBLY_FAILED);
    }

    // A relocation of the relocation section itself is collected but never emitted.
    ElfImage self = BuildElf(X86Layout({{kProgbits, code}, {kRel, Rel32Entries({{0x10058, 8}}), 8}}));
    r = Parse<DisassemblerElf32X86>(self.bytes);
    EXPECT_TRUE(r.headerOk);
    EXPECT_FALSE(r.parseOk);

    // A relocation section that runs past the end of the file is detected, never read.
    ElfImage past = BuildElf(X86Layout({{kProgbits, code}, {kRel, Rel32Entries({{0x10054, 8}}), 8}}));
    Put32(&past.bytes, past.bytes.size() - 40 + 20, 0x7FFFFFF0); // sh_size of the last section
    r = Parse<DisassemblerElf32X86>(past.bytes);
    EXPECT_TRUE(r.headerOk);
    EXPECT_FALSE(r.parseOk);
}

TEST(ElfX86Relocs, RelocationsIntoUnsupportedSectionsAreDropped)
{
    // A SHT_NOBITS section takes no file space, so it starts where .data does: a pointer in
    // .data lies inside it too, and is dropped there.
    Bytes pointers;
    Put32(&pointers, 0, 0x10054);
    ElfImage image = BuildElf(X86Layout({{kProgbits, {0xC3, 0, 0, 0}},
                                       {kNobits, {}, 0, 4},
                                       {kProgbits, pointers},
                                       {kRel, Rel32Entries({{0x10058, 8}}), 8}}));
    ASSERT_EQ(image.offsets[1], image.offsets[2]);
    ParseResult r = Parse<DisassemblerElf32X86>(image.bytes);
    ASSERT_TRUE(r.parseOk);
    EXPECT_THAT(r.text(), HasSubstr("ORIGIN(10058) BYTES(4)"));
    EXPECT_THAT(r.abs32Rvas(), IsEmpty());
}

TEST(ElfX86Scan, ReferencesOnlyWhereTheAddressLeadsBack)
{
    // The first section's call is found at an address that does not lead back to its bytes.
    // Outside every program header (operand at 0x1000001, target 0x1000005 + 0xFF00004F = 0x54)
    // it would have no file offset at all. At the second section's address (as a debug section
    // at address 0 has the first section's) it would take the place of the second section's
    // own call, with the wrong target. Such a call stays bytes.
    struct Case {
        bool atSecondSection;
        uint32_t address;
        Bytes code;
    };
    const Case cases[] = {{false, 0x01000000u, {0xE8, 0x4F, 0x00, 0x00, 0xFF}},
                          {true, 0, {0xE8, 0x10, 0, 0, 0}}};
    for (const Case &c : cases) {
        ElfLayout layout = X86Layout({{kProgbits, c.code}, {kProgbits, {0xE8, 0, 0, 0, 0}}});
        layout.loadAddress = 0;
        ElfImage image = BuildElf(layout);
        const uint32_t address = c.atSecondSection ? image.address(1) : c.address;
        Put32(&image.bytes, image.bytes.size() - 2 * 40 + 12, address); // sh_addr of the first
        ParseResult r = Parse<DisassemblerElf32X86>(image.bytes);
        ASSERT_TRUE(r.parseOk) << address;
        EXPECT_THAT(r.rel32Rvas(), ElementsAre(image.address(1) + 5)) << address;
    }
}

TEST(ElfX64Scan, RipRelativeFormsAndNoAbsoluteReferences)
{
    struct Case {
        const char *what;
        Bytes code;
        std::vector<uint32_t> rel32;
    };
    // Code starts at file offset 0x78 (header 64 + program header 56), address 0x10078.
    const std::vector<Case> cases = {
        {"48 8D 05", {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, {0x1007B + 4 + 0x10}},
        {"49 8B 0D", {0x49, 0x8B, 0x0D, 0x10, 0, 0, 0}, {0x1007B + 4 + 0x10}},
        {"48 8D 45 (not RIP-relative)", {0x48, 0x8D, 0x45, 0x10, 0, 0, 0, 0}, {}},
        {"48 8D 05 cut short", {0x48, 0x8D, 0x05, 0x10, 0, 0}, {}},
        {"FF 15", {0xFF, 0x15, 0x10, 0, 0, 0}, {0x1007A + 4 + 0x10}},
        {"FF 25", {0xFF, 0x25, 0x10, 0, 0, 0}, {0x1007A + 4 + 0x10}},
        {"FF 35", {0xFF, 0x35, 0x10, 0, 0, 0}, {}},
        {"E8", {0xE8, 0x10, 0, 0, 0}, {0x10079 + 4 + 0x10}},
    };
    for (const Case &c : cases) {
        ElfLayout layout;
        layout.is64 = true;
        layout.machine = 62;
        Bytes pointers(8, 0);
        Bytes relocs(16, 0);
        Put64(&relocs, 0, 0x10080);
        Put64(&relocs, 8, 8); // R_X86_64_RELATIVE: still no absolute reference
        layout.sections = {{kProgbits, c.code}, {kRel, relocs, 16}};
        ParseResult r = Parse<DisassemblerElf64X64>(BuildElf(layout).bytes);
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.rel32Rvas(), ElementsAreArray(c.rel32)) << c.what;
        EXPECT_THAT(r.abs32Rvas(), IsEmpty()) << c.what;
        EXPECT_EQ(r.text().find("RELOCS"), std::string::npos) << c.what;
    }
}

TEST(ElfArmScan, DecodesEveryBranchKind)
{
    // Instructions of the ARM fixture with the targets llvm-objdump shows for them, plus a BLX
    // at a halfword address, which branches relative to the aligned-down pc.
    struct Case {
        const char *what;
        patcher::ArmBranchKind kind;
        uint32_t rva;
        Bytes insn;
        uint16_t op;
        uint32_t target;
    };
    const std::vector<Case> cases = {
        {"ARM BL", patcher::ARM_B24, 0x10144, {0x03, 0x00, 0x00, 0xEB}, 0x30EB, 0x10158},
        {"ARM BEQ", patcher::ARM_B24, 0x1014C, {0x00, 0x00, 0x00, 0x0A}, 0x300A, 0x10154},
        {"ARM BLX", patcher::ARM_B24, 0x10150, {0x02, 0x00, 0x00, 0xFA}, 0x30FA, 0x10160},
        {"ARM B backwards", patcher::ARM_B24, 0x10000, {0xFE, 0xFF, 0xFF, 0xEA}, 0x30EA, 0x10000},
        {"Thumb BEQ", patcher::THUMB_B8, 0x10164, {0x00, 0xD0}, 0x10D0, 0x10168},
        {"Thumb BNE backwards", patcher::THUMB_B8, 0x10164, {0xFE, 0xD1}, 0x10D1, 0x10164},
        {"Thumb B", patcher::THUMB_B11, 0x10166, {0x03, 0xE0}, 0x201C, 0x10170},
        {"Thumb B backwards", patcher::THUMB_B11, 0x10166, {0xFE, 0xE7}, 0x201C, 0x10166},
        {"Thumb-2 BL", patcher::THUMB2_BL25, 0x10168, {0x00, 0xF0, 0x12, 0xF8}, 0x44F7, 0x10190},
        {"Thumb-2 BLX", patcher::THUMB2_BL25, 0x1016C, {0xFF, 0xF7, 0xF4, 0xEF}, 0x44F6, 0x10158},
        {"Thumb-2 BLX at pc % 4 == 2",
         patcher::THUMB2_BL25,
         0x1016E,
         {0xFF, 0xF7, 0xF4, 0xEF},
         0x42F6,
         0x10158},
        {"Thumb-2 B.W", patcher::THUMB2_BL25, 0x10176, {0x00, 0xF0, 0x00, 0xB8}, 0x44F5, 0x1017A},
        {"Thumb-2 BNE.W", patcher::THUMB2_BCC21, 0x10172, {0x40, 0xF0, 0x02, 0x80}, 0x5001, 0x1017A},
        {"Thumb-2 BEQ.W backwards",
         patcher::THUMB2_BCC21,
         0x10172,
         {0x3F, 0xF4, 0xFE, 0xAF},
         0x5000,
         0x10172},
    };
    for (const Case &c : cases) {
        DisassemblerElf32ARM::TypedRVAARM rel(c.kind, c.rva);
        ASSERT_TRUE(rel.DecodeTarget(c.insn.data())) << c.what;
        EXPECT_EQ(rel.compressed_op(), c.op) << c.what;
        EXPECT_EQ(c.rva + static_cast<uint32_t>(rel.relative_target()), c.target) << c.what;
        EXPECT_EQ(rel.ReferenceSize(), c.insn.size()) << c.what;
    }
}

TEST(ElfArmScan, ThumbBranchContinuesTwoBytesLaterInArmState)
{
    // D0 00 is a Thumb BEQ (2 bytes); right after it, the word 0A000000 is read as an ARM BEQ.
    // Two bytes further on, after a position without a branch, the scan is out of ARM state and
    // the same word is not a branch.
    ElfLayout layout;
    layout.machine = 40;
    layout.sections = {
        {kProgbits, {0x00, 0xD0, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0, 0}}};
    ElfImage image = BuildElf(layout);
    ParseResult r = Parse<DisassemblerElf32ARM>(image.bytes);
    ASSERT_TRUE(r.parseOk);
    const uint32_t code = image.address(0);
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(code + 4, code + 2 + 8));
    EXPECT_THAT(r.text(), HasSubstr("ORIGIN(10054) ARM(10d0,10058,2) ARM(300a,1005e,4) BYTES(8)"));
}

TEST(ElfArmScan, BranchOutsideTheLoadSegmentStaysBytes)
{
    ElfLayout layout;
    layout.machine = 40;
    layout.sections = {{kProgbits, {0x00, 0x00, 0x80, 0xEA, 0x00, 0x00, 0x00, 0x00}}}; // B . + 8 - 0x2000000
    layout.loadAddress = 0x100;
    ParseResult r = Parse<DisassemblerElf32ARM>(BuildElf(layout).bytes);
    ASSERT_TRUE(r.parseOk);
    EXPECT_THAT(r.rel32Rvas(), IsEmpty());
}

TEST(ElfArmRelocs, RelocationSectionCases)
{
    const Bytes code = {0x1E, 0xFF, 0x2F, 0xE1}; // bx lr
    Bytes pointers(8, 0);
    Put32(&pointers, 0, 0x10054);
    Put32(&pointers, 4, 0x10055);
    const uint32_t data = 0x10058;
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> relocs;
        const char *relSection;
    };
    const std::vector<Case> cases = {
        {"exactly the list", {{data, 23}, {data + 4, 23}}, "ELF_ARM_RELOCS"},
        {"other entries first", {{0x1000, 2}, {data, 23}, {data + 4, 23}}, "BYTES(8) ELF_ARM_RELOCS"},
        {"then more entries", {{data, 23}, {data + 4, 23}, {0x1000, 2}}, "ELF_ARM_RELOCS BYTES(8)"},
        // A mismatch drops the entries compared so far: they are not emitted at all.
        {"interrupted", {{data, 23}, {0x1000, 2}, {data + 4, 23}}, "BYTES(8)"},
    };
    for (const Case &c : cases) {
        ElfLayout layout;
        layout.machine = 40;
        layout.sections = {{kProgbits, code}, {kProgbits, pointers}, {kRel, Rel32Entries(c.relocs), 8}};
        ParseResult r = Parse<DisassemblerElf32ARM>(BuildElf(layout).bytes);
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x10054, 0x10055)) << c.what;
        EXPECT_THAT(r.text(), HasSubstr("ABS32(10054) ABS32(10055) " + std::string(c.relSection) + " BYTES("))
            << c.what << ": " << r.text();
    }
}

TEST(ElfFixtures, X86SharedObject)
{
    ParseResult r = Parse<DisassemblerElf32X86>(ReadFixture("elf32_x86.so"));
    ASSERT_TRUE(r.parseOk);
    // The four R_386_RELATIVE pointers of the function table (llvm-readelf -r) point at the
    // functions add1, twice, square and far_branch.
    EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x11e4, 0x11ea, 0x11f1, 0x11f9));
    EXPECT_THAT(r.text(), HasSubstr("ORIGIN(23e0) ABS32(11e4) ABS32(11ea) ABS32(11f1) ABS32(11f9)"));
    // .rel.dyn starts with exactly those four relocations; the two GLOB_DAT entries stay bytes.
    EXPECT_THAT(r.text(), HasSubstr("ELF_RELOCS BYTES(16)"));
    // Call and jump targets as llvm-objdump -d shows them, the PLT stubs among them.
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x11e4, 0x11ea, 0x11f1, 0x11f9, 0x12a5, 0x12b2, 0x12e5, 0x1311,
                                           0x13b0, 0x13c0, 0x13d0));
    EXPECT_EQ(r.program->rel32_labels().at(0x13b0).count, 2);
}

TEST(ElfFixtures, X64SharedObject)
{
    ParseResult r = Parse<DisassemblerElf64X64>(ReadFixture("elf64_x64.so"));
    ASSERT_TRUE(r.parseOk);
    EXPECT_THAT(r.abs32Rvas(), IsEmpty());
    // Targets of the calls, jumps, GOT loads (48 8B 05/0D) and PLT jumps (FF 25) that
    // llvm-objdump -d shows; the PLT's push FF 35 is not a reference form.
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x13a0, 0x13a4, 0x13a8, 0x13ae, 0x1456, 0x1520, 0x1530, 0x1540,
                                           0x2630, 0x2638, 0x3670, 0x3678, 0x3680));
    EXPECT_EQ(r.program->rel32_labels().at(0x2638).count, 2);
    EXPECT_EQ(r.text().find("RELOCS"), std::string::npos);
}

TEST(ElfFixtures, ArmSharedObjectWithAllBranchKinds)
{
    ParseResult r = Parse<DisassemblerElf32ARM>(ReadFixture("elf32_arm.so"));
    ASSERT_TRUE(r.parseOk);
    // The pointer table: arm_entry, thumb_func | 1, arm_helper, thumb_helper | 1.
    EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x10140, 0x10158, 0x10161, 0x10191));
    EXPECT_THAT(r.text(), HasSubstr("ELF_ARM_RELOCS"));
    // Every branch of the program, in address order, with its target.
    EXPECT_THAT(r.text(), HasSubstr("ORIGIN(10140) BYTES(4) ARM(30eb,10158,4) BYTES(4) ARM(300a,10154,4) "
                                    "ARM(30fa,10160,4) BYTES(16) ARM(10d0,10168,2) ARM(201c,10170,2) "
                                    "ARM(44f7,10190,4) ARM(44f6,10158,4) BYTES(2) ARM(5001,1017a,4) "
                                    "ARM(44f5,1017a,4) ARM(44f7,10190,4) ARM(44f7,10190,4) ARM(44f7,10190,4) "
                                    "ARM(44f7,10190,4) ARM(44f7,10190,4)"));
    EXPECT_EQ(r.program->rel32_labels().at(0x10190).count, 6);
}
