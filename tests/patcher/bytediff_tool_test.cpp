// tl3-release bytediff / bytepatch, run as the publisher runs them.
#include "testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray sampleFile(int n, unsigned seed)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = static_cast<char>((i % 7 == 0) ? (seed >> 24) : (i / 64));
    }
    return b;
}

int tool(const QStringList &args, QByteArray *err = nullptr)
{
    return testutil::runProgram(testutil::releaseTool(), args, nullptr, err);
}

} // namespace

TEST(BytediffTool, MakesAndAppliesPatchesInEveryMethod)
{
    QTemporaryDir dir;
    const QString oldPath = dir.filePath("old"), newPath = dir.filePath("new"),
                  emptyPath = dir.filePath("empty");
    QByteArray fresh = sampleFile(50000, 1);
    fresh.insert(1234, "a new piece of code");
    fresh[40000] = 'X';
    ASSERT_TRUE(testutil::writeFile(oldPath, sampleFile(50000, 1)));
    ASSERT_TRUE(testutil::writeFile(newPath, fresh));
    ASSERT_TRUE(testutil::writeFile(emptyPath, QByteArray()));

    const struct {
        QString from, to;
        QStringList method;
    } cases[] = {
        {oldPath, newPath, {}},
        {oldPath, newPath, {"--method", "0"}},
        {oldPath, newPath, {"--method", "1"}},
        {oldPath, newPath, {"--method", "2"}},
        {emptyPath, newPath, {}},
        {oldPath, emptyPath, {"--method", "2"}},
    };
    for (const auto &c : cases) {
        const QString patch = dir.filePath("patch"), result = dir.filePath("result");
        QByteArray err;
        ASSERT_EQ(tool(QStringList{"bytediff", c.from, c.to, patch} + c.method, &err), 0)
            << err.toStdString();
        ASSERT_EQ(tool({"bytepatch", c.from, patch, result}, &err), 0) << err.toStdString();
        EXPECT_EQ(testutil::readFile(result), testutil::readFile(c.to)) << c.method.join(' ').toStdString();
    }
}

TEST(BytediffTool, ExitStatusesAndReasons)
{
    QTemporaryDir dir;
    const QString oldPath = dir.filePath("old"), newPath = dir.filePath("new"), patch = dir.filePath("patch");
    ASSERT_TRUE(testutil::writeFile(oldPath, sampleFile(3000, 2)));
    ASSERT_TRUE(testutil::writeFile(newPath, sampleFile(3000, 3)));
    ASSERT_EQ(tool({"bytediff", oldPath, newPath, patch}), 0);
    QByteArray patchBytes = testutil::readFile(patch);
    const QString corrupt = dir.filePath("corrupt"), trailing = dir.filePath("trailing");
    ASSERT_TRUE(testutil::writeFile(corrupt, patchBytes.left(patchBytes.size() / 2)));
    ASSERT_TRUE(testutil::writeFile(trailing, patchBytes + "x"));
    const QString out = dir.filePath("out");

    const struct {
        QStringList args;
        int status;
    } cases[] = {
        {{"bytediff", oldPath, newPath}, 2},
        {{"bytediff", oldPath, newPath, patch, "--method", "3"}, 2},
        {{"bytediff", oldPath, newPath, patch, "--method"}, 2},
        {{"bytepatch", oldPath, patch}, 2},
        {{"bytediff", dir.filePath("missing"), newPath, patch}, 1},
        {{"bytepatch", oldPath, corrupt, out}, 1},
        {{"bytepatch", oldPath, trailing, out}, 1},
        {{"bytepatch", oldPath, patch, dir.filePath("no/such/dir/out")}, 1},
    };
    for (const auto &c : cases) {
        QByteArray err;
        EXPECT_EQ(tool(c.args, &err), c.status) << c.args.join(' ').toStdString();
        EXPECT_FALSE(err.trimmed().isEmpty());
        if (c.status == 1) {
            EXPECT_EQ(err.count('\n'), 1) << err.toStdString(); // one line of reason
        }
    }
    EXPECT_FALSE(QFile::exists(out)); // a failed patch writes nothing
}
