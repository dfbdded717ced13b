// Encoding parsed programs, and the round trip of every fixture through the encoded form.
#include "exe_builders.h"
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/program_encoder.h"
#include "patcher/stream_set.h"
#include "patcher/streams.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace patcher;
using exetest::Bytes;
using ::testing::ElementsAre;

namespace {

template <class T> std::vector<T> ToVector(const GrowableArray<T> &array)
{
    return std::vector<T>(array.begin(), array.end());
}

const uint8_t kInsn[4] = {0x00, 0xF0, 0x00, 0xF8};

} // namespace

TEST(EncodeProgram, TranslatesEveryInstructionKind)
{
    ParsedProgram program(EXE_WIN_32_X64);
    program.set_image_base(0x140000000);
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_TRUE(program.AddOriginInsn(0x1000));
    ASSERT_TRUE(program.AddByteInsn(0x90));
    ASSERT_TRUE(program.AddBytesInsn(bytes, 3));
    ASSERT_TRUE(program.AddByteInsn(0xC3));
    ASSERT_TRUE(program.AddRel32Ref(program.Rel32LabelAt(0x3000)));
    ASSERT_TRUE(program.AddRel32Ref(program.Rel32LabelAt(0x2000)));
    ASSERT_TRUE(program.AddAbs32Ref(program.Abs32LabelAt(0x5000)));
    ASSERT_TRUE(program.AddByteInsn(0xCC));
    ASSERT_TRUE(program.AddArmRel32Ref(0x44F7, program.Rel32LabelAt(0x2000), kInsn, 4));
    ASSERT_TRUE(program.AddPeRelocsInsn());
    ASSERT_TRUE(program.AddElfRelocsInsn());
    ASSERT_TRUE(program.AddElfArmRelocsInsn());
    program.AssignLabelIndexes();

    EncodedProgram encoded;
    ASSERT_EQ(EncodeProgram(program, &encoded), C_OK);
    EXPECT_EQ(encoded.image_base(), 0x140000000u);
    // Bytes fold into one copy; a PE table of a 64-bit image is the PE32+ one.
    EXPECT_THAT(ToVector(encoded.ops()),
                ElementsAre(OP_ORIGIN, OP_COPY, OP_REL32, OP_REL32, OP_ABS32, OP_COPY_ONE, 0x44F7u,
                            OP_PE64_RELOCS, OP_ELF_RELOCS, OP_ELF_ARM_RELOCS));
    EXPECT_THAT(ToVector(encoded.origins()), ElementsAre(0x1000u));
    EXPECT_THAT(ToVector(encoded.copy_counts()), ElementsAre(5u));
    EXPECT_THAT(ToVector(encoded.copy_bytes()), ElementsAre(0x90, 1, 2, 3, 0xC3, 0xCC));
    EXPECT_THAT(ToVector(encoded.rel32_indexes()), ElementsAre(1u, 0u, 0u));
    EXPECT_THAT(ToVector(encoded.abs32_indexes()), ElementsAre(0u));
    EXPECT_THAT(ToVector(encoded.rel32_addresses()), ElementsAre(0x2000u, 0x3000u));
    EXPECT_THAT(ToVector(encoded.abs32_addresses()), ElementsAre(0x5000u));

    ParsedProgram pe32(EXE_WIN_32_X86);
    ASSERT_TRUE(pe32.AddPeRelocsInsn());
    ASSERT_EQ(EncodeProgram(pe32, &encoded), C_OK);
    EXPECT_THAT(ToVector(encoded.ops()), ElementsAre(OP_PE_RELOCS));
}

TEST(EncodeProgram, TrimmedLabelsLeaveHolesFilledFromTheSlotBefore)
{
    ParsedProgram program(EXE_ELF_32_ARM);
    const uint32_t targets[4] = {0x100, 0x200, 0x300, 0x400};
    const int counts[4] = {6, 1, 5, 6};
    for (int i = 0; i < 4; ++i)
        for (int n = 0; n < counts[i]; ++n)
            ASSERT_TRUE(program.AddArmRel32Ref(0x44F7, program.Rel32LabelAt(targets[i]), kInsn, 4));
    program.AssignLabelIndexes();
    ASSERT_EQ(TrimLabels(&program), C_OK);
    EncodedProgram encoded;
    ASSERT_EQ(EncodeProgram(program, &encoded), C_OK);
    EXPECT_THAT(ToVector(encoded.rel32_addresses()), ElementsAre(0x100u, 0x100u, 0x100u, 0x400u));
    // The six trimmed branches are literal bytes now.
    EXPECT_EQ(encoded.copy_bytes().size(), 6u * 4);
    EXPECT_EQ(encoded.rel32_indexes().size(), 12u);
}

TEST(EncodeProgram, UnnumberedLabelsFail)
{
    ParsedProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.AddRel32Ref(program.Rel32LabelAt(0x100)));
    EncodedProgram encoded;
    ASSERT_TRUE(encoded.AppendOrigin(1));
    EXPECT_EQ(EncodeProgram(program, &encoded), C_GENERAL_ERROR);
    EXPECT_EQ(encoded.ops().size(), 0u);
}

TEST(EncodeProgram, FixturesRebuildThroughTheSerialisedForm)
{
    struct Case {
        const char *file;
        size_t abs32;
        size_t rel32; // after trimming
    };
    const Case cases[] = {{"elf32_x86.so", 4, 11}, {"elf64_x64.so", 0, 13}, {"elf32_arm.so", 4, 1},
                          {"pe32.exe", 6, 7},      {"pe64.exe", 4, 7},      {"macho_x64", 0, 8}};
    for (const Case &c : cases) {
        const Bytes file = exetest::ReadFixture(c.file);
        ExecutableType type;
        size_t length;
        ASSERT_EQ(DetectExecutable(file.data(), file.size(), &type, &length), C_OK) << c.file;
        std::unique_ptr<ParsedProgram> program;
        ASSERT_EQ(DisassembleExecutable(file.data(), length, &program), C_OK) << c.file;
        ASSERT_EQ(TrimLabels(program.get()), C_OK) << c.file;
        EXPECT_EQ(program->abs32_labels().size(), c.abs32) << c.file;
        EXPECT_EQ(program->rel32_labels().size(), c.rel32) << c.file;
        EncodedProgram encoded;
        ASSERT_EQ(EncodeProgram(*program, &encoded), C_OK) << c.file;
        program.reset();

        WriteStreamSet streams;
        WriteStream blob;
        ASSERT_EQ(SerializeEncodedProgram(encoded, &streams), C_OK) << c.file;
        ASSERT_TRUE(streams.Serialize(&blob)) << c.file;
        ReadStreamSet readBack;
        ASSERT_TRUE(readBack.Parse(blob.Buffer(), blob.Length())) << c.file;
        EncodedProgram decoded;
        ASSERT_EQ(DeserializeEncodedProgram(&readBack, &decoded), C_OK) << c.file;
        WriteStream assembled;
        ASSERT_EQ(AssembleProgram(decoded, &assembled), C_OK) << c.file;
        ASSERT_EQ(assembled.Length(), length) << c.file;
        EXPECT_EQ(std::memcmp(assembled.Buffer(), file.data(), length), 0) << c.file;
    }
}
