// The rollback journal: undo order, failures that do not stop the playback, warning texts.
#include "installtestutil.h"
#include "rollback.h"
#include "testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using testutil::readFile;
using testutil::writeFile;

namespace {

class RollbackTest : public ::testing::Test {
protected:
    QString p(const QString &rel) const { return m_Dir.path() + "/" + rel; }
    QTemporaryDir m_Dir;
};

TEST_F(RollbackTest, EmptyJournalSucceedsSilently)
{
    MessageSink sink;
    RollbackDataList journal;
    EXPECT_TRUE(rollbackAll(journal, &sink));
    EXPECT_TRUE(sink.messages.isEmpty());
}

TEST_F(RollbackTest, NewestFirstRemovesFilesBeforeTheirDirectories)
{
    ASSERT_TRUE(QDir().mkpath(p("a/b")));
    ASSERT_TRUE(writeFile(p("a/b/f"), "x"));
    RollbackDataList journal;
    journal << RollbackData(RollbackData::DIR_CREATE, p("a"))
            << RollbackData(RollbackData::DIR_CREATE, p("a/b"))
            << RollbackData(RollbackData::FILE_CREATE, p("a/b/f"));
    MessageSink sink;
    // In any other order a directory would still hold something and its removal would fail.
    EXPECT_TRUE(rollbackAll(journal, &sink));
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join("\n").toStdString();
    EXPECT_FALSE(QFileInfo::exists(p("a")));
    EXPECT_TRUE(journal.isEmpty());
}

TEST_F(RollbackTest, DirectoryWithForeignFileStaysAndEarlierEntriesAreStillUndone)
{
    ASSERT_TRUE(writeFile(p("first"), "1"));
    ASSERT_TRUE(QDir().mkpath(p("a")));
    ASSERT_TRUE(writeFile(p("a/f"), "journaled"));
    ASSERT_TRUE(writeFile(p("a/foreign"), "not journaled"));
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_CREATE, p("first"))
            << RollbackData(RollbackData::DIR_CREATE, p("a"))
            << RollbackData(RollbackData::FILE_CREATE, p("a/f"));
    MessageSink sink;
    EXPECT_FALSE(rollbackAll(journal, &sink));
    EXPECT_EQ(sink.messages, QStringList{QString("warning: rollback create dir %1 failed").arg(p("a"))});
    EXPECT_FALSE(QFileInfo::exists(p("a/f")));
    EXPECT_EQ(readFile(p("a/foreign")), QByteArray("not journaled"));
    EXPECT_FALSE(QFileInfo::exists(p("first"))); // older than the failure, still undone
    EXPECT_TRUE(journal.isEmpty());
}

TEST_F(RollbackTest, EveryUndoFailingStillEmptiesTheJournalWithOneWarningEach)
{
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_CREATE, p("gone"))
            << RollbackData(RollbackData::DIR_CREATE, p("nodir"))
            << RollbackData(RollbackData::FILE_RENAME, p("x"), p("y"));
    MessageSink sink;
    EXPECT_FALSE(rollbackAll(journal, &sink));
    EXPECT_TRUE(journal.isEmpty());
    const QStringList expected = {QString("warning: rollback rename %1 to %2 failed").arg(p("x"), p("y")),
                                  QString("warning: rollback create dir %1 failed").arg(p("nodir")),
                                  QString("warning: rollback create file %1 failed").arg(p("gone"))};
    EXPECT_EQ(sink.messages, expected);
}

TEST_F(RollbackTest, RenameUndoMovesTheFileBack)
{
    ASSERT_TRUE(writeFile(p("y"), "content"));
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_RENAME, p("x"), p("y"));
    EXPECT_EQ(journal.first().originalPath, p("x"));
    EXPECT_EQ(journal.first().path, p("y"));
    MessageSink sink;
    EXPECT_TRUE(rollbackAll(journal, &sink));
    EXPECT_EQ(readFile(p("x")), QByteArray("content"));
    EXPECT_FALSE(QFileInfo::exists(p("y")));
}

TEST_F(RollbackTest, RenameUndoDoesNotOverwriteAFileThatTookTheOldName)
{
    ASSERT_TRUE(writeFile(p("y"), "moved"));
    ASSERT_TRUE(writeFile(p("x"), "newcomer"));
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_RENAME, p("x"), p("y"));
    MessageSink sink;
    EXPECT_FALSE(rollbackAll(journal, &sink));
    EXPECT_EQ(readFile(p("x")), QByteArray("newcomer"));
    EXPECT_EQ(readFile(p("y")), QByteArray("moved"));
    EXPECT_EQ(sink.messages.size(), 1);
}

TEST_F(RollbackTest, TargetWithoutMessageMemberLeavesADebugLine)
{
    QObject plain;
    LogCapture log;
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_CREATE, p("missing"));
    EXPECT_FALSE(rollbackAll(journal, &plain));
    EXPECT_GE(log.find("Warning: message signal was not found in RollbackData::message"), 0);
}

TEST_F(RollbackTest, NullTargetMakesFailuresSilent)
{
    LogCapture log;
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_CREATE, p("missing"));
    EXPECT_FALSE(rollbackAll(journal, nullptr));
    EXPECT_TRUE(journal.isEmpty());
    EXPECT_EQ(log.find("Warning"), -1);
}

} // namespace
