// tl3-release inspect over the fixtures and files that are not executables.
#include "exe_builders.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <utility>

namespace {

struct ToolRun {
    int status;
    std::string out;
};

ToolRun Inspect(const QString &path)
{
    QByteArray out, err;
    const int status = testutil::runProgram(testutil::releaseTool(), {"inspect", path}, &out, &err);
    return {status, out.toStdString()};
}

QString WriteTemp(const QTemporaryDir &dir, const char *name, const exetest::Bytes &bytes)
{
    const QString path = dir.filePath(name);
    testutil::writeFile(path, QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())));
    return path;
}

// File offset of a PE image's section table.
size_t PeSectionTable(const exetest::Bytes &pe)
{
    const size_t peOffset = pe[60] | pe[61] << 8;
    return peOffset + 24 + (pe[peOffset + 20] | pe[peOffset + 21] << 8);
}

} // namespace

TEST(Inspect, FixturesRoundTripIdentically)
{
    const std::pair<const char *, const char *> cases[] = {
        {"elf32_x86.so", "0 1912 EXE_ELF_32_X86 abs32=4 rel32=11 roundtrip=identical\n"},
        {"elf32_arm.so", "0 1088 ELF_32_ARM abs32=4 rel32=1 roundtrip=identical\n"},
        {"elf64_x64.so", "0 2800 ELF_64_X64 abs32=0 rel32=13 roundtrip=identical\n"},
        {"pe32.exe", "0 2048 WIN_32_X86 abs32=6 rel32=7 roundtrip=identical\n"},
        {"pe64.exe", "0 2048 WIN_32_X64 abs32=4 rel32=7 roundtrip=identical\n"},
        {"macho_x64", "0 8192 MACHO_X64 abs32=0 rel32=8 roundtrip=identical\n"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Inspect(testutil::fixture(QString("exe/") + c.first));
        EXPECT_EQ(run.status, 0) << c.first;
        EXPECT_EQ(run.out, c.second) << c.first;
    }
}

TEST(Inspect, ReportsWhatIsNotAnExecutableAndWhatDiffers)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    exetest::Bytes elf = exetest::ReadFixture("elf32_x86.so");
    elf.pop_back(); // the section table now reaches past the end
    exetest::Bytes pe = exetest::ReadFixture("pe32.exe");
    std::memcpy(&pe[PeSectionTable(pe)], ".data\0\0\0", 8); // the only code section renamed
    struct Case {
        const char *name;
        exetest::Bytes bytes;
        const char *out;
    };
    const Case cases[] = {
        {"script.so", exetest::Bytes(100, 'a'), "not an executable: no executable header found\n"},
        {"empty", {}, "not an executable: no executable header found\n"},
        {"cut.so", elf, "not an executable: Out of bounds section header table\n"},
        {"data.dll", pe, "not an executable: Resource-only executables are not yet supported\n"},
    };
    for (const Case &c : cases) {
        const ToolRun run = Inspect(WriteTemp(dir, c.name, c.bytes));
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_EQ(run.out, c.out) << c.name;
    }

    // Base relocations out of order: the parse is the same, but assembly writes them sorted.
    exetest::Bytes swapped = exetest::ReadFixture("pe32.exe");
    const size_t relocHeader = PeSectionTable(swapped) + 2 * 40;
    ASSERT_EQ(std::string(reinterpret_cast<const char *>(&swapped[relocHeader])), ".reloc");
    const size_t relocRaw = swapped[relocHeader + 20] | swapped[relocHeader + 21] << 8;
    std::swap(swapped[relocRaw + 8], swapped[relocRaw + 10]);
    std::swap(swapped[relocRaw + 9], swapped[relocRaw + 11]);
    const ToolRun run = Inspect(WriteTemp(dir, "swapped.exe", swapped));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "0 2048 WIN_32_X86 abs32=6 rel32=7 roundtrip=differs\n");

    EXPECT_EQ(Inspect(dir.filePath("missing")).status, 1);
    QByteArray out, err;
    EXPECT_EQ(testutil::runProgram(testutil::releaseTool(), {"inspect"}, &out, &err), 2);
}
