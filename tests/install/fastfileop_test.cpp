// Directory creation, deletion and renaming: outcome, texts, journal entries and what is left on disk.
#include "dircreatetaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "installtestutil.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using testutil::readFile;
using testutil::writeFile;

namespace {

// In the texts below "@" stands for the test's root directory.
struct FastCase {
    const char *name;
    std::function<void(const QString &root)> setUp;
    std::function<TaskSpecification *(const QString &root, RollbackDataList *journal)> make;
    int state;
    QStringList messages;
    QStringList journal; // "op path [originalPath]"
    QStringList present; // relative paths that must exist afterwards
    QStringList absent;  // relative paths that must not
};

QString journalText(const RollbackData &d, const QString &root)
{
    QString t = QString::number(d.op) + " " + QString(d.path).replace(root, "@");
    if (!d.originalPath.isEmpty())
        t += " " + QString(d.originalPath).replace(root, "@");
    return t;
}

void mkdirs(const QString &root, const QStringList &dirs)
{
    for (const QString &d : dirs)
        ASSERT_TRUE(QDir().mkpath(root + "/" + d));
}

const QString DIR = QString::number(RollbackData::DIR_CREATE);
const QString REN = QString::number(RollbackData::FILE_RENAME);

const FastCase kCases[] = {
    {"create existing dir",
     [](const QString &r) { mkdirs(r, {"a"}); },
     [](const QString &r, RollbackDataList *j) {
         return new DirCreateTaskSpecification(r + "/a", j, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {},
     {"a"},
     {}},
    {"create a/b/c below a",
     [](const QString &r) { mkdirs(r, {"a"}); },
     [](const QString &r, RollbackDataList *j) {
         return new DirCreateTaskSpecification(r + "/a/b/c", j, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {DIR + " @/a/b", DIR + " @/a/b/c"},
     {"a/b/c"},
     {}},
    {"create over a file",
     [](const QString &r) { writeFile(r + "/f", "x"); },
     [](const QString &r, RollbackDataList *j) {
         return new DirCreateTaskSpecification(r + "/f", j, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not create dir '@/f' because it already exists and is not a dir"},
     {},
     {"f"},
     {}},
    {"create below a file standing for a parent",
     [](const QString &r) { writeFile(r + "/f", "x"); },
     [](const QString &r, RollbackDataList *j) {
         return new DirCreateTaskSpecification(r + "/f/g/h", j, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not create dir '@/f' because it already exists and is not a dir"},
     {},
     {"f"},
     {"f/g"}},
    {"create relative single component",
     [](const QString &) {},
     [](const QString &, RollbackDataList *j) {
         return new DirCreateTaskSpecification("tl3_install_test_no_such_dir", j, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not create dir tl3_install_test_no_such_dir"},
     {},
     {},
     {}},

    {"delete missing, may fail",
     [](const QString &) {},
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(false, r + "/x", false, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {},
     {},
     {}},
    {"delete missing, must succeed",
     [](const QString &) {},
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(true, r + "/x", false, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not delete '@/x'"},
     {},
     {},
     {}},
    {"delete file",
     [](const QString &r) { writeFile(r + "/x", "1"); },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(true, r + "/x", false, nullptr, 1);
     },
     TASK_FINISHED,
     {"Deleted file '@/x'"},
     {},
     {},
     {"x"}},
    {"delete non-empty dir, not recursive, may fail",
     [](const QString &r) { writeFile(r + "/d/f", "1"); },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(false, r + "/d", false, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {},
     {"d/f"},
     {}},
    {"delete non-empty dir, not recursive, must succeed",
     [](const QString &r) { writeFile(r + "/d/f", "1"); },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(true, r + "/d", false, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not delete '@/d'"},
     {},
     {"d/f"},
     {}},
    {"delete tree recursively",
     [](const QString &r) { writeFile(r + "/d/e/f", "1"); },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(true, r + "/d", true, nullptr, 1);
     },
     TASK_FINISHED,
     {"Recursively deleted directory '@/d'"},
     {},
     {},
     {"d"}},
    {"delete empty dir and the parent it empties",
     [](const QString &r) {
         mkdirs(r, {"keep/a/b"});
         writeFile(r + "/keep/stay", "1");
     },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(false, r + "/keep/a/b", false, nullptr, 1);
     },
     TASK_FINISHED,
     {"Deleted directory '@/keep/a/b'"},
     {},
     {"keep/stay"},
     {"keep/a"}},
    {"delete link to a directory removes the link only",
     [](const QString &r) {
         writeFile(r + "/target/f", "1");
         QFile::link(r + "/target", r + "/link");
     },
     [](const QString &r, RollbackDataList *) {
         return new FileDeleteTaskSpecification(true, r + "/link", true, nullptr, 1);
     },
     TASK_FINISHED,
     {"Deleted file '@/link'"},
     {},
     {"target/f"},
     {"link"}},

    {"rename",
     [](const QString &r) { writeFile(r + "/x", "1"); },
     [](const QString &r, RollbackDataList *j) {
         return new FileRenameTaskSpecification(r + "/x", r + "/y", j, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {REN + " @/y @/x"},
     {"y"},
     {"x"}},
    {"rename into a missing directory level",
     [](const QString &r) { writeFile(r + "/x", "1"); },
     [](const QString &r, RollbackDataList *j) {
         return new FileRenameTaskSpecification(r + "/x", r + "/d/y", j, nullptr, 1);
     },
     TASK_FINISHED,
     {},
     {REN + " @/d/y @/x"},
     {"d/y"},
     {"x"}},
    {"rename onto an existing name",
     [](const QString &r) {
         writeFile(r + "/x", "1");
         writeFile(r + "/y", "2");
     },
     [](const QString &r, RollbackDataList *j) {
         return new FileRenameTaskSpecification(r + "/x", r + "/y", j, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not rename '@/x' to '@/y'"},
     {},
     {"x", "y"},
     {}},
    {"rename a missing file",
     [](const QString &) {},
     [](const QString &r, RollbackDataList *j) {
         return new FileRenameTaskSpecification(r + "/x", r + "/y", j, nullptr, 1);
     },
     TASK_FAILED,
     {"Could not rename '@/x' to '@/y'"},
     {},
     {},
     {"y"}},
};

TEST(FastFileOps, TableOfCases)
{
    for (const FastCase &c : kCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString root = dir.path();
        c.setUp(root);
        RollbackDataList journal;
        TaskSpecification *task = c.make(root, &journal);
        TaskRecorder rec(task);
        QList<qreal> progress;
        QObject::connect(task, &TaskSpecification::updateProgress, [&](qreal p) { progress << p; });

        task->execute();
        // A fast operation has ended by the time execute() returns.
        EXPECT_EQ(rec.ends, 1);
        EXPECT_EQ(task->m_TaskState, c.state);
        EXPECT_EQ(rec.messages.replaceInStrings(root, "@"), c.messages);
        EXPECT_TRUE(rec.errors.isEmpty());
        if (c.state == TASK_FINISHED) {
            EXPECT_EQ(progress, QList<qreal>{1.0});
        }
        QStringList got;
        for (const RollbackData &d : journal)
            got << journalText(d, root);
        EXPECT_EQ(got, c.journal);
        for (const QString &p : c.present)
            EXPECT_TRUE(QFileInfo::exists(root + "/" + p)) << p.toStdString();
        for (const QString &p : c.absent)
            EXPECT_FALSE(QFileInfo(root + "/" + p).exists() || QFileInfo(root + "/" + p).isSymLink())
                << p.toStdString();
        delete task;
    }
}

TEST(FastFileOps, JournaledChangesAreUndoneByPlayback)
{
    QTemporaryDir dir;
    const QString root = dir.path();
    ASSERT_TRUE(writeFile(root + "/x", "installed"));
    const QStringList before = treeListing(root);
    RollbackDataList journal;
    DirCreateTaskSpecification mk(root + "/a/b", &journal, nullptr, 1);
    FileRenameTaskSpecification mv(root + "/x", root + "/a/b/x", &journal, nullptr, 1);
    mk.execute();
    mv.execute();
    ASSERT_EQ(mv.m_TaskState, TASK_FINISHED);
    ASSERT_EQ(journal.size(), 3);
    EXPECT_TRUE(rollbackAll(journal, &mv));
    EXPECT_EQ(treeListing(root), before);
}

TEST(FastFileOps, NullJournalRecordsNothingButStillWorks)
{
    QTemporaryDir dir;
    DirCreateTaskSpecification mk(dir.path() + "/a/b", nullptr, nullptr, 0.5);
    mk.execute();
    EXPECT_EQ(mk.m_TaskState, TASK_FINISHED);
    EXPECT_DOUBLE_EQ(mk.m_Progress, 0.5);
    EXPECT_TRUE(QFileInfo(dir.path() + "/a/b").isDir());
}

} // namespace
