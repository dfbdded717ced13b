// Mach-O parser: header checks, the base address, the code scan, the fixture and fat files.
#include "parse_helpers.h"
#include "patcher/disassembler_macho.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using namespace exetest;
using patcher::DisassemblerMacho;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const uint32_t kCStringFlags = 0x00000002; // S_CSTRING_LITERALS

// __PAGEZERO, then __TEXT at `textBase` with __text at +0x800 and __cstring at +0x900.
MachoLayout Layout(bool is64, const Bytes &code, uint64_t textBase = 0x100000000)
{
    MachoLayout layout;
    layout.is64 = is64;
    if (!is64)
        textBase = 0x1000;
    MachoSegmentLayout zero;
    zero.vmaddr = 0;
    zero.vmsize = is64 ? textBase : 0x1000;
    zero.as64 = is64;
    MachoSegmentLayout text;
    text.vmaddr = textBase;
    text.vmsize = 0x2000;
    text.fileoff = 0;
    text.filesize = 0x2000;
    text.as64 = is64;
    text.sections = {{"__text", 0x80000400, textBase + 0x800, 0x800, code},
                     {"__cstring", kCStringFlags, textBase + 0x900, 0x900, {0xE8, 0, 0, 0, 0, 0}}};
    layout.segments = {zero, text};
    return layout;
}

size_t CommandAt(const MachoLayout &layout, size_t index)
{
    size_t at = layout.is64 ? 32 : 28;
    for (size_t i = 0; i < index; ++i) {
        const MachoSegmentLayout &s = layout.segments[i];
        at += (s.as64 ? 72 : 56) + (s.as64 ? 80 : 68) * s.sections.size();
    }
    return at;
}

} // namespace

TEST(MachoHeader, FailureTextsInCheckOrder)
{
    struct Case {
        const char *what;
        bool is64;
        std::function<void(MachoLayout *)> change; // before building
        std::function<void(Bytes *)> mutate;     // after building
        const char *reason;
    };
    auto none = [](MachoLayout *) {};
    auto keep = [](Bytes *) {};
    const MachoLayout base64 = Layout(true, {0xC3});
    const size_t text64 = CommandAt(base64, 1);
    const MachoLayout base32 = Layout(false, {0xC3});
    const size_t text32 = CommandAt(base32, 1);
    const std::vector<Case> cases = {
        {"a 28-byte header alone", false, none, [](Bytes *b) { b->resize(28); }, "Too small"},
        {"big-endian magic", true, none, [](Bytes *b) { Put32(b, 0, 0xCFFAEDFE); }, "Unknown magic type"},
        {"fat magic", true, none, [](Bytes *b) { Put32(b, 0, 0xBEBAFECA); }, "Unknown magic type"},
        {"64-bit ARM", true, [](MachoLayout *s) { s->cputype = 0x0100000C; }, keep, "unsupported cpu type"},
        {"32-bit x86-64 cpu", false, [](MachoLayout *s) { s->cputype = 0x01000007; }, keep,
         "unsupported cpu type"},
        {"MH_OBJECT", true, [](MachoLayout *s) { s->filetype = 1; }, keep, "Unsupported filetype in header"},
        {"commands cut off by the end of the file", true, none, [=](Bytes *b) { b->resize(text64 + 4); },
         "file to small in load commands"},
        // The zero bytes after the last command: a command of size 0.
        {"one command too many", true, none, [](Bytes *b) { Put32(b, 16, 3); }, "bad load command size"},
        {"command size past the end", true, none, [=](Bytes *b) { Put32(b, text64 + 4, 0x3000); },
         "file to small in load commands"},
        {"command size 0", true, none, [=](Bytes *b) { Put32(b, text64 + 4, 0); }, "bad load command size"},
        {"LC_SEGMENT in a 64-bit image", true, [](MachoLayout *s) { s->segments[0].as64 = false; }, keep,
         "LC_SEGMENT not supported"},
        {"LC_SEGMENT_64 in a 32-bit image", false, [](MachoLayout *s) { s->segments[0].as64 = true; }, keep,
         "LC_SEGMENT_64 not supported"},
        {"short LC_SEGMENT", false, none, [=](Bytes *b) { Put32(b, 28 + 4, 48); }, "bad LC_SEGMENT"},
        {"short LC_SEGMENT_64", true, none, [=](Bytes *b) { Put32(b, 32 + 4, 64); }, "bad LC_SEGMENT_64"},
        {"segment past the end", true, [](MachoLayout *s) { s->segments[1].filesize = 0x2001; }, keep,
         "segment too large"},
        {"32-bit segment past the end", false, [](MachoLayout *s) { s->segments[1].fileoff = 1; }, keep,
         "segment too large"},
        {"more sections than the command holds", true, none, [=](Bytes *b) { Put32(b, text64 + 64, 3); },
         "sections too small"},
        {"32-bit: more sections than the command holds", false, none,
         [=](Bytes *b) { Put32(b, text32 + 48, 3); }, "sections too small"},
        {"code before its segment", true, [](MachoLayout *s) { s->segments[1].sections[0].addr = 0xFFFFFFFF; },
         keep, "section larger than segment"},
        {"code past its segment", false, [](MachoLayout *s) { s->segments[1].vmsize = 0x800; }, keep,
         "section larger than segment"},
        {"segment of 4 GiB", true, [](MachoLayout *s) { s->segments[1].vmsize = 0x100000000; }, keep,
         "overflow"},
        {"rebased segment past 4 GiB", true,
         [](MachoLayout *s) {
             s->segments[0].sections = {{"__text", 0x80000400, 0, 0x800, {0xC3}}};
             s->segments[0].vmsize = 0x1000;
             s->segments[0].filesize = 0x1000;
         },
         keep, "overflow"},
        {"no code section", true,
         [](MachoLayout *s) { s->segments[1].sections.erase(s->segments[1].sections.begin()); }, keep,
         "Resource-only executables are not yet supported"},
    };
    for (const Case &c : cases) {
        MachoLayout layout = Layout(c.is64, {0xC3});
        ASSERT_TRUE(Parse<DisassemblerMacho>(BuildMacho(layout)).headerOk) << c.what;
        c.change(&layout);
        Bytes b = BuildMacho(layout);
        c.mutate(&b);
        ParseResult r = Parse<DisassemblerMacho>(b);
        EXPECT_FALSE(r.headerOk) << c.what;
        EXPECT_EQ(r.reason, c.reason) << c.what;
    }
}

TEST(MachoHeader, BaseAddressAndExtent)
{
    // 64-bit: __PAGEZERO has no sections and does not count; the image starts at __TEXT.
    Bytes b = BuildMacho(Layout(true, {0xC3}));
    b.resize(b.size() + 100, 0); // not described by any segment
    DisassemblerMacho parser64(b.data(), b.size());
    ASSERT_TRUE(parser64.CheckHeader());
    EXPECT_EQ(parser64.GetKind(), patcher::EXE_MACHO_X64);
    EXPECT_EQ(parser64.length(), 0x2000u);
    ASSERT_EQ(parser64.segments().size(), 1u);
    EXPECT_EQ(parser64.segments()[0].vmaddr, 0u);
    ASSERT_EQ(parser64.code_sections().size(), 1u);
    EXPECT_EQ(parser64.code_sections()[0].addr, 0x800u);

    // 32-bit: every LC_SEGMENT counts, __PAGEZERO at 0 included.
    b = BuildMacho(Layout(false, {0xC3}));
    DisassemblerMacho parser32(b.data(), b.size());
    ASSERT_TRUE(parser32.CheckHeader());
    EXPECT_EQ(parser32.GetKind(), patcher::EXE_MACHO_X86);
    ASSERT_EQ(parser32.segments().size(), 2u);
    EXPECT_EQ(parser32.code_sections()[0].addr, 0x1800u);
    EXPECT_EQ(parser32.FileOffsetToRVA(0x801), 0x1801u);
}

TEST(MachoScan, CodeSectionsOnlyAndTheFormsOfEachWidth)
{
    // Code at RVA 0x800 (64-bit) or 0x1800 (32-bit); each call or load reaches 0x10 bytes on.
    struct Case {
        const char *what;
        bool is64;
        Bytes code;
        std::vector<uint32_t> rel32;
    };
    const std::vector<Case> cases = {
        {"call", true, {0xE8, 0x10, 0, 0, 0}, {0x815}},
        {"32-bit call", false, {0xE8, 0x10, 0, 0, 0}, {0x1815}},
        {"0F 84", false, {0x0F, 0x84, 0x10, 0, 0, 0}, {0x1816}},
        {"0F 8B", false, {0x0F, 0x8B, 0x10, 0, 0, 0}, {}},
        {"FF 15", true, {0xFF, 0x15, 0x10, 0, 0, 0}, {0x816}},
        {"FF 15 in a 32-bit image", false, {0xFF, 0x15, 0x10, 0, 0, 0}, {}},
        {"48 8D 05", true, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, {0x817}},
        {"48 8D 05 in a 32-bit image", false, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, {}},
        {"target past every segment", true, {0xE8, 0x00, 0x20, 0, 0}, {}},
        {"target in __PAGEZERO of a 32-bit image", false, {0xE8, 0x00, 0xF0, 0xFF, 0xFF}, {0x1805 - 0x1000}},
    };
    for (const Case &c : cases) {
        ParseResult r = Parse<DisassemblerMacho>(BuildMacho(Layout(c.is64, c.code)));
        ASSERT_TRUE(r.parseOk) << c.what;
        EXPECT_THAT(r.rel32Rvas(), ::testing::ElementsAreArray(c.rel32)) << c.what;
        EXPECT_EQ(r.program->image_base(), 0u);
        // __cstring holds E8 00 00 00 00 too, but is plain bytes.
        EXPECT_THAT(r.text(), HasSubstr("ORIGIN(" + std::string(c.is64 ? "800" : "1800") + ")")) << c.what;
        EXPECT_EQ(r.text().find("ORIGIN(" + std::string(c.is64 ? "900" : "1900") + ")"), std::string::npos)
            << c.what;
    }
}

TEST(MachoScan, EmitsTheWholeExtent)
{
    ParseResult r = Parse<DisassemblerMacho>(BuildMacho(Layout(true, {0x90, 0xE8, 0x10, 0, 0, 0, 0xC3})));
    ASSERT_TRUE(r.parseOk);
    // Up to __text, the region (90 E8, the call's operand, C3), and the rest of __TEXT, with
    // __cstring, as bytes.
    EXPECT_EQ(r.text(), "BYTES(2048) ORIGIN(800) BYTES(2) REL32(816) BYTES(1) BYTES(6137)");
}

TEST(MachoFixtures, X64Dylib)
{
    ParseResult r = Parse<DisassemblerMacho>(ReadFixture("macho_x64"));
    ASSERT_TRUE(r.parseOk);
    EXPECT_THAT(r.abs32Rvas(), IsEmpty());
    // llvm-objdump -d: the calls and jumps, the long JNE of far_branch (0x409) and the
    // leaq _table(%rip) (0x1000); the addl from _counter is not a reference form.
    EXPECT_THAT(r.rel32Rvas(), ElementsAre(0x340, 0x349, 0x352, 0x35d, 0x409, 0x40e, 0x42d, 0x1000));
}

TEST(MachoFatFiles, ArchitecturesAreElements)
{
    const Bytes x64 = ReadFixture("macho_x64");
    const Bytes x86 = BuildMacho(Layout(false, {0xE8, 0x10, 0, 0, 0}));
    auto fat = [&](uint32_t count, uint32_t secondOffset) {
        Bytes b(0x1000, 0);
        auto putBE = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        };
        putBE(0, 0xCAFEBABE);
        putBE(4, count);
        putBE(8 + 8, 0x1000);
        putBE(8 + 12, static_cast<uint32_t>(x64.size()));
        putBE(28 + 8, secondOffset);
        putBE(28 + 12, static_cast<uint32_t>(x86.size()));
        b.insert(b.end(), x64.begin(), x64.end());
        b.resize(0x4000, 0);
        b.insert(b.end(), x86.begin(), x86.end());
        return b;
    };
    std::vector<patcher::ExecutableElement> elements;
    Bytes both = fat(2, 0x4000);
    ASSERT_TRUE(patcher::FindExecutableElements(both.data(), both.size(), &elements));
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].offset, 0x1000u);
    EXPECT_EQ(elements[0].length, 0x2000u);
    EXPECT_EQ(elements[0].type, patcher::EXE_MACHO_X64);
    EXPECT_EQ(elements[1].offset, 0x4000u);
    EXPECT_EQ(elements[1].length, 0x2000u);
    EXPECT_EQ(elements[1].type, patcher::EXE_MACHO_X86);

    // An entry overlapping the first ends the scan; what was found stays.
    Bytes overlapping = fat(2, 0x1800);
    ASSERT_TRUE(patcher::FindExecutableElements(overlapping.data(), overlapping.size(), &elements));
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].offset, 0x1000u);

    // More than eight architectures: not scanned, and the whole file is no executable.
    Bytes many = fat(9, 0x4000);
    ASSERT_TRUE(patcher::FindExecutableElements(many.data(), many.size(), &elements));
    EXPECT_TRUE(elements.empty());

    // A thin file is one element at 0.
    ASSERT_TRUE(patcher::FindExecutableElements(x86.data(), x86.size(), &elements));
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].offset, 0u);
}
