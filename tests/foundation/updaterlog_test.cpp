// The log file: marker, place, name, line format, and refusal of places planted by others.
#include "qtprint.h"
#include "testutil.h"
#include "updaterlog.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QDateTime kStart(QDate(2016, 5, 3), QTime(14, 22, 10));
const char *const kFileName = "update__2016-05-03__14_22_10.log";

QString logPath(const QString &temp)
{
    return temp + "/talvenor_update_log/" + kFileName;
}

bool touchMarker(const QString &temp)
{
    return testutil::writeFile(temp + "/tl3_update_log", "");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System | QDir::Hidden);
}

} // namespace

TEST(UpdaterLogTest, NoMarkerNoDirectoryNoFile)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    {
        UpdaterLog log(temp.path(), kStart);
        EXPECT_FALSE(log.enabled());
        EXPECT_EQ(log.file, nullptr);
        log.write(QtDebugMsg, "lost", kStart);
        log.write(QtFatalMsg, "lost too", kStart);
    }
    EXPECT_TRUE(entries(temp.path()).isEmpty());
}

TEST(UpdaterLogTest, LinesHaveTheExactFormat)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    // The marker may be a directory as well; its content is never read.
    ASSERT_TRUE(QDir().mkpath(temp.path() + "/tl3_update_log"));
    {
        UpdaterLog log(temp.path(), kStart);
        EXPECT_TRUE(log.enabled());
        ASSERT_NE(log.file, nullptr);
        EXPECT_EQ(UpdaterLog::logDirectory(temp.path()), temp.path() + "/talvenor_update_log/");
        const QDateTime t(QDate(2016, 5, 3), QTime(14, 22, 10, 7));
        log.write(QtDebugMsg, "startTl3Client \"/opt/tl3/tl3client_runscript.sh\"", t);
        log.write(QtWarningMsg, "warned", t.addMSecs(993));
        log.write(QtCriticalMsg, "critical", t.addSecs(3600));
        log.write(QtFatalMsg, "fatal", t.addDays(1));
        log.write(QtInfoMsg, "info", QDateTime(QDate(2017, 12, 31), QTime(23, 59, 59, 999)));
        log.write(QtMsgType(42), "unknown type writes nothing", t);
        log.write(QtDebugMsg, "first line\nsecond line\ttab", t);
    }
    const QByteArray expected = "2016-05-03 14:22:10:007\t|\tDebug\t|\tstartTl3Client "
                                "\"/opt/tl3/tl3client_runscript.sh\"\n"
                                "2016-05-03 14:22:11:000\t|\tWarning\t|\twarned\n"
                                "2016-05-03 15:22:10:007\t|\tCritical\t|\tcritical\n"
                                "2016-05-04 14:22:10:007\t|\tFatal\t|\tfatal\n"
                                "2017-12-31 23:59:59:999\t|\tInfo\t|\tinfo\n"
                                "2016-05-03 14:22:10:007\t|\tDebug\t|\tfirst line\nsecond line\ttab\n";
    EXPECT_EQ(testutil::readFile(logPath(temp.path())), expected);
    EXPECT_EQ(entries(temp.path() + "/talvenor_update_log"), QStringList{kFileName});
}

TEST(UpdaterLogTest, FileNameFromStartTime)
{
    EXPECT_EQ(UpdaterLog::logFileName(kStart), kFileName);
    EXPECT_EQ(UpdaterLog::logFileName(QDateTime(QDate(1999, 12, 31), QTime(0, 0, 5, 999))),
              "update__1999-12-31__00_00_05.log");
}

TEST(UpdaterLogTest, SameSecondTruncatesTheEarlierFile)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    ASSERT_TRUE(touchMarker(temp.path()));
    {
        UpdaterLog first(temp.path(), kStart);
        first.write(QtDebugMsg, "a rather long line from the first start", kStart);
    }
    {
        UpdaterLog second(temp.path(), kStart);
        second.write(QtDebugMsg, "second", kStart);
    }
    EXPECT_EQ(testutil::readFile(logPath(temp.path())), "2016-05-03 14:22:10:000\t|\tDebug\t|\tsecond\n");
}

TEST(UpdaterLogTest, RefusesPlacesPlantedByOthers)
{
    struct Case {
        const char *name;
        // Prepares temp (marker already there) and victim; returns false when it could not.
        std::function<bool(const QString &temp, const QString &victim)> plant;
    };
    const QString victimContent = "precious";
    const Case cases[] = {
        {"log directory is a link to another directory",
         [](const QString &temp, const QString &victim) {
             const QString other = QFileInfo(victim).path();
             return ::symlink(other.toLocal8Bit().constData(),
                              (temp + "/talvenor_update_log").toLocal8Bit().constData()) == 0;
         }},
        {"log file is a link to another file",
         [](const QString &temp, const QString &victim) {
             return QDir().mkdir(temp + "/talvenor_update_log") &&
                    ::symlink(victim.toLocal8Bit().constData(), logPath(temp).toLocal8Bit().constData()) == 0;
         }},
        {"log file is a hard link to another file",
         [](const QString &temp, const QString &victim) {
             return QDir().mkdir(temp + "/talvenor_update_log") &&
                    ::link(victim.toLocal8Bit().constData(), logPath(temp).toLocal8Bit().constData()) == 0;
         }},
        {"log directory is a plain file",
         [](const QString &temp, const QString &) {
             return testutil::writeFile(temp + "/talvenor_update_log", "x");
         }},
        {"log file is a directory",
         [](const QString &temp, const QString &) { return QDir().mkpath(logPath(temp)); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir temp;
        QTemporaryDir other;
        ASSERT_TRUE(temp.isValid() && other.isValid());
        ASSERT_TRUE(touchMarker(temp.path()));
        const QString victim = other.path() + "/" + kFileName; // same name, to catch a followed link
        ASSERT_TRUE(testutil::writeFile(victim, victimContent.toUtf8()));
        ASSERT_TRUE(c.plant(temp.path(), victim));
        {
            UpdaterLog log(temp.path(), kStart);
            EXPECT_TRUE(log.enabled());
            EXPECT_EQ(log.file, nullptr);
            log.write(QtDebugMsg, "must go nowhere", kStart);
        }
        EXPECT_EQ(testutil::readFile(victim), victimContent.toUtf8());
        EXPECT_EQ(entries(other.path()), QStringList{kFileName});
    }
}

TEST(UpdaterLogTest, RefusesDirectoryOfAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory to another user";
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    ASSERT_TRUE(touchMarker(temp.path()));
    const QString dir = temp.path() + "/talvenor_update_log";
    ASSERT_TRUE(QDir().mkdir(dir));
    ASSERT_EQ(::chmod(dir.toLocal8Bit().constData(), 0777), 0);
    ASSERT_EQ(::chown(dir.toLocal8Bit().constData(), 65534, 65534), 0);
    {
        UpdaterLog log(temp.path(), kStart);
        EXPECT_EQ(log.file, nullptr);
        log.write(QtDebugMsg, "must go nowhere", kStart);
    }
    EXPECT_TRUE(entries(dir).isEmpty());
}

// The only test that creates the process-wide log: it points the system temporary directory at a
// scratch directory first. Each test runs in its own process under CTest.
TEST(UpdaterLogTest, HandlerWritesWholeLinesFromManyThreadsAndAbortsAfterFatal)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    ASSERT_TRUE(touchMarker(temp.path()));
    const bool hadTmp = qEnvironmentVariableIsSet("TMPDIR");
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", temp.path().toLocal8Bit());
    UpdaterLog *log = UpdaterLog::instance();
    if (hadTmp)
        qputenv("TMPDIR", savedTmp);
    else
        qunsetenv("TMPDIR");
    ASSERT_TRUE(s_LogEnabled);
    ASSERT_NE(log->file, nullptr);
    EXPECT_EQ(UpdaterLog::instance(), log);

    // Removing the marker later changes nothing.
    ASSERT_TRUE(QFile::remove(temp.path() + "/tl3_update_log"));

    const int threads = 4;
    const int perThread = 2000;
    std::atomic<int> waiting{threads};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &waiting]() {
            const QMessageLogContext context;
            // All start together, so that their messages really overlap.
            --waiting;
            while (waiting.load() > 0)
                std::this_thread::yield();
            for (int i = 0; i < perThread; ++i)
                updaterMessageHandler(QtDebugMsg, context,
                                      QString("worker %1 message %2 %3").arg(t).arg(i).arg(QString(40, 'x')));
        });
    }
    for (std::thread &w : workers)
        w.join();

    const QMessageLogContext context;
    EXPECT_DEATH(updaterMessageHandler(QtFatalMsg, context, "journal broken"), "");
    // The parent goes on writing after the child's fatal line.
    updaterMessageHandler(QtWarningMsg, context, "after");

    const QStringList files = entries(temp.path() + "/talvenor_update_log");
    ASSERT_EQ(files.size(), 1);
    const QString content =
        QString::fromLocal8Bit(testutil::readFile(temp.path() + "/talvenor_update_log/" + files[0]));
    ASSERT_TRUE(content.endsWith('\n'));
    QStringList lines = content.split('\n');
    lines.removeLast();
    ASSERT_EQ(lines.size(), threads * perThread + 2);
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\t\\|\t");
    const QRegularExpression debugLine(stamp.pattern() + "Debug\t\\|\tworker (\\d) message (\\d+) x{40}$");
    QSet<QString> seen;
    for (int i = 0; i < threads * perThread; ++i) {
        const QRegularExpressionMatch m = debugLine.match(lines[i]);
        ASSERT_TRUE(m.hasMatch()) << lines[i].toStdString();
        seen.insert(m.captured(1) + "/" + m.captured(2));
    }
    EXPECT_EQ(seen.size(), threads * perThread);
    EXPECT_TRUE(QRegularExpression(stamp.pattern() + "Fatal\t\\|\tjournal broken$")
                    .match(lines[lines.size() - 2])
                    .hasMatch())
        << lines[lines.size() - 2].toStdString();
    EXPECT_TRUE(QRegularExpression(stamp.pattern() + "Warning\t\\|\tafter$").match(lines.last()).hasMatch());
}
