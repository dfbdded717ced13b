// The updater program as a whole: exit codes, its log file, the channel file next to it, and the
// clean-up of an empty "old" directory. A copy of the program runs from a scratch directory.
#include "qtprint.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Root.isValid());
        m_Temp = m_Root.path() + "/tmp";
        m_App = m_Root.path() + "/app";
        ASSERT_TRUE(QDir().mkpath(m_Temp));
        ASSERT_TRUE(QDir().mkpath(m_App));
        ASSERT_TRUE(QDir().mkpath(m_Root.path() + "/config"));
        m_Program = m_App + "/update";
        ASSERT_TRUE(QFile::copy(TL3_UPDATE_PROGRAM, m_Program));
    }

    RunResult run(const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", m_Temp);
        env.insert("TL3_CONFIG_DIR", m_Root.path() + "/config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", m_Root.path());
        p.setProcessEnvironment(env);
        p.start(m_Program, args);
        RunResult r;
        if (!p.waitForStarted(10000) || !p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return r;
    }

    QString logDir() const { return m_Temp + "/talvenor_update_log"; }

    QTemporaryDir m_Root;
    QString m_Temp;
    QString m_App;
    QString m_Program;
};

} // namespace

TEST_F(StartupTest, RejectedCommandLineExitsWithOneAndLogsWhy)
{
    ASSERT_TRUE(testutil::writeFile(m_Temp + "/tl3_update_log", ""));
    struct Case {
        QStringList args;
        QString fatal;
    };
    const Case cases[] = {
        {{"client_linux_amd64", "abc"}, "Invalid version nr (abc)"},
        {{"--clientupdate", "client_linux_amd64", "1.2", "3.0.19"}, "Invalid version nr (1.2)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QDir(logDir()).removeRecursively();
        const RunResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(c.fatal.toUtf8())) << r.err.constData();

        const QStringList files = QDir(logDir()).entryList(QDir::Files);
        ASSERT_EQ(files.size(), 1);
        EXPECT_TRUE(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$")
                        .match(files[0])
                        .hasMatch())
            << files[0].toStdString();
        const QString log = QString::fromLocal8Bit(testutil::readFile(logDir() + "/" + files[0]));
        const QRegularExpression started(
            "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\t\\|\tDebug\t\\|\t"
            "Talvenor updater started$",
            QRegularExpression::MultilineOption);
        EXPECT_TRUE(started.match(log).hasMatch()) << log.toStdString();
        EXPECT_TRUE(log.contains("\t|\tDebug\t|\tFailed to parse command line options, aborting\n"))
            << log.toStdString();
        EXPECT_TRUE(log.contains("parseCommandLineOptions (\"" + m_Program + "\""));
    }
}

TEST_F(StartupTest, ReadyRunWithoutMarkerWritesNoLogAndRemovesOnlyAnEmptyOldDir)
{
    ASSERT_TRUE(QDir().mkpath(m_App + "/old"));
    const RunResult r = run({"client_linux_amd64", "12345"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.startsWith("client_linux_amd64 12345 ")) << r.out.constData();
    EXPECT_FALSE(QFileInfo::exists(logDir()));
    EXPECT_FALSE(QFileInfo::exists(m_App + "/old"));

    ASSERT_TRUE(testutil::writeFile(m_App + "/old/_old_libQtCore.so.4", "x"));
    EXPECT_EQ(run({"client_linux_amd64", "abc"}).exitCode, 1);
    EXPECT_TRUE(QFileInfo::exists(m_App + "/old/_old_libQtCore.so.4"));
}

TEST_F(StartupTest, ChannelFileNextToTheProgramGivesTheTarget)
{
    // Alpha channel with a revision: no version on the command line is needed, no server is asked.
    ASSERT_TRUE(testutil::writeFile(m_App + "/update.ini",
                                    "[Channel]\nalpha=http://127.0.0.1:1/alpha\nalphaRevno=777\n"));
    const RunResult r = run({});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, "update_linux_amd64 777  channel 2 http://127.0.0.1:1/alpha/\n");
}
