// The file download list: parallel streams, directories, planned totals, and the digest check that
// keeps a mismatching file from going any further.
#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "testhttpserver.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <gtest/gtest.h>

namespace {

QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

class DownloadFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Session.isValid());
        Configuration::s_DownloadBaseUrl = m_Server.baseUrl();
        m_Config.m_TempDir = m_Session.path();
        m_Config.m_Version = 7;
        m_Config.m_Streams = 6;
    }

    // Serves the body for the entry and appends the entry (with the body's digest and size).
    void addFile(const QString &name, const QByteArray &body, bool hold = false)
    {
        TestHttpServer::Response r = TestHttpServer::Response::ok(body);
        r.hold = hold;
        m_Server.setResponse(path(name), r);
        m_Lists.downloads.append(DownloadEntry{"files", name, sha512(body), quint64(body.size())});
    }
    static QString path(const QString &name) { return "/7/files/" + name; }

    void start()
    {
        m_Task.reset(new DownloadFileListTaskSpecification(&m_Lists, &m_Manager, &m_Config, nullptr, 0.4));
        m_Finished.reset(new QSignalSpy(m_Task.get(), SIGNAL(finished(TaskSpecification *))));
        m_Canceled.reset(new QSignalSpy(m_Task.get(), SIGNAL(canceled(TaskSpecification *))));
        QObject::connect(m_Task.get(), &TaskSpecification::message,
                         [this](const QString &m) { m_Messages << m; });
        m_Task->execute();
    }
    bool waitEnd()
    {
        return testnet::waitUntil([this] { return m_Finished->count() + m_Canceled->count() > 0; });
    }

    QTemporaryDir m_Session;
    TestHttpServer m_Server;
    QNetworkAccessManager m_Manager;
    Configuration m_Config;
    DownloadReplaceLists m_Lists;
    std::unique_ptr<DownloadFileListTaskSpecification> m_Task;
    std::unique_ptr<QSignalSpy> m_Finished, m_Canceled;
    QStringList m_Messages;
};

} // namespace

TEST_F(DownloadFilesTest, StreamsLimitTheTransfersAndListOrderIsKept)
{
    for (int streams : {6, 2}) {
        SCOPED_TRACE(streams);
        DownloadFilesTest::TearDown();
        m_Lists.downloads.clear();
        m_Messages.clear();
        const int before = m_Server.totalRequests();
        m_Config.m_Streams = streams;
        QStringList expectedOrder;
        for (int i = 0; i < 10; ++i) {
            const QString name = QString("s%1/f%2.bin").arg(streams).arg(i);
            addFile(name, QByteArray(1000 + i, char('a' + i)), true);
            expectedOrder << path(name);
        }
        start();
        ASSERT_TRUE(testnet::waitUntil([&] { return m_Server.heldCount() == streams; }));
        // Nothing more starts while these are busy.
        testnet::waitUntil([] { return false; }, 300);
        EXPECT_EQ(m_Server.totalRequests() - before, streams);
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        m_Task->getDownloadProgress(&done, &total, &speed, &downloading);
        EXPECT_TRUE(downloading);
        EXPECT_EQ(total, quint64(10 * 1000 + 45)); // the planned total from the first poll on
        m_Server.releaseAll();
        ASSERT_TRUE(waitEnd());
        EXPECT_EQ(m_Finished->count(), 1);
        // Started in list order (the server may see simultaneous requests in any order).
        QStringList started;
        for (const QString &m : m_Messages)
            if (m.startsWith("Downloading files/") && !m.endsWith(" finished"))
                started << "/7/" + m.mid(12);
        EXPECT_EQ(started.join(" ").toStdString(), expectedOrder.join(" ").toStdString());
        QStringList firstRequests = m_Server.requestLog().mid(before, streams);
        firstRequests.sort();
        EXPECT_EQ(firstRequests.join(" ").toStdString(),
                  expectedOrder.mid(0, streams).join(" ").toStdString());
        for (const DownloadEntry &e : m_Lists.downloads)
            EXPECT_EQ(testutil::readFile(m_Session.path() + "/" + e.name).size(), int(e.size));
        EXPECT_DOUBLE_EQ(m_Task->m_Progress, 0.4);
        EXPECT_EQ(m_Messages.first(), "Downloading files");
    }
}

TEST_F(DownloadFilesTest, DirectoriesExistBeforeTheFirstTransfer)
{
    addFile("a/b/c.so", "c");
    addFile("a/b/d.so", "d");
    addFile("top.bin", "t");
    bool dirsReady = false;
    QObject::connect(&m_Server, &TestHttpServer::requestReceived, [&] {
        if (m_Server.totalRequests() == 1)
            dirsReady = QDir(m_Session.path() + "/a/b").exists();
    });
    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Finished->count(), 1);
    EXPECT_TRUE(dirsReady);
    EXPECT_EQ(testutil::readFile(m_Session.path() + "/a/b/d.so"), QByteArray("d"));

    // A file in the way of a directory: the list fails before any transfer.
    m_Lists.downloads.clear();
    ASSERT_TRUE(testutil::writeFile(m_Session.path() + "/blocked", "file"));
    addFile("blocked/x.bin", "x");
    const int before = m_Server.totalRequests();
    m_Messages.clear();
    start();
    EXPECT_EQ(m_Canceled->count(), 1);
    EXPECT_EQ(m_Task->m_TaskState, TASK_FAILED);
    EXPECT_EQ(
        m_Messages,
        QStringList{QString("Could not create dir %1/blocked").arg(QDir(m_Session.path()).canonicalPath())});
    testnet::waitUntil([] { return false; }, 100);
    EXPECT_EQ(m_Server.totalRequests(), before);
}

TEST_F(DownloadFilesTest, PlannedTotalStandsAgainstAnnouncedLengths)
{
    addFile("one.bin", QByteArray(4000, '1'));
    TestHttpServer::Response r = TestHttpServer::Response::stalling(QByteArray(4000, '1'), 1000);
    r.contentLength = 9999;
    m_Server.setResponse(path("one.bin"), r);
    addFile("two.bin", QByteArray(3000, '2'), true);
    start();
    ASSERT_TRUE(
        testnet::waitUntil([&] { return m_Server.heldCount() == 1 && m_Server.totalRequests() == 2; }));
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    ASSERT_TRUE(testnet::waitUntil([&] {
        done = total = speed = 0;
        m_Task->getDownloadProgress(&done, &total, &speed, &downloading);
        return done == 1000;
    }));
    EXPECT_EQ(total, 7000u);
    m_Task->cancel();
    ASSERT_TRUE(waitEnd());
    // The first cancelled file aborts its running sibling, which counts as a failure below the list.
    EXPECT_EQ(m_Canceled->count(), 1);
    EXPECT_NE(m_Task->m_TaskState, TASK_FINISHED);
}

TEST_F(DownloadFilesTest, FailuresFailTheListAndAbortTheOtherTransfers)
{
    struct Case {
        const char *what;
        bool badDigest; // else: the server answers 404
        QString expectedMessage;
    };
    const QList<Case> cases = {
        {"digest differs from the product ini", true, "Signature check failed for %1/bad.bin"},
        {"file cannot be downloaded", false, "Unable to download files/bad.bin"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_Lists.downloads.clear();
        m_Messages.clear();
        m_Config.m_Streams = 2;
        addFile("bad.bin", "the real content");
        if (c.badDigest) {
            m_Server.setFile(path("bad.bin"), "tampered content");
        } else {
            m_Server.setResponse(path("bad.bin"), TestHttpServer::Response::withStatus(404));
        }
        addFile("slow.bin", QByteArray(5000, 's'));
        m_Server.setResponse(path("slow.bin"), TestHttpServer::Response::stalling(QByteArray(5000, 's'), 10));
        addFile("never.bin", "n");
        const int neverBefore = m_Server.requestCount(path("never.bin"));
        start();
        ASSERT_TRUE(waitEnd());
        EXPECT_EQ(m_Canceled->count(), 1);
        EXPECT_EQ(m_Task->m_TaskState, TASK_FAILED);
        EXPECT_TRUE(m_Messages.contains(QString(c.expectedMessage).arg(m_Session.path())))
            << m_Messages.join(" | ").toStdString();
        EXPECT_TRUE(m_Messages.contains("Abort downloading files/slow.bin"));
        EXPECT_FALSE(QFile::exists(m_Session.path() + "/slow.bin"));
        EXPECT_EQ(m_Server.requestCount(path("never.bin")), neverBefore);
    }
}

TEST_F(DownloadFilesTest, EmptyListFinishesAtOnce)
{
    start();
    EXPECT_EQ(m_Finished->count(), 1);
    EXPECT_EQ(m_Messages, QStringList{"No downloads needed"});
    EXPECT_EQ(m_Server.totalRequests(), 0);
}

TEST_F(DownloadFilesTest, EachFileIsAnEqualShareDownloadThenCheck)
{
    m_Config.m_Streams = 1;
    addFile("first.bin", QByteArray(20000, 'f'));
    addFile("second.bin", QByteArray(30000, 's'));
    m_Task.reset(new DownloadFileListTaskSpecification(&m_Lists, &m_Manager, &m_Config, nullptr, 1.0));
    QList<qreal> steps;
    QObject::connect(m_Task.get(), &TaskSpecification::updateProgress, [&](qreal p) { steps << p; });
    m_Finished.reset(new QSignalSpy(m_Task.get(), SIGNAL(finished(TaskSpecification *))));
    m_Canceled.reset(new QSignalSpy(m_Task.get(), SIGNAL(canceled(TaskSpecification *))));
    m_Task->execute();
    ASSERT_TRUE(waitEnd());
    ASSERT_EQ(m_Finished->count(), 1);
    const auto reached = [&](qreal v) {
        return std::any_of(steps.begin(), steps.end(), [v](qreal p) { return qAbs(p - v) < 1e-9; });
    };
    // Half the list per file: 0.8 of that share after its download, the rest after its check.
    EXPECT_TRUE(reached(0.4));
    EXPECT_TRUE(reached(0.5));
    EXPECT_TRUE(reached(0.9));
    EXPECT_DOUBLE_EQ(steps.last(), 1.0);
    for (qreal p : steps)
        EXPECT_LE(p, 1.0 + 1e-9);
}
