// The release tool's pack, unpack, patch and apply commands: round trips through files, exit status
// and messages on failure, usage errors.
#include "testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ToolRun {
    int code;
    QByteArray err;
};

ToolRun tool(const QStringList &args)
{
    ToolRun r;
    r.code = testutil::runProgram(testutil::releaseTool(), args, nullptr, &r.err);
    return r;
}

QString ensembleFixture(const char *name)
{
    return testutil::fixture(QStringLiteral("ensemble/") + QLatin1String(name));
}

} // namespace

TEST(ReleaseToolPacking, PackUnpackPatchApplyRoundTrip)
{
    QTemporaryDir dir;
    for (const char *kind : {"pe32", "elf64_x64"}) {
        SCOPED_TRACE(kind);
        const QString old = ensembleFixture((std::string(kind) + ".old").c_str());
        const QString target = ensembleFixture((std::string(kind) + ".new").c_str());
        for (const QStringList &flags : {QStringList(), QStringList{"--plain"}}) {
            ASSERT_EQ(tool(QStringList{"pack", target, dir.filePath("packed")} + flags).code, 0);
            ASSERT_EQ(tool({"unpack", dir.filePath("packed"), dir.filePath("unpacked")}).code, 0);
            EXPECT_EQ(testutil::readFile(dir.filePath("unpacked")), testutil::readFile(target));
        }
        const ToolRun made = tool({"patch", old, target, dir.filePath("patch")});
        ASSERT_EQ(made.code, 0) << made.err.toStdString();
        EXPECT_TRUE(made.err.contains("1 executable(s) paired")) << made.err.toStdString();
        ASSERT_EQ(tool({"apply", old, dir.filePath("patch"), dir.filePath("rebuilt")}).code, 0);
        EXPECT_EQ(testutil::readFile(dir.filePath("rebuilt")), testutil::readFile(target));
    }
}

TEST(ReleaseToolPacking, FailuresAndUsage)
{
    QTemporaryDir dir;
    const QString old = ensembleFixture("pe32.old"), target = ensembleFixture("pe32.new");
    ASSERT_EQ(tool({"patch", old, target, dir.filePath("patch")}).code, 0);

    // The wrong old file: status 8 with its meaning, exit status 1, no output file.
    const ToolRun wrongOld = tool({"apply", target, dir.filePath("patch"), dir.filePath("out")});
    EXPECT_EQ(wrongOld.code, 1);
    EXPECT_TRUE(wrongOld.err.contains("status 8: checksum mismatch")) << wrongOld.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("out")));
    // Not a patch at all.
    const ToolRun notPatch = tool({"apply", old, old, dir.filePath("out")});
    EXPECT_EQ(notPatch.code, 1);
    EXPECT_TRUE(notPatch.err.contains("status 5: bad magic")) << notPatch.err.toStdString();
    // Not a container.
    EXPECT_EQ(tool({"unpack", old, dir.filePath("out")}).code, 1);
    EXPECT_EQ(tool({"pack", dir.filePath("absent"), dir.filePath("out")}).code, 1);
    EXPECT_FALSE(QFile::exists(dir.filePath("out")));

    for (const QStringList &args :
         {QStringList{"pack", old}, QStringList{"unpack", old}, QStringList{"patch", old, target},
          QStringList{"apply", old, old}, QStringList{"apply", old, old, old, old}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ToolRun r = tool(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains("usage: tl3-release")) << r.err.toStdString();
    }
}
