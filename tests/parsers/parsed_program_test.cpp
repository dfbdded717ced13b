// Parsed programs: labels, their numbering and the trimming of ARM labels.
#include "exe_builders.h"
#include "patcher/logging.h"
#include "patcher/parsed_program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

using namespace patcher;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Keeps the patcher log's lines while it lives.
class CapturingSink : public LogBase {
public:
    void Flush() override {}
    void Write(const std::string &message, int32_t level, const std::string &, int32_t, const std::string &,
               const std::string &) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::to_string(level) + " " + message);
    }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

const uint8_t kInsn[4] = {0x00, 0xF0, 0x00, 0xF8};

// An ARM program with `count` branches to each target, in target order.
void AddBranches(ParsedProgram *program, uint32_t target, int count)
{
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(program->AddArmRel32Ref(0x44F7, program->Rel32LabelAt(target), kInsn, 4));
}

} // namespace

TEST(ParsedProgram, LabelsAreCountedAndNumberedByAddress)
{
    ParsedProgram program(EXE_ELF_32_X86);
    for (uint32_t rva : {0x2000u, 0x1000u, 0x2000u, 0x2000u})
        ASSERT_TRUE(program.AddRel32Ref(program.Rel32LabelAt(rva)));
    ASSERT_TRUE(program.AddAbs32Ref(program.Abs32LabelAt(0x3000)));
    ASSERT_TRUE(program.AddAbs32Ref(program.Abs32LabelAt(0x500)));
    // Unnumbered until the parse is finished.
    EXPECT_EQ(program.rel32_labels().at(0x1000).index, -1);
    program.AssignLabelIndexes();

    const Label &low = program.rel32_labels().at(0x1000);
    const Label &high = program.rel32_labels().at(0x2000);
    EXPECT_EQ(low.index, 0);
    EXPECT_EQ(low.count, 1);
    EXPECT_EQ(high.index, 1);
    EXPECT_EQ(high.count, 3);
    // Absolute labels have their own numbering.
    EXPECT_EQ(program.abs32_labels().at(0x500).index, 0);
    EXPECT_EQ(program.abs32_labels().at(0x3000).index, 1);
    // The instructions point at the shared labels.
    EXPECT_EQ(program.instructions()[0]->label, &high);
    EXPECT_EQ(program.instructions()[1]->label, &low);
}

TEST(ParsedProgram, NumberingTwiceRenumbersAndReports)
{
    CapturingSink sink;
    ParsedProgram program;
    program.Rel32LabelAt(0x10);
    program.Rel32LabelAt(0x30);
    program.AssignLabelIndexes();
    EXPECT_THAT(sink.lines(), IsEmpty());
    program.Rel32LabelAt(0x20);
    program.AssignLabelIndexes();
    EXPECT_EQ(program.rel32_labels().at(0x30).index, 2);
    EXPECT_EQ(program.rel32_labels().at(0x20).index, 1);
    EXPECT_THAT(sink.lines(), ElementsAre("1 REACHED UNREACHABLE", "1 REACHED UNREACHABLE"));
}

TEST(ParsedProgram, ByteInstructionsAreSharedPerValue)
{
    ParsedProgram program;
    const uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(program.AddByteInsn(0x90));
    ASSERT_TRUE(program.AddBytesInsn(data, 3));
    ASSERT_TRUE(program.AddByteInsn(0x90));
    ASSERT_TRUE(program.AddByteInsn(0xC3));
    const auto &insns = program.instructions();
    ASSERT_EQ(insns.size(), 4u);
    EXPECT_EQ(insns[0], insns[2]);
    EXPECT_NE(insns[0], insns[3]);
    EXPECT_EQ(insns[0]->kind, INSN_BYTE);
    EXPECT_EQ(insns[3]->byte, 0xC3);
    EXPECT_EQ(insns[1]->kind, INSN_BYTES);
    EXPECT_EQ(insns[1]->data, data);
    EXPECT_EQ(insns[1]->size, 3u);
}

TEST(TrimLabels, ArmLabelsWithFiveReferencesOrFewerBecomeBytes)
{
    CapturingSink sink;
    ParsedProgram program(EXE_ELF_32_ARM);
    AddBranches(&program, 0x100, 1);
    AddBranches(&program, 0x200, 5);
    AddBranches(&program, 0x300, 6);
    AddBranches(&program, 0x400, 2);
    program.AssignLabelIndexes();
    ASSERT_EQ(TrimLabels(&program), C_OK);

    EXPECT_EQ(exetest::Describe(program), "BYTES(4) BYTES(4) BYTES(4) BYTES(4) BYTES(4) BYTES(4) "
                                          "ARM(44f7,300,4) ARM(44f7,300,4) ARM(44f7,300,4) ARM(44f7,300,4) "
                                          "ARM(44f7,300,4) ARM(44f7,300,4) BYTES(4) BYTES(4)");
    // The label kept keeps its index: the others leave holes.
    ASSERT_EQ(program.rel32_labels().size(), 1u);
    EXPECT_EQ(program.rel32_labels().at(0x300).index, 2);
    EXPECT_EQ(program.instructions()[0]->data, kInsn);
    EXPECT_THAT(sink.lines(), ElementsAre("3 TrimLabels: threshold 5"));
}

TEST(TrimLabels, ZeroSizedBranchFailsTheStep)
{
    ParsedProgram program(EXE_ELF_32_ARM);
    ASSERT_TRUE(program.AddArmRel32Ref(0x10D0, program.Rel32LabelAt(0x100), kInsn, 0));
    EXPECT_EQ(TrimLabels(&program), C_TRIM_FAILED);
}

TEST(TrimLabels, OtherKindsAreLeftAloneSilently)
{
    CapturingSink sink;
    for (ExecutableType kind :
         {EXE_WIN_32_X86, EXE_ELF_32_X86, EXE_WIN_32_X64, EXE_ELF_64_X64, EXE_MACHO_X86, EXE_MACHO_X64}) {
        ParsedProgram program(kind);
        ASSERT_TRUE(program.AddRel32Ref(program.Rel32LabelAt(0x100)));
        program.AssignLabelIndexes();
        EXPECT_EQ(TrimLabels(&program), C_OK);
        EXPECT_EQ(program.rel32_labels().size(), 1u);
        EXPECT_EQ(exetest::Describe(program), "REL32(100)");
    }
    EXPECT_THAT(sink.lines(), IsEmpty());
}
