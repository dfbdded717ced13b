// The deletion list: best-effort removal below the installation directory.
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "installtestutil.h"
#include "testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using testutil::writeFile;

namespace {

TEST(FileDeleteList, EmptyListAnnouncesAndFinishes)
{
    QTemporaryDir dir;
    Configuration config;
    config.m_InstallDir = dir.path();
    QList<DeleteEntry> deletes;
    FileDeleteListTaskSpecification task(&deletes, &config, nullptr, 0.05);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    EXPECT_EQ(rec.messages, QStringList{"Starting deleting files"});
}

TEST(FileDeleteList, RemovesWhatItCanAndAlwaysFinishes)
{
    QTemporaryDir dir;
    const QString root = dir.path();
    writeFile(root + "/old.txt", "1");
    writeFile(root + "/full/keep.txt", "2");
    writeFile(root + "/tree/sub/f", "3");
    QDir().mkpath(root + "/a/b");
    writeFile(root + "/stay.txt", "4");
    Configuration config;
    config.m_InstallDir = root;
    QList<DeleteEntry> deletes = {
        {"missing.txt", false}, {"old.txt", false}, {"full", false}, {"tree", true}, {"a/b", false}};
    FileDeleteListTaskSpecification task(&deletes, &config, nullptr, 0.05);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    const QStringList expected = {"Starting deleting files", "Deleted file '@/old.txt'",
                                  "Recursively deleted directory '@/tree'", "Deleted directory '@/a/b'"};
    EXPECT_EQ(rec.messages.replaceInStrings(root, "@"), expected);
    EXPECT_FALSE(QFileInfo::exists(root + "/old.txt"));
    EXPECT_TRUE(QFileInfo::exists(root + "/full/keep.txt"));
    EXPECT_FALSE(QFileInfo::exists(root + "/tree"));
    EXPECT_FALSE(QFileInfo::exists(root + "/a")); // emptied by the removal of a/b
    EXPECT_TRUE(QFileInfo::exists(root + "/stay.txt"));
    EXPECT_DOUBLE_EQ(task.m_Progress, 0.05);
}

TEST(FileDeleteList, PathsLeadingOutOfTheInstallationAreSkipped)
{
    QTemporaryDir dir;
    const QString install = dir.path() + "/install";
    writeFile(dir.path() + "/outside.txt", "1");
    writeFile(dir.path() + "/outdir/f", "2");
    writeFile(install + "/inside.txt", "3");
    writeFile(install + "/d/keep", "4");
    Configuration config;
    config.m_InstallDir = install;
    QList<DeleteEntry> deletes = {{"../outside.txt", false},
                                  {"d/../../outdir", true},
                                  {dir.path() + "/outside.txt", false},
                                  {"", true},
                                  {".", true},
                                  {"d/..", true},
                                  {"d/../inside.txt", false}};
    FileDeleteListTaskSpecification task(&deletes, &config, nullptr, 0.05);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/outside.txt"));
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/outdir/f"));
    EXPECT_TRUE(QFileInfo::exists(install + "/d/keep"));
    EXPECT_FALSE(QFileInfo::exists(install + "/inside.txt")); // stays inside after cleaning: removed
}

TEST(FileDeleteList, CancelBeforeStartDeletesNothing)
{
    QTemporaryDir dir;
    writeFile(dir.path() + "/old.txt", "1");
    Configuration config;
    config.m_InstallDir = dir.path();
    QList<DeleteEntry> deletes = {{"old.txt", false}};
    FileDeleteListTaskSpecification task(&deletes, &config, nullptr, 0.05);
    task.cancel();
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_CANCELED);
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/old.txt"));
}

} // namespace
