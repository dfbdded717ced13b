// Compilation of the work lists from a product ini against small install trees. Digests are made
// by sha512sum, not by the code under test.
#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "testhttpserver.h"
#include "testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Comparisons and printing for the list records (ADL finds them in the global namespace).
static bool operator==(const DownloadEntry &a, const DownloadEntry &b)
{
    return a.section == b.section && a.name == b.name && a.sha512 == b.sha512 && a.size == b.size;
}
static bool operator==(const ReplaceEntry &a, const ReplaceEntry &b)
{
    return a.section == b.section && a.name == b.name && a.targetSha512 == b.targetSha512 &&
           a.targetSize == b.targetSize && a.target == b.target && a.patchName == b.patchName;
}
static bool operator==(const DeleteEntry &a, const DeleteEntry &b)
{
    return a.path == b.path && a.recursive == b.recursive;
}
static bool operator==(const InstallCommand &a, const InstallCommand &b)
{
    return a.name == b.name && a.args == b.args;
}

static std::ostream &operator<<(std::ostream &o, const DownloadEntry &e)
{
    return o << "{" << e.section.toStdString() << ", " << e.name.toStdString() << ", "
             << e.sha512.left(8).toStdString() << ", " << e.size << "}";
}
static std::ostream &operator<<(std::ostream &o, const ReplaceEntry &e)
{
    return o << "{" << e.section.toStdString() << ", " << e.name.toStdString() << ", "
             << e.targetSha512.left(8).toStdString() << ", " << e.targetSize << ", " << e.target.toStdString()
             << ", " << e.patchName.toStdString() << "}";
}
static std::ostream &operator<<(std::ostream &o, const DeleteEntry &e)
{
    return o << "{" << e.path.toStdString() << ", " << e.recursive << "}";
}
static std::ostream &operator<<(std::ostream &o, const InstallCommand &e)
{
    return o << "{" << e.name.toStdString() << ", " << e.args.join("|").toStdString() << "}";
}

namespace {

const char *const kWarning = "Warning: product ini contains invalid line in section %1";

QString sha512sum(const QByteArray &content)
{
    QTemporaryDir dir;
    const QString f = dir.path() + "/f";
    testutil::writeFile(f, content);
    QByteArray out;
    EXPECT_EQ(testutil::runProgram("sha512sum", {f}, &out), 0);
    return QString::fromLatin1(out.left(128));
}

// Contents used by the install trees, and their digests.
const QByteArray kApp1 = "app version 1\n";
const QByteArray kApp2 = "app version 2, somewhat longer\n";
const QByteArray kLib1 = QByteArray(3000, 'L');
const QByteArray kLibOther = QByteArray(3000, 'M');
const QByteArray kPatch = "patch bytes";
const QByteArray kPacked = "packed bytes";

struct Digests {
    QString app1 = sha512sum(kApp1), app2 = sha512sum(kApp2), lib1 = sha512sum(kLib1),
            libOther = sha512sum(kLibOther), patch = sha512sum(kPatch), packed = sha512sum(kPacked);
};
const Digests &digests()
{
    static const Digests d;
    return d;
}

class MakeListsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Install.isValid());
        ASSERT_TRUE(m_Temp.isValid());
        m_Config.m_InstallDir = m_Install.path();
        m_Config.m_TempDir = m_Temp.path();
        m_Config.m_ClientUpdate = 1;
    }

    void install(const QString &path, const QByteArray &content)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(m_Install.path() + "/" + path).path()));
        ASSERT_TRUE(testutil::writeFile(m_Install.path() + "/" + path, content));
    }
    void putTemp(const QString &path, const QByteArray &content)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(m_Config.m_TempDir + "/" + path).path()));
        ASSERT_TRUE(testutil::writeFile(m_Config.m_TempDir + "/" + path, content));
    }
    // A session directory of its own for each case: the INI reader caches a file by path and may
    // not notice a rewrite of the same size within the same second.
    void freshSession()
    {
        static int n = 0;
        m_Config.m_TempDir = m_Temp.path() + "/s" + QString::number(++n);
        ASSERT_TRUE(QDir().mkpath(m_Config.m_TempDir));
    }
    bool compile(const QByteArray &productIni)
    {
        const QString name = MakeDownloadReplaceListFunc::productIniName(m_Config.m_ClientUpdate);
        EXPECT_TRUE(testutil::writeFile(m_Config.m_TempDir + "/" + name, productIni));
        m_Messages.clear();
        MakeDownloadReplaceListFunc f(&m_Config, &m_Lists);
        QObject::connect(&f, &ASyncFunc::message, [this](const QString &m) { m_Messages << m; });
        return f.run();
    }

    QTemporaryDir m_Install, m_Temp;
    Configuration m_Config;
    DownloadReplaceLists m_Lists;
    QStringList m_Messages;
};

} // namespace

TEST_F(MakeListsTest, FileSectionsAgainstTheInstallation)
{
    const Digests &d = digests();
    const QString packedLine =
        d.packed + "::12::" + d.app2 + "::" + QString::number(kApp2.size()) + "::lib/x.so";
    const auto patchFor = [&](const QString &base) { return d.patch + "::11::" + base + "::3000::lib/x.so"; };
    struct Case {
        const char *what;
        QString ini;
        QList<DownloadEntry> downloads;
        QList<ReplaceEntry> replaces;
        int warnings;
    };
    const QList<Case> cases = {
        {"up-to-date plain file (digest in upper case)",
         "[client]\nbin/app=" + d.app1.toUpper() + "::" + QString::number(kApp1.size()) + "\n",
         {},
         {},
         0},
        {"out-of-date plain file",
         "[client]\nbin/app=" + d.app2 + "::31\n",
         {{"client", "bin/app", d.app2, 31}},
         {{"client", "bin/app", "", 0, "", ""}},
         0},
        {"missing file with a patch offered: full download",
         "[client]\nlib/missing.so._lzma2_=" + d.packed + "::12::" + d.app2 + "::31::lib/missing.so\n" +
             "lib/missing.so_patch_=" + d.patch + "::11::" + d.lib1 + "::3000::lib/missing.so\n",
         {{"client", "lib/missing.so._lzma2_", d.packed, 12}},
         {{"client", "lib/missing.so._lzma2_", d.app2, 31, "lib/missing.so", ""}},
         0},
        {"installed target matches a patch base: the patch",
         "[client]\nlib/x.so._lzma2_=" + packedLine + "\nlib/x.so_patch_=" + patchFor(d.lib1) + "\n",
         {{"client", "lib/x.so_patch_", d.patch, 11}},
         {{"client", "lib/x.so._lzma2_", d.app2, 31, "lib/x.so", "lib/x.so_patch_"}},
         0},
        {"installed target matches no patch base: full download",
         "[client]\nlib/x.so._lzma2_=" + packedLine + "\nlib/x.so_patch_=" + patchFor(d.libOther) + "\n",
         {{"client", "lib/x.so._lzma2_", d.packed, 12}},
         {{"client", "lib/x.so._lzma2_", d.app2, 31, "lib/x.so", ""}},
         0},
        {"two patches, the matching one sorts first",
         "[client]\nlib/x.so._lzma2_=" + packedLine + "\na_patch_=" + patchFor(d.lib1) +
             "\nb_patch_=" + patchFor(d.libOther) + "\n",
         {{"client", "a_patch_", d.patch, 11}},
         {{"client", "lib/x.so._lzma2_", d.app2, 31, "lib/x.so", "a_patch_"}},
         0},
        {"two patches, the matching one sorts last",
         "[client]\nlib/x.so._lzma2_=" + packedLine + "\na_patch_=" + patchFor(d.libOther) +
             "\nb_patch_=" + patchFor(d.lib1) + "\n",
         {{"client", "b_patch_", d.patch, 11}},
         {{"client", "lib/x.so._lzma2_", d.app2, 31, "lib/x.so", "b_patch_"}},
         0},
        {"three-field line skipped, the rest compiled",
         "[client]\na/bad=1::2::3\nbin/app=" + d.app2 + "::31\n",
         {{"client", "bin/app", d.app2, 31}},
         {{"client", "bin/app", "", 0, "", ""}},
         1},
        {"size that is not a number counts as 0",
         "[client]\nbin/app=" + d.app2 + "::lots\n",
         {{"client", "bin/app", d.app2, 0}},
         {{"client", "bin/app", "", 0, "", ""}},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        freshSession();
        install("bin/app", kApp1);
        install("lib/x.so", kLib1);
        m_Lists.downloads.append(DownloadEntry{"stale", "stale", "", 0}); // emptied first
        EXPECT_TRUE(compile(c.ini.toUtf8()));
        EXPECT_EQ(m_Lists.downloads, c.downloads);
        EXPECT_EQ(m_Lists.replaces, c.replaces);
        EXPECT_TRUE(m_Lists.deletes.isEmpty());
        EXPECT_EQ(m_Messages.count(QString(kWarning).arg("client")), c.warnings);
        EXPECT_EQ(m_Messages.first(), "Compiling download and replace list for client");
        // A client run copies nothing into the session directory.
        EXPECT_FALSE(QFile::exists(m_Config.m_TempDir + "/bin/app"));
    }
}

TEST_F(MakeListsTest, DownloadsAlreadyInTheSessionDirectory)
{
    const Digests &d = digests();
    install("bin/app", kApp1);
    install("lib/x.so", kLib1);
    putTemp("bin/app", kApp2);           // complete and correct: reused
    putTemp("lib/y.so", "half written"); // wrong digest: fetched again
    EXPECT_TRUE(compile(("[client]\nbin/app=" + d.app2 + "::31\nlib/y.so=" + d.app2 + "::31\n").toUtf8()));
    EXPECT_EQ(m_Lists.downloads, (QList<DownloadEntry>{{"client", "lib/y.so", d.app2, 31}}));
    EXPECT_EQ(m_Lists.replaces, (QList<ReplaceEntry>{{"client", "bin/app", "", 0, "", ""},
                                                     {"client", "lib/y.so", "", 0, "", ""}}));
}

TEST_F(MakeListsTest, UpdaterRunCopiesUnchangedFilesIntoTheSession)
{
    const Digests &d = digests();
    m_Config.m_ClientUpdate = 0;
    install("bin/app", kApp1);
    install("lib/x.so", kLib1);
    putTemp("lib/x.so", "left over from an earlier run");
    const QString ini = "[update]\nbin/app=" + d.app1 + "::14\nlib/x.so._lzma2_=" + d.packed +
                        "::12::" + d.lib1 + "::3000::lib/x.so\nnew/file=" + d.app2 + "::31\n";
    EXPECT_TRUE(compile(ini.toUtf8()));
    EXPECT_EQ(m_Messages.first(), "Compiling download and replace list for updater");
    EXPECT_EQ(testutil::readFile(m_Temp.path() + "/bin/app"), kApp1);
    EXPECT_EQ(testutil::readFile(m_Temp.path() + "/lib/x.so"), kLib1);
    EXPECT_EQ(m_Lists.downloads, (QList<DownloadEntry>{{"update", "new/file", d.app2, 31}}));
    EXPECT_EQ(m_Lists.replaces.size(), 1);
}

TEST_F(MakeListsTest, DeletionCodesAndCommands)
{
    for (const char *p : {"c0", "c2/inner", "c10", "c11", "c12", "c13"})
        install(p, "x");
    const QString ini = "[delete]\nc0=0\nc2=2\nc10=10\nc11=11\nc12=12\nc13=13\ngone=0\n"
                        "[preinstall]\n"
                        "fix.sh=linux32::LINUX64,-a::__TL3_DIR__/bin/x\n"
                        "plain.sh=linux64\n"
                        "win.exe=win32,/s\n"
                        "twice.sh=linux64::Linux64,x,ignored\n"
                        "[postinstall]\n"
                        "post.sh=mac::linux64,__TL3_DIR__::__TL3_dir__\n";
    EXPECT_TRUE(compile(ini.toUtf8()));
    EXPECT_EQ(m_Lists.deletes, (QList<DeleteEntry>{{"c0", false}, {"c12", false}, {"c2", true}}));
    const QString dir = m_Install.path();
    EXPECT_EQ(
        m_Lists.preInstall,
        (QList<InstallCommand>{
            {"fix.sh", {"-a", dir + "/bin/x"}}, {"plain.sh", {}}, {"twice.sh", {"x"}}, {"twice.sh", {"x"}}}));
    EXPECT_EQ(m_Lists.postInstall, (QList<InstallCommand>{{"post.sh", {dir, "__TL3_dir__"}}}));
    EXPECT_TRUE(m_Lists.downloads.isEmpty());
    EXPECT_TRUE(m_Lists.replaces.isEmpty());
}

TEST_F(MakeListsTest, InvalidProductInisFailTheCompilation)
{
    const Digests &d = digests();
    struct Case {
        const char *what;
        QByteArray ini;
        QString message;
    };
    const QString w = kWarning;
    const QString ok = d.app2 + "::31";
    const QList<Case> cases = {
        {"no keys", "[client]\n", "No files in product ini"},
        {"keys outside sections only", "app=" + ok.toUtf8() + "\n", "No files in product ini"},
        {"four-field patch line", ("[client]\nbin/app=" + ok + "\nx_patch_=a::1::b::2\n").toUtf8(),
         w.arg("client")},
        {"key climbing out", ("[client]\n../outside=" + ok + "\n").toUtf8(), w.arg("client")},
        {"key climbing out in the middle", ("[client]\nbin/../../outside=" + ok + "\n").toUtf8(),
         w.arg("client")},
        {"key naming the directory itself", ("[client]\n.=" + ok + "\n").toUtf8(), w.arg("client")},
        {"section climbing out", ("[..]\nfile=" + ok + "\n").toUtf8(), w.arg("..")},
        {"absolute target", ("[client]\nx._lzma2_=" + ok + "::" + ok + "::/etc/passwd\n").toUtf8(),
         w.arg("client")},
        {"target climbing out", ("[client]\nx._lzma2_=" + ok + "::" + ok + "::../../etc/passwd\n").toUtf8(),
         w.arg("client")},
        {"patch key climbing out", ("[client]\n../evil_patch_=" + ok + "::" + ok + "::bin/app\n").toUtf8(),
         w.arg("client")},
        {"key climbing out with backslashes", ("[client]\n..\\outside=" + ok + "\n").toUtf8(),
         w.arg("client")},
        {"patch target climbing out", ("[client]\np_patch_=" + ok + "::" + ok + "::../bin/app\n").toUtf8(),
         w.arg("client")},
        {"deletion path climbing out", "[delete]\n../victim=0\n", w.arg("delete")},
        {"command climbing out", "[postinstall]\n../../bin/sh=linux64\n", w.arg("postinstall")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        freshSession();
        install("bin/app", kApp1);
        EXPECT_FALSE(compile(c.ini));
        EXPECT_TRUE(m_Messages.contains(c.message)) << m_Messages.join(" | ").toStdString();
    }
    // No product ini at all.
    freshSession();
    MakeDownloadReplaceListFunc f(&m_Config, &m_Lists);
    QSignalSpy messages(&f, SIGNAL(message(QString)));
    EXPECT_FALSE(f.run());
    EXPECT_EQ(messages.last().at(0).toString(), "No files in product ini");
}

TEST_F(MakeListsTest, TaskHandsTheListsOverOnlyOnSuccess)
{
    const Digests &d = digests();
    install("bin/app", kApp1);
    struct Case {
        QByteArray ini;
        int state;
        int downloads;
    };
    const QList<Case> cases = {
        {("[client]\nbin/app=" + d.app2 + "::31\n").toUtf8(), TASK_FINISHED, 1},
        {("[client]\nbin/app=" + d.app2 + "::31\n../x=" + d.app2 + "::31\n").toUtf8(), TASK_FAILED, 0},
    };
    for (const Case &c : cases) {
        freshSession();
        ASSERT_TRUE(testutil::writeFile(m_Config.m_TempDir + "/tl3_client_linux_amd64.ini", c.ini));
        DownloadReplaceLists lists;
        MakeDownloadReplaceListTaskSpecification task(&m_Config, &lists, nullptr, 0.05);
        QSignalSpy finished(&task, SIGNAL(finished(TaskSpecification *)));
        QSignalSpy canceled(&task, SIGNAL(canceled(TaskSpecification *)));
        task.execute();
        ASSERT_TRUE(testnet::waitUntil([&] { return finished.count() + canceled.count() > 0; }));
        EXPECT_EQ(task.m_TaskState, c.state);
        EXPECT_EQ(lists.downloads.size(), c.downloads);
        EXPECT_EQ(lists.replaces.size(), c.downloads);
    }
}
