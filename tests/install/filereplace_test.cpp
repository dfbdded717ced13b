// File replacement: directory tasks, the per-file operations, the executable flag, and the
// installation tree put back byte for byte after a failure or a cancel.
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "installtestutil.h"
#include "patcher/ensemble_generator.h"
#include "patcher/packed_file.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>

using testutil::readFile;
using testutil::runProgram;
using testutil::writeFile;

namespace {

QString sha512(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex();
}

int modeOf(const QString &path)
{
    struct stat st;
    if (stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mode & 07777;
}

QByteArray sample(int size, int seed)
{
    QByteArray data;
    data.reserve(size);
    for (int i = 0; i < size; ++i)
        data.append(char((i * 31 + seed) ^ (i >> 7) ^ (i % 251 == 0 ? seed : 0)));
    return data;
}

class FileReplaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Install = m_Root.path() + "/install";
        m_Temp = m_Root.path() + "/temp";
        ASSERT_TRUE(QDir().mkpath(m_Install));
        ASSERT_TRUE(QDir().mkpath(m_Temp));
        m_Config.m_InstallDir = m_Install;
        m_Config.m_TempDir = m_Temp;
    }

    QString I(const QString &rel) const { return m_Install + "/" + rel; }
    QString T(const QString &rel) const { return m_Temp + "/" + rel; }

    void installed(const QString &rel, const QByteArray &data, int mode = 0644)
    {
        ASSERT_TRUE(writeFile(I(rel), data));
        ASSERT_EQ(chmod(QFile::encodeName(I(rel)).constData(), mode), 0);
    }

    // A download in the session directory made by gzip.
    void gzipDownload(const QString &rel, const QByteArray &content)
    {
        ASSERT_TRUE(writeFile(T(rel) + ".in", content));
        QByteArray gz;
        ASSERT_EQ(runProgram("gzip", {"-c", "-n", T(rel) + ".in"}, &gz), 0);
        QFile::remove(T(rel) + ".in");
        ASSERT_TRUE(writeFile(T(rel), gz));
    }

    void packedDownload(const QString &rel, const QByteArray &content)
    {
        ASSERT_TRUE(writeFile(T(rel) + ".in", content));
        ASSERT_TRUE(
            patcher::PackFile(T(rel + ".in").toUtf8().constData(), T(rel).toUtf8().constData(), true));
        QFile::remove(T(rel) + ".in");
    }

    // A patch in the session directory made by the ensemble generator.
    void patchDownload(const QString &rel, const QByteArray &oldData, const QByteArray &newData)
    {
        ASSERT_TRUE(writeFile(T(rel) + ".old", oldData));
        ASSERT_TRUE(writeFile(T(rel) + ".new", newData));
        ASSERT_TRUE(patcher::GenerateEnsemblePatch(T(rel + ".old").toUtf8().constData(),
                                                   T(rel + ".new").toUtf8().constData(),
                                                   T(rel).toUtf8().constData()));
        QFile::remove(T(rel) + ".old");
        QFile::remove(T(rel) + ".new");
    }

    static ReplaceEntry entry(const QString &name, const QString &target = QString(),
                              const QString &targetSha512 = QString(), const QString &patchName = QString())
    {
        ReplaceEntry e;
        e.name = name;
        e.target = target;
        e.targetSha512 = targetSha512;
        e.patchName = patchName;
        return e;
    }

    // The installation tree of the scenario tests and the downloads that update it. The last
    // entry is a packed file, so that a wrong digest there fails after everything else was done.
    struct Expected {
        QString path;
        QByteArray content;
        int mode;
    };
    void buildScenario()
    {
        const QByteArray oldProgram = readFile(testutil::fixture("ensemble/elf64_x64.old"));
        const QByteArray newProgram = readFile(testutil::fixture("ensemble/elf64_x64.new"));
        const QByteArray lib = readFile(testutil::fixture("ensemble/elf32_x86.new"));
        ASSERT_FALSE(oldProgram.isEmpty() || newProgram.isEmpty() || lib.isEmpty());

        installed("tl3client_runscript.sh", "#!/bin/sh\necho old\n", 0644); // out of date, made executable
        installed("data/table.bin", sample(30000, 1));                      // replaced through gzip
        installed("bin/tl3client_linux_amd64", oldProgram, 0755);           // patched
        installed("foreign.cfg", "not in the list", 0600);
        ASSERT_TRUE(QDir().mkpath(I("a")));
        ASSERT_TRUE(QDir().mkpath(I("docs")));

        const QByteArray script = "#!/bin/sh\necho new\n";
        const QByteArray doc = "a new document";
        const QByteArray deep = "deep below a missing directory";
        const QByteArray table = sample(40000, 3);
        ASSERT_TRUE(writeFile(T("tl3client_runscript.sh"), script));
        ASSERT_TRUE(writeFile(T("docs/new.txt"), doc));
        ASSERT_TRUE(writeFile(T("a/b/c/deep.txt"), deep));
        gzipDownload("data/table.bin.gz", table);
        patchDownload("bin/tl3client_linux_amd64_patch_", oldProgram, newProgram);
        packedDownload("lib/libfoo.so.5._lzma2_", lib); // an executable: packed as encoded program

        m_List = {entry("tl3client_runscript.sh"),
                  entry("docs/new.txt"),
                  entry("a/b/c/deep.txt"),
                  entry("data/table.bin.gz", "data/table.bin", sha512(table)),
                  entry("bin/tl3client_linux_amd64._lzma2_", "bin/tl3client_linux_amd64", sha512(newProgram),
                        "bin/tl3client_linux_amd64_patch_"),
                  entry("lib/libfoo.so.5._lzma2_", "lib/libfoo.so.5", sha512(lib))};
        m_Expected = {{"tl3client_runscript.sh", script, 0777},
                      {"docs/new.txt", doc, 0644},
                      {"a/b/c/deep.txt", deep, 0644},
                      {"data/table.bin", table, 0644},
                      {"bin/tl3client_linux_amd64", newProgram, 0777},
                      {"lib/libfoo.so.5", lib, 0777},
                      {"foreign.cfg", "not in the list", 0600}};
    }

    QList<ReplaceEntry> m_List;
    QList<Expected> m_Expected;
    QTemporaryDir m_Root;
    QString m_Install;
    QString m_Temp;
    Configuration m_Config;
};

TEST_F(FileReplaceTest, EmptyListFinishesAtOnce)
{
    QList<ReplaceEntry> list;
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    EXPECT_EQ(rec.messages, QStringList{"Starting file updates"});
    EXPECT_TRUE(task.m_SubTasks.isEmpty());
}

TEST_F(FileReplaceTest, MissingDirectoriesGetOneTaskEach)
{
    ASSERT_TRUE(QDir().mkpath(I("a")));
    ASSERT_TRUE(QDir().mkpath(I("present")));
    for (const char *name : {"z/one", "z/two", "a/b/c/deep", "present/p", "top"})
        ASSERT_TRUE(writeFile(T(name), name));
    QList<ReplaceEntry> list = {entry("z/one"), entry("z/two"), entry("a/b/c/deep"), entry("present/p"),
                                entry("top")};
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);

    QStringList dirTasks;
    qreal fileWeights = 0;
    for (TaskSpecification *t : task.m_SubTasks) {
        if (qobject_cast<DirCreateTaskSpecification *>(t)) {
            dirTasks << QString::number(t->m_Weight);
        } else {
            ASSERT_TRUE(qobject_cast<FileReplaceTaskSpecification *>(t));
            fileWeights += t->m_Weight;
        }
    }
    EXPECT_EQ(dirTasks, (QStringList{"0.05", "0.05"})); // a/b/c and z, each 0.1 / 2
    EXPECT_NEAR(fileWeights, 0.9, 1e-9);
    EXPECT_EQ(task.m_SubTasks.size(), 7);
    for (const char *name : {"z/one", "z/two", "a/b/c/deep", "present/p", "top"})
        EXPECT_EQ(readFile(I(name)), QByteArray(name)) << name;
}

TEST_F(FileReplaceTest, ExecutableNamesAndSuffixes)
{
    const struct {
        const char *name;
        bool executable;
    } cases[] = {
        {"tl3client_linux_x86", true},
        {"tl3client_linux_amd64", true},
        {"tl3client_runscript.sh", true},
        {"update", true},
        {"error_report", true},
        {"package_inst", true},
        {"QtWebEngineProcess", true},
        {"libfoo.so", true},
        {"libfoo.so.0", true},
        {"libfoo.so.1", true},
        {"libfoo.so.4", true},
        {"libfoo.so.5", true},
        {"libfoo.so.5.6", false}, // the complete suffix counts, not the last one
        {"libfoo.so.2", false},
        {"Update", false},
        {"update.sh", false},
        {"readme.txt", false},
        {"sub.so/readme", false}, // only the file name is looked at
    };
    FileReplaceTaskSpecification task(entry("x"), nullptr, &m_Config, nullptr, 1.0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        installed(c.name, "x", 0644);
        task.makeSingleFileExecutable(I(c.name));
        EXPECT_EQ(modeOf(I(c.name)), c.executable ? 0777 : 0644);
    }
}

TEST_F(FileReplaceTest, PathsLeadingOutOfTheDirectoriesAreRefusedBeforeAnyChange)
{
    ASSERT_TRUE(writeFile(T("fine"), "1"));
    ASSERT_TRUE(writeFile(m_Root.path() + "/escaped.gz", "2"));
    const QList<ReplaceEntry> bad = {entry("../escaped.gz"), entry("fine", "../../outside"),
                                     entry("fine", "x", "", "../p_patch_"), entry("fine", "/abs/path")};
    for (const ReplaceEntry &b : bad) {
        SCOPED_TRACE(b.destinationPath().toStdString());
        QList<ReplaceEntry> list = {entry("fine"), b};
        const QStringList before = treeListing(m_Root.path());
        FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
        TaskRecorder rec(&task);
        EXPECT_EQ(rec.run(), TASK_FAILED);
        EXPECT_EQ(treeListing(m_Root.path()), before);
        ASSERT_EQ(rec.messages.size(), 2);
        EXPECT_TRUE(rec.messages[1].startsWith("Refusing to install"));
    }
}

TEST_F(FileReplaceTest, InstallationTreeIsUpdated)
{
    buildScenario();
    FileReplaceListTaskSpecification task(&m_List, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED) << rec.messages.join("\n").toStdString();
    for (const Expected &e : m_Expected) {
        SCOPED_TRACE(e.path.toStdString());
        EXPECT_EQ(sha512(readFile(I(e.path))), sha512(e.content));
        EXPECT_EQ(modeOf(I(e.path)), e.mode);
    }
    EXPECT_EQ(rec.messages.first(), "Starting file updates");
    EXPECT_TRUE(rec.messages.contains("add/replace data/table.bin.gz"));
    EXPECT_FALSE(rec.messages.contains("rolling back file updates"));
    EXPECT_DOUBLE_EQ(task.m_Progress, 0.4);
    // The replaced files wait in the session directory, which is removed after a good run.
    EXPECT_EQ(readFile(T("tl3client_runscript.sh_replaced_")), QByteArray("#!/bin/sh\necho old\n"));
    EXPECT_EQ(readFile(T("data/table.bin_replaced_")), sample(30000, 1));
}

TEST_F(FileReplaceTest, UnpackerIsChosenByTheDownloadSuffix)
{
    const QByteArray content = "bytes that are neither gzip nor a container";
    const struct {
        const char *name;
        bool containerUnpacker;
    } cases[] = {
        {"f._lzma2_", true}, {"f._LZMA2_", false}, {"f.lzma2", false}, {"f", false}, {"f.gz", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(I("target"));
        ASSERT_TRUE(writeFile(T(c.name), content));
        QList<ReplaceEntry> list = {entry(c.name, "target", sha512(content))};
        FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
        TaskRecorder rec(&task);
        if (c.containerUnpacker) {
            EXPECT_EQ(rec.run(), TASK_FAILED);
            EXPECT_TRUE(
                rec.messages.contains(QString("Could not unpack '%1' to '%2'").arg(T(c.name), I("target"))));
            EXPECT_FALSE(QFileInfo::exists(I("target")));
        } else {
            // zlib's reader passes bytes that are not gzip through unchanged.
            EXPECT_EQ(rec.run(), TASK_FINISHED);
            EXPECT_EQ(readFile(I("target")), content);
        }
    }
}

TEST_F(FileReplaceTest, DigestMismatchInTheLastFileRestoresTheTree)
{
    buildScenario();
    m_List.last().targetSha512 = sha512("something else");
    const QStringList before = treeListing(m_Install);
    FileReplaceListTaskSpecification task(&m_List, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_EQ(treeListing(m_Install), before);
    EXPECT_TRUE(rec.messages.contains("Signature check failed for " + I("lib/libfoo.so.5")));
    EXPECT_TRUE(rec.messages.contains("rolling back file updates"));
    EXPECT_EQ(rec.messages.filter("warning").size(), 0) << rec.messages.join("\n").toStdString();
}

TEST_F(FileReplaceTest, CancelInTheMiddleRestoresTheTree)
{
    buildScenario();
    const QStringList before = treeListing(m_Install);
    FileReplaceListTaskSpecification task(&m_List, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    bool changedWhenCanceled = false;
    // The user cancels once the fourth file has started; files already in progress complete.
    QObject::connect(&task, &TaskSpecification::message, [&](QString text) {
        if (text == "add/replace data/table.bin.gz")
            QTimer::singleShot(0, &task, [&] {
                changedWhenCanceled = treeListing(m_Install) != before;
                task.cancel();
            });
    });
    EXPECT_EQ(rec.run(), TASK_CANCELED);
    EXPECT_TRUE(changedWhenCanceled);
    EXPECT_EQ(treeListing(m_Install), before);
    EXPECT_TRUE(rec.messages.contains("rolling back file updates"));
    EXPECT_FALSE(rec.messages.contains("add/replace lib/libfoo.so.5._lzma2_"));
}

TEST_F(FileReplaceTest, PatchOfAMissingInstalledFileFailsAndRollsBack)
{
    const QByteArray oldData = sample(20000, 5), newData = sample(21000, 6);
    patchDownload("f_patch_", oldData, newData);
    ASSERT_TRUE(writeFile(T("other.txt"), "other"));
    QList<ReplaceEntry> list = {entry("other.txt"), entry("f._lzma2_", "sub/f", sha512(newData), "f_patch_")};
    LogCapture log;
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_GE(log.find(QString("Copy \"%1\" -> \"%2\" false").arg(I("sub/f"), T("sub/f_old"))), 0)
        << log.lines().join("\n").toStdString();
    EXPECT_TRUE(rec.messages.contains("Patching sub/f"));
    EXPECT_TRUE(
        rec.messages.contains(QString("Could not patch '%1' to '%2'").arg(T("sub/f_old"), I("sub/f"))));
    EXPECT_TRUE(rec.messages.contains("rolling back file updates"));
    EXPECT_FALSE(QFileInfo::exists(I("other.txt")));
    EXPECT_FALSE(QFileInfo::exists(I("sub"))); // the directory made for it is gone again
}

TEST_F(FileReplaceTest, PatchIsAppliedToACopyOfTheInstalledFile)
{
    const QByteArray oldData = sample(20000, 5), newData = sample(21000, 6);
    installed("f", oldData, 0640);
    patchDownload("f_patch_", oldData, newData);
    ASSERT_TRUE(writeFile(T("f_old"), "stale copy of an earlier run"));
    QList<ReplaceEntry> list = {entry("f._lzma2_", "f", sha512(newData), "f_patch_")};
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED) << rec.messages.join("\n").toStdString();
    EXPECT_EQ(readFile(I("f")), newData);
    EXPECT_EQ(readFile(T("f_old")), oldData); // the stale copy was replaced before patching
}

TEST_F(FileReplaceTest, ResetUndoesWhatTheListInstalled)
{
    installed("old.txt", "installed before", 0600);
    ASSERT_TRUE(writeFile(T("old.txt"), "new version"));
    ASSERT_TRUE(writeFile(T("n/new.txt"), "new file"));
    const QStringList before = treeListing(m_Install);
    QList<ReplaceEntry> list = {entry("old.txt"), entry("n/new.txt")};
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    ASSERT_EQ(rec.run(), TASK_FINISHED);
    ASSERT_NE(treeListing(m_Install), before);
    task.reset();
    EXPECT_EQ(task.m_TaskState, TASK_IDLE);
    EXPECT_EQ(treeListing(m_Install), before);
}

TEST_F(FileReplaceTest, RollbackWarningsAreMessagesOfTheList)
{
    ASSERT_TRUE(writeFile(T("a/b/c/deep.txt"), "deep"));
    ASSERT_TRUE(writeFile(T("late.gz"), "not gzip, copied through"));
    QList<ReplaceEntry> list = {entry("a/b/c/deep.txt"), entry("late.gz", "late", sha512("other"))};
    FileReplaceListTaskSpecification task(&list, &m_Config, nullptr, 0.4);
    TaskRecorder rec(&task);
    // Something outside the updater drops a file into a directory the list created.
    QObject::connect(&task, &TaskSpecification::message, [&](QString text) {
        if (text == "add/replace late.gz")
            writeFile(I("a/b/c/intruder"), "x");
    });
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_TRUE(rec.messages.contains(QString("warning: rollback create dir %1 failed").arg(I("a/b/c"))))
        << rec.messages.join("\n").toStdString();
    EXPECT_FALSE(QFileInfo::exists(I("a/b/c/deep.txt")));
    EXPECT_TRUE(QFileInfo::exists(I("a/b/c/intruder")));
}

} // namespace
