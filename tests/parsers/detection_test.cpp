// Detection: which parser takes an element, in which order, and what it reports.
#include "exe_builders.h"
#include "patcher/disassembler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace patcher;
using exetest::Bytes;
using exetest::ReadFixture;
using ::testing::ElementsAre;

TEST(Detection, FixturesAreRecognisedWithTheirLengths)
{
    struct Case {
        const char *file;
        ExecutableType type;
        size_t length; // the extent the headers describe
    };
    const Case cases[] = {
        {"pe32.exe", EXE_WIN_32_X86, 2048},
        {"pe64.exe", EXE_WIN_32_X64, 2048},
        {"elf32_x86.so", EXE_ELF_32_X86, 1912},
        {"elf64_x64.so", EXE_ELF_64_X64, 2800},
        {"elf32_arm.so", EXE_ELF_32_ARM, 1088},
        // __LINKEDIT has no sections, so it is not part of the extent.
        {"macho_x64", EXE_MACHO_X64, 8192},
    };
    for (const Case &c : cases) {
        Bytes b = ReadFixture(c.file);
        ASSERT_FALSE(b.empty()) << c.file;
        b.resize(b.size() + 512, 0); // whatever follows an element is not part of it
        ExecutableType type = EXE_UNKNOWN;
        size_t length = 0;
        EXPECT_EQ(DetectExecutable(b.data(), b.size(), &type, &length), C_OK) << c.file;
        EXPECT_EQ(type, c.type) << c.file;
        EXPECT_EQ(length, c.length) << c.file;

        std::unique_ptr<ParsedProgram> program;
        EXPECT_EQ(DisassembleExecutable(b.data(), b.size(), &program), C_OK) << c.file;
        ASSERT_TRUE(program) << c.file;
        EXPECT_EQ(program->kind(), c.type) << c.file;
    }
}

TEST(Detection, TriesTheParsersInOrderAndKeepsTheirReasons)
{
    std::vector<std::string> reasons;
    ExecutableType type;
    size_t length;
    Bytes elf64 = ReadFixture("elf64_x64.so");
    ASSERT_EQ(DetectExecutable(elf64.data(), elf64.size(), &type, &length, &reasons), C_OK);
    // Both PE parsers and the 32-bit x86 ELF parser come first.
    EXPECT_THAT(reasons, ElementsAre("Not MZ", "Not MZ", "Not a supported architecture"));

    reasons.clear();
    Bytes pe32 = ReadFixture("pe32.exe");
    ASSERT_EQ(DetectExecutable(pe32.data(), pe32.size(), &type, &length, &reasons), C_OK);
    EXPECT_EQ(type, EXE_WIN_32_X86);
    EXPECT_TRUE(reasons.empty());

    reasons.clear();
    Bytes text(4096, 'a');
    type = EXE_WIN_32_X86;
    length = 99;
    EXPECT_EQ(DetectExecutable(text.data(), text.size(), &type, &length, &reasons), C_INPUT_NOT_RECOGNIZED);
    EXPECT_EQ(type, EXE_UNKNOWN);
    EXPECT_EQ(length, 0u);
    EXPECT_THAT(reasons, ElementsAre("Not MZ", "Not MZ", "No Magic Number", "No Magic Number",
                                     "No Magic Number", "Unknown magic type"));
    std::unique_ptr<ParsedProgram> program;
    EXPECT_EQ(DisassembleExecutable(text.data(), text.size(), &program), C_INPUT_NOT_RECOGNIZED);
    EXPECT_FALSE(program);
}

TEST(Detection, EmptyAndTinyInputs)
{
    const uint8_t byte = 0x7F;
    ExecutableType type;
    size_t length;
    EXPECT_EQ(DetectExecutable(&byte, 0, &type, &length), C_INPUT_NOT_RECOGNIZED);
    EXPECT_EQ(DetectExecutable(&byte, 1, &type, &length), C_INPUT_NOT_RECOGNIZED);
}

TEST(Detection, ParseRefusedBeforeASuccessfulHeaderCheck)
{
    Bytes b = ReadFixture("elf32_x86.so");
    std::unique_ptr<Disassembler> parser = MakeDisassembler(EXE_ELF_32_X86, b.data(), b.size());
    ASSERT_TRUE(parser);
    EXPECT_EQ(parser->failure_reason(), "uninitialized");
    ParsedProgram program;
    EXPECT_FALSE(parser->ParseProgram(&program));
    EXPECT_TRUE(program.instructions().empty());
    ASSERT_TRUE(parser->CheckHeader());
    EXPECT_EQ(parser->failure_reason(), "");
    EXPECT_TRUE(parser->ParseProgram(&program));
}
