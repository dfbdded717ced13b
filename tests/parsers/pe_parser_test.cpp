// PE parsers: header checks, the base relocation table, the .text scan and the fixtures.
#include "parse_helpers.h"
#include "patcher/disassembler_win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace exetest;
using patcher::DisassemblerWin32X64;
using patcher::DisassemblerWin32X86;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const uint32_t kImageBase = 0x400000;

Bytes Abs32(uint32_t rva)
{
    Bytes b;
    Put32(&b, 0, kImageBase + rva);
    return b;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// .text at 0x1000, .data at 0x2000 and, when given, .reloc at 0x3000.
PeLayout Layout(const Bytes &text, const Bytes &relocs = Bytes(), bool plus = false)
{
    PeLayout layout;
    layout.plus = plus;
    layout.imageBase = kImageBase;
    layout.sections = {{".text", 0x1000, text}, {".data", 0x2000, Bytes(16, 0)}};
    if (!relocs.empty())
        layout.sections.push_back({".reloc", 0x3000, relocs});
    return layout;
}

} // namespace

TEST(PeHeader, FailureTextsInCheckOrder)
{
    struct Case {
        const char *what;
        std::function<void(PeImage *)> mutate;
        const char *reason;
    };
    const size_t optSizeAt = 0x80 + 20;
    const std::vector<Case> cases = {
        {"63 bytes", [](PeImage *i) { i->bytes.resize(63); }, "Too small"},
        {"ZM", [](PeImage *i) { i->bytes[0] = 'Z'; }, "Not MZ"},
        {"e_lfanew 0", [](PeImage *i) { Put32(&i->bytes, 60, 0); }, "Bad offset to PE header"},
        {"e_lfanew at the end",
         [](PeImage *i) { Put32(&i->bytes, 60, static_cast<uint32_t>(i->bytes.size())); },
         "Bad offset to PE header"},
        {"e_lfanew 24 bytes before the end",
         [](PeImage *i) { Put32(&i->bytes, 60, static_cast<uint32_t>(i->bytes.size() - 24)); },
         "Bad offset to PE header"},
        {"e_lfanew 0x84", [](PeImage *i) { Put32(&i->bytes, 60, 0x84); }, "Misaligned PE header"},
        {"PE\\0\\1", [](PeImage *i) { i->bytes[0x83] = 1; }, "no PE signature"},
        {"optional header past the end", [=](PeImage *i) { Put16(&i->bytes, optSizeAt, 0xFFFF); },
         "optional header past end of file"},
        {"optional header of 1 byte", [=](PeImage *i) { Put16(&i->bytes, optSizeAt, 1); },
         "optional header no magic"},
        {"ROM magic", [](PeImage *i) { Put16(&i->bytes, i->optionalHeader, 0x107); }, "unrecognized magic"},
        {"optional header of 95 bytes", [=](PeImage *i) { Put16(&i->bytes, optSizeAt, 95); },
         "optional header too short"},
        // Sixteen directories declared, but the optional header ends before the sixth.
        {"directories beyond the optional header",
         [=](PeImage *i) { Put16(&i->bytes, optSizeAt, 96 + 5 * 8); }, "malformed data directory"},
        {"directory larger than the image",
         [](PeImage *i) { Put32(&i->bytes, i->optionalHeader + 96 + 8 + 4, 0x10001); },
         "malformed data directory"},
        {"section table past the end", [](PeImage *i) { Put16(&i->bytes, 0x80 + 6, 0x7FFF); },
         "section table outside image"},
        {"PE32+ image", [](PeImage *i) { Put16(&i->bytes, i->optionalHeader, 0x20B); },
         "64 bit executables are not supported by this disassembler"},
        {"only .data", [](PeImage *i) { std::memcpy(&i->bytes[0x80 + 24 + 224], ".data\0\0\0", 8); },
         "Resource-only executables are not yet supported"},
        {".textbss is not .text", [](PeImage *i) { std::memcpy(&i->bytes[0x80 + 24 + 224], ".textbss", 8); },
         "Resource-only executables are not yet supported"},
    };
    for (const Case &c : cases) {
        PeImage image = BuildPe(Layout({0xC3}));
        ASSERT_TRUE(Parse<DisassemblerWin32X86>(image.bytes).headerOk);
        c.mutate(&image);
        ParseResult r = Parse<DisassemblerWin32X86>(image.bytes);
        EXPECT_FALSE(r.headerOk) << c.what;
        EXPECT_EQ(r.reason, c.reason) << c.what;
    }
}

TEST(PeHeader, WidthsAndDetectionOrder)
{
    PeImage pe32 = BuildPe(Layout({0xC3}));
    PeImage pe64 = BuildPe(Layout({0xC3}, Bytes(), true));
    EXPECT_EQ(Parse<DisassemblerWin32X64>(pe32.bytes).reason,
              "32 bit executables are not supported by this disassembler");
    EXPECT_EQ(Parse<DisassemblerWin32X86>(pe64.bytes).reason,
              "64 bit executables are not supported by this disassembler");
    EXPECT_TRUE(Parse<DisassemblerWin32X64>(pe64.bytes).headerOk);

    // A PE32 image without .text fails both PE parsers; detection goes on to the others.
    std::memcpy(&pe32.bytes[0x80 + 24 + 224], ".data\0\0\0", 8);
    std::vector<std::string> reasons;
    patcher::ExecutableType type;
    size_t length;
    EXPECT_EQ(patcher::DetectExecutable(pe32.bytes.data(), pe32.bytes.size(), &type, &length, &reasons),
              patcher::C_INPUT_NOT_RECOGNIZED);
    EXPECT_THAT(reasons,
                ElementsAre("Resource-only executables are not yet supported",
                            "32 bit executables are not supported by this disassembler", "No Magic Number",
                            "No Magic Number", "No Magic Number", "Unknown magic type"));
}

TEST(PeHeader, ValuesAndExtent)
{
    PeImage image = BuildPe(Layout({0xC3, 0x90}, PeRelocBlock(0x1000, {})));
    const size_t described = image.bytes.size();
    image.bytes.resize(described + 300, 0xEE); // an overlay no section describes
    DisassemblerWin32X86 parser(image.bytes.data(), image.bytes.size());
    ASSERT_TRUE(parser.CheckHeader());
    EXPECT_EQ(parser.length(), described);
    EXPECT_EQ(parser.image_base(), kImageBase);
    EXPECT_EQ(parser.size_of_image(), 0x10000u);
    EXPECT_EQ(parser.data_directory(DisassemblerWin32X86::kBaseRelocationTable).rva, 0x3000u);
    EXPECT_EQ(parser.data_directory(DisassemblerWin32X86::kBaseRelocationTable).size, 8u);
    EXPECT_EQ(parser.FileOffsetToRVA(image.rawOffsets[1] + 3), 0x2003u);
    EXPECT_EQ(parser.FileOffsetToRVA(0x10), 0u);
    uint64_t offset = 0;
    EXPECT_TRUE(parser.RVAToFileOffset(0x1001, &offset));
    EXPECT_EQ(offset, image.rawOffsets[0] + 1u);
    EXPECT_TRUE(parser.RVAToFileOffset(2, &offset));
    EXPECT_EQ(offset, 2u);
    EXPECT_FALSE(parser.RVAToFileOffset(0x1002, &offset)); // past the raw data of .text
    EXPECT_FALSE(parser.RVAToFileOffset(0x9000, &offset)); // in no section

    // Directories past NumberOfRvaAndSizes are empty, whatever their bytes say.
    Put32(&image.bytes, image.optionalHeader + 92, 5);
    DisassemblerWin32X86 fewer(image.bytes.data(), image.bytes.size());
    ASSERT_TRUE(fewer.CheckHeader());
    EXPECT_EQ(fewer.data_directory(DisassemblerWin32X86::kBaseRelocationTable).size, 0u);
}

TEST(PeRelocs, TableFailures)
{
    struct Case {
        const char *what;
        Bytes table;
        const char *reason;
    };
    Bytes size10 = PeRelocBlock(0x1000, {0x3000});
    Put32(&size10, 4, 10); // 8 + one entry
    Bytes longBlock = PeRelocBlock(0x1000, {0x3000});
    Put32(&longBlock, 4, 0x1000);
    const std::vector<Case> cases = {
        {"block of size 10", size10, "unreasonable relocs block"},
        {"block of size 4", Concat({PeRelocBlock(0x1000, {0x3000}), {0, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}}),
         "unreasonable relocs block"},
        {"entry of type 10 in PE32", PeRelocBlock(0x1000, {0xA000}), "unknown type of reloc"},
        {"block reaching past the file", longBlock, ".relocs block outside image"},
    };
    for (const Case &c : cases) {
        ParseResult r = Parse<DisassemblerWin32X86>(BuildPe(Layout(Bytes(16, 0x90), c.table)).bytes);
        ASSERT_TRUE(r.headerOk) << c.what;
        EXPECT_FALSE(r.parseOk) << c.what;
        EXPECT_EQ(r.parseReason, c.reason) << c.what;
    }

    // The table itself outside the file: its section's raw data is cut short.
    PeLayout layout = Layout(Bytes(16, 0x90), PeRelocBlock(0x1000, {0x3000, 0x3004}));
    layout.sections[2].virtualSize = 0x100;
    PeImage image = BuildPe(layout);
    image.bytes.resize(image.bytes.size() - 4);
    Put32(&image.bytes, 0x80 + 24 + 224 + 2 * 40 + 16, 8); // SizeOfRawData of .reloc
    ParseResult r = Parse<DisassemblerWin32X86>(image.bytes);
    ASSERT_TRUE(r.headerOk);
    EXPECT_FALSE(r.parseOk);
    EXPECT_EQ(r.parseReason, ".relocs outside image");
}

TEST(PeRelocs, EntriesBecomeAbsoluteReferencesAndTheTableOneInstruction)
{
    // Two pointers in .text (type 3), padding entries (type 0) skipped.
    Bytes text = Concat({Abs32(0x1008), {0x90, 0x90, 0x90, 0x90}, Abs32(0x2000), {0xC3}});
    PeImage image = BuildPe(Layout(text, PeRelocBlock(0x1000, {0x3000, 0x0000, 0x3008, 0x0000})));
    ParseResult r = Parse<DisassemblerWin32X86>(image.bytes);
    ASSERT_TRUE(r.parseOk) << r.parseReason;
    EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x1008, 0x2000));
    EXPECT_EQ(r.program->image_base(), kImageBase);
    // After the second pointer: C3 and the 3 bytes up to the raw data of .data.
    EXPECT_THAT(
        r.text(),
        HasSubstr("ORIGIN(1000) ABS32(1008) BYTES(4) ABS32(2000) BYTES(1) BYTES(3) ORIGIN(2000) BYTES(16) "
                  "ORIGIN(3000) PE_RELOCS"));
    // Headers and the gaps between sections are bytes too: the program covers the whole file.
    EXPECT_EQ(r.text().rfind("BYTES(512) ORIGIN(1000)", 0), 0u);
}

TEST(PeScan, CallOverlappingAnAbsoluteReferenceIsNotRelative)
{
    // E8 at 0x1000 would call 0x100A, but its operand overlaps the pointer at 0x1003 (whose
    // value starts with two zero bytes). The scan resumes at 0x1007, where another call starts.
    Bytes text = Concat({{0xE8, 0x05, 0x00}, Abs32(0x10000), {0xE8, 0x00, 0x00, 0x00, 0x00, 0xC3}});
    ParseResult r = Parse<DisassemblerWin32X86>(BuildPe(Layout(text, PeRelocBlock(0x1000, {0x3003}))).bytes);
    ASSERT_TRUE(r.parseOk) << r.parseReason;
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x100C));
    EXPECT_THAT(
        r.text(),
        HasSubstr("ORIGIN(1000) BYTES(3) ABS32(10000) BYTES(1) REL32(100c) BYTES(1) BYTES(3) ORIGIN(2000)"));

    // Without the pointer the first call is a reference.
    r = Parse<DisassemblerWin32X86>(BuildPe(Layout(text)).bytes);
    ASSERT_TRUE(r.parseOk);
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x100A, 0x100C));
}

TEST(PeScan, CandidateFormsAndTargets)
{
    // .text at 0x1000 (0x20 bytes of virtual size), .data at 0x2000, SizeOfImage 0x10000.
    struct Case {
        const char *what;
        bool plus;
        Bytes code;
        std::vector<uint32_t> rel32;
    };
    const std::vector<Case> cases = {
        {"call inside .text", false, {0xE8, 0x10, 0, 0, 0}, {0x1015}},
        {"call into .data", false, {0xE8, 0xFB, 0x0F, 0, 0}, {}},
        {"0F 85 inside .text", false, {0x0F, 0x85, 0x02, 0, 0, 0}, {0x1008}},
        {"0F 8A", false, {0x0F, 0x8A, 0x02, 0, 0, 0}, {}},
        {"E8 in the last four bytes", false, {0x90, 0xE8, 0, 0, 0}, {}},
        {"48 8D 05 on x86", false, {0x48, 0x8D, 0x05, 0, 0, 0, 0}, {}},
        {"48 8D 05 into .data", true, {0x48, 0x8D, 0x05, 0xF9, 0x0F, 0, 0}, {0x2000}},
        {"FF 15 into .data", true, {0xFF, 0x15, 0xFA, 0x0F, 0, 0}, {0x2000}},
        {"48 8D 05 past the image", true, {0x48, 0x8D, 0x05, 0xF9, 0xEF, 0, 0}, {}},
        {"call into .data on x64", true, {0xE8, 0xFB, 0x0F, 0, 0}, {}},
    };
    for (const Case &c : cases) {
        PeLayout layout = Layout(c.code, Bytes(), c.plus);
        layout.sections[0].virtualSize = 0x20;
        const Bytes bytes = BuildPe(layout).bytes;
        ParseResult r = c.plus ? Parse<DisassemblerWin32X64>(bytes) : Parse<DisassemblerWin32X86>(bytes);
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.rel32Rvas(), ElementsAreArray(c.rel32)) << c.what;
    }
}

TEST(PeScan, RelocationTableInsideTextIsSkipped)
{
    // The table lies in .text itself; the E8 inside it is not scanned, and the table becomes one
    // instruction at its place.
    Bytes table = PeRelocBlock(0x1000, {0x00E8, 0, 0, 0}); // bytes E8 00 00 00 00 00 00 00
    Bytes text = Concat({{0x90, 0x90, 0x90, 0x90}, table, {0xE8, 0, 0, 0, 0}});
    PeLayout layout = Layout(text);
    layout.sections[0].virtualSize = 0x20;
    PeImage image = BuildPe(layout);
    const size_t dirs = image.optionalHeader + 96;
    Put32(&image.bytes, dirs + 5 * 8, 0x1004);
    Put32(&image.bytes, dirs + 5 * 8 + 4, 16);
    ParseResult r = Parse<DisassemblerWin32X86>(image.bytes);
    ASSERT_TRUE(r.parseOk) << r.parseReason;
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x1019));
    EXPECT_THAT(r.text(),
                HasSubstr("ORIGIN(1000) BYTES(4) PE_RELOCS BYTES(1) REL32(1019) BYTES(7) ORIGIN(2000)"));
}

TEST(PeFixtures, Pe32AndPe32Plus)
{
    ParseResult r = Parse<DisassemblerWin32X86>(ReadFixture("pe32.exe"));
    ASSERT_TRUE(r.parseOk);
    // llvm-readobj --coff-basereloc: three HIGHLOW entries in .text (two point at the function
    // table at 0x2000, one at the counter at 0x2010) and the four table entries, which hold the
    // functions at 0x1000, 0x1006, 0x100D and 0x1015.
    EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x1000, 0x1006, 0x100d, 0x1015, 0x2000, 0x2010));
    EXPECT_EQ(r.program->abs32_labels().at(0x2010).count, 2);
    // Call targets as llvm-objdump -d shows them, and the long JNE of far_branch to 0x10C1.
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x1000, 0x1006, 0x100d, 0x1015, 0x10c1, 0x10c5, 0x10e1));
    EXPECT_THAT(r.text(), HasSubstr("ORIGIN(3000) PE_RELOCS"));

    r = Parse<DisassemblerWin32X64>(ReadFixture("pe64.exe"));
    ASSERT_TRUE(r.parseOk);
    EXPECT_EQ(r.program->kind(), patcher::EXE_WIN_32_X64);
    EXPECT_EQ(r.program->image_base(), 0x140000000u);
    // The function table's four DIR64 entries; the high halves stay bytes.
    EXPECT_THAT(r.abs32Rvas(), ElementsAre(0x1000, 0x1004, 0x1008, 0x100e));
    EXPECT_THAT(r.text(),
                HasSubstr("ORIGIN(2000) ABS32(1000) BYTES(4) ABS32(1004) BYTES(4) ABS32(1008) BYTES(4) "
                          "ABS32(100e) BYTES("));
}

TEST(PeScan, RawDataPastTheEndIsNeitherScannedNorEmitted)
{
    PeImage image = BuildPe(Layout({0xE8, 0, 0, 0, 0, 0xC3}));
    // .data's raw data starts 0x100 bytes after the end of the file.
    Put32(&image.bytes, 0x80 + 24 + 224 + 40 + 20, static_cast<uint32_t>(image.bytes.size() + 0x100));
    ParseResult r = Parse<DisassemblerWin32X86>(image.bytes);
    ASSERT_TRUE(r.headerOk);
    ASSERT_TRUE(r.parseOk);
    // The rest of the file, where .data was, is a gap before its (empty) region.
    EXPECT_EQ(r.text(), "BYTES(512) ORIGIN(1000) BYTES(1) REL32(1005) BYTES(1) BYTES(26) ORIGIN(2000)");
}
