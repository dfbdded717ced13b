// The download task against the in-process test server: attempts, status codes, sizes, the
// stall time-out, cancellation and the cap at the expected size.
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "testhttpserver.h"
#include "testutil.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Exposes the transfer counters.
class ProbeDownload : public DownloadTaskSpecification {
public:
    using DownloadTaskSpecification::DownloadTaskSpecification;
    qint64 received() const { return m_BytesReceived; }
    qint64 total() const { return m_BytesTotal; }
    bool transferring() const { return m_Reply != nullptr; }
};

QByteArray randomBytes(int n)
{
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return b;
}

class DownloadTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.isValid());
        Configuration::s_DownloadBaseUrl = m_Server.baseUrl() + "updater-images/client/";
    }

    // The task for remote "data/file.bin" of version 42.
    ProbeDownload *makeTask(qint64 expectedSize)
    {
        m_Task.reset(
            new ProbeDownload(&m_Manager, "data/file.bin", 42, localFile(), expectedSize, nullptr, 0.5));
        m_Finished.reset(new QSignalSpy(m_Task.get(), SIGNAL(finished(TaskSpecification *))));
        m_Canceled.reset(new QSignalSpy(m_Task.get(), SIGNAL(canceled(TaskSpecification *))));
        m_Errors.reset(new QSignalSpy(m_Task.get(), SIGNAL(error(QString))));
        QObject::connect(m_Task.get(), &TaskSpecification::message,
                         [this](const QString &m) { m_Messages << m; });
        return m_Task.get();
    }
    bool ended() const { return m_Finished->count() + m_Canceled->count() > 0; }
    bool waitEnd()
    {
        return testnet::waitUntil([this] { return ended(); });
    }
    QString localFile() const { return m_Dir.path() + "/file.bin"; }

    static constexpr const char *kPath = "/updater-images/client/42/data/file.bin";

    QTemporaryDir m_Dir;
    TestHttpServer m_Server;
    QNetworkAccessManager m_Manager;
    std::unique_ptr<ProbeDownload> m_Task;
    std::unique_ptr<QSignalSpy> m_Finished, m_Canceled, m_Errors;
    QStringList m_Messages;
};

} // namespace

TEST_F(DownloadTaskTest, CompleteDownloadWritesTheFile)
{
    const QByteArray body = randomBytes(70000);
    m_Server.setFile(kPath, body);
    ProbeDownload *t = makeTask(body.size());
    QSignalSpy progress(t, SIGNAL(updateProgress(qreal)));
    EXPECT_EQ(t->downloadUrl().toString(), m_Server.baseUrl() + "updater-images/client/42/data/file.bin");
    t->execute();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Finished->count(), 1);
    EXPECT_EQ(t->m_TaskState, TASK_FINISHED);
    EXPECT_EQ(testutil::readFile(localFile()), body);
    EXPECT_EQ(m_Messages, QStringList({"Downloading data/file.bin", "Downloading data/file.bin finished"}));
    EXPECT_EQ(m_Errors->count(), 0);
    EXPECT_DOUBLE_EQ(t->m_Progress, 0.5);
    // Data is moved in pieces of at most 4096 bytes, each followed by a progress report.
    EXPECT_GE(progress.count(), 70000 / 4096);
    for (const QList<QVariant> &p : progress)
        EXPECT_LE(p.at(0).toDouble(), 0.5);
}

TEST_F(DownloadTaskTest, NotFoundFiveTimesThenGivesUpWithoutError)
{
    m_Server.setResponse(kPath, TestHttpServer::Response::withStatus(404));
    ASSERT_TRUE(testutil::writeFile(localFile(), "old content"));
    ProbeDownload *t = makeTask(100);
    t->execute();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Canceled->count(), 1);
    EXPECT_EQ(m_Finished->count(), 0);
    EXPECT_EQ(t->m_TaskState, TASK_FAILED);
    EXPECT_EQ(m_Errors->count(), 0);
    QStringList expected{"Downloading data/file.bin"};
    for (int i = 0; i < 5; ++i)
        expected << "data/file.bin returned 404";
    expected << "Unable to download data/file.bin";
    EXPECT_EQ(m_Messages, expected);
    EXPECT_EQ(m_Server.requestCount(kPath), 5);
    EXPECT_FALSE(QFile::exists(localFile()));
}

TEST_F(DownloadTaskTest, EarlyCloseIsRetriedFromTheStart)
{
    const QByteArray body = randomBytes(20000);
    m_Server.setResponses(kPath,
                          {TestHttpServer::Response::closing(body, 5000),
                           TestHttpServer::Response::withStatus(503), TestHttpServer::Response::ok(body)});
    ProbeDownload *t = makeTask(body.size());
    t->execute();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Finished->count(), 1);
    EXPECT_EQ(m_Server.requestCount(kPath), 3);
    EXPECT_EQ(testutil::readFile(localFile()), body);
    EXPECT_TRUE(m_Messages.contains("data/file.bin returned 503"));
    // Start, the closed connection, the status, the end.
    EXPECT_EQ(m_Messages.size(), 4);
}

TEST_F(DownloadTaskTest, TotalSizeComesFromTheManifestWhenGiven)
{
    struct Case {
        const char *what;
        qint64 expected;       // size given at construction
        qint64 announced;      // Content-Length sent (-2: none)
        quint64 reportedTotal; // total in the statistics
    };
    const QList<Case> cases = {
        {"manifest size stays against a larger announced length", 5000, 9000, 5000},
        {"manifest size stays against a smaller announced length", 5000, 3000, 5000},
        {"size learned from the transfer", -1, 9000, 9000},
        {"no size at all", -1, -2, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestHttpServer::Response r;
        r.body = randomBytes(2000);
        r.contentLength = c.announced;
        r.stallAfter = 300;
        // The network layer reports sizes at most every 150 ms, so the data comes in slowly.
        r.dripBytes = 50;
        r.dripIntervalMs = 60;
        m_Server.setResponse(kPath, r);
        ProbeDownload *t = makeTask(c.expected);
        t->execute();
        const bool learns = c.expected == -1 && c.announced > 0;
        ASSERT_TRUE(testnet::waitUntil(
            [&] { return t->received() == 300 && (!learns || t->total() == c.announced); }));
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        t->getDownloadProgress(&done, &total, &speed, &downloading);
        EXPECT_EQ(done, 300u);
        EXPECT_EQ(total, c.reportedTotal);
        EXPECT_EQ(speed, 300u);
        EXPECT_TRUE(downloading);
        if (c.reportedTotal == 0)
            EXPECT_DOUBLE_EQ(t->m_Progress, 0.0);
        else
            EXPECT_DOUBLE_EQ(t->m_Progress, 0.5 * 300 / qreal(c.reportedTotal));
        t->getDownloadProgress(&done, &total, &speed, &downloading);
        EXPECT_EQ(speed, 0u) << "speed counts bytes since the previous poll";
        t->cancel();
    }
}

TEST_F(DownloadTaskTest, StallIsRestartedFromByteZeroAfterSixteenPolls)
{
    const QByteArray body = randomBytes(30000);
    m_Server.setResponses(
        kPath, {TestHttpServer::Response::stalling(body, 10000), TestHttpServer::Response::ok(body)});
    ProbeDownload *t = makeTask(body.size());
    t->execute();
    ASSERT_TRUE(testnet::waitUntil([t] { return t->received() == 10000; }));
    quint64 done, total, speed;
    bool downloading;
    for (int poll = 1; poll <= 15; ++poll) {
        done = total = speed = 0;
        downloading = false;
        t->getDownloadProgress(&done, &total, &speed, &downloading);
        ASSERT_TRUE(downloading) << poll;
    }
    EXPECT_EQ(m_Server.requestCount(kPath), 1);
    EXPECT_FALSE(m_Messages.contains("file data/file.bin timed out"));
    downloading = false;
    t->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_FALSE(downloading);
    EXPECT_TRUE(m_Messages.contains("file data/file.bin timed out"));
    EXPECT_EQ(t->received(), 0);
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Finished->count(), 1);
    EXPECT_EQ(m_Server.requestCount(kPath), 2);
    EXPECT_EQ(testutil::readFile(localFile()), body);
}

TEST_F(DownloadTaskTest, MoreDataThanExpectedFailsEveryAttempt)
{
    struct Case {
        const char *what;
        qint64 expected;
        qint64 unknownLimit;
        qint64 announced;
    };
    const QList<Case> cases = {
        {"server announces and sends more than the manifest size", 1000,
         DownloadTaskSpecification::kUnknownSizeLimit, -1},
        {"endless body without a length", 1000, DownloadTaskSpecification::kUnknownSizeLimit, -2},
        {"unknown size beyond the fixed limit", -1, 6000, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_Messages.clear();
        TestHttpServer::Response r;
        r.body = randomBytes(20000);
        r.contentLength = c.announced;
        m_Server.setResponse(kPath, r);
        const int before = m_Server.requestCount(kPath);
        ProbeDownload *t = makeTask(c.expected);
        t->setUnknownSizeLimit(c.unknownLimit);
        t->execute();
        ASSERT_TRUE(waitEnd());
        EXPECT_EQ(t->m_TaskState, TASK_FAILED);
        EXPECT_EQ(m_Messages.count("Server sent more data than expected for data/file.bin"), 5);
        EXPECT_EQ(m_Messages.last(), "Unable to download data/file.bin");
        // Five attempts by the task; the network layer itself may resend a request once when the
        // server closes a connection early, so the server can see one more.
        EXPECT_GE(m_Server.requestCount(kPath) - before, 5);
        EXPECT_LE(m_Server.requestCount(kPath) - before, 6);
        EXPECT_FALSE(QFile::exists(localFile()));
    }
    // Exactly the expected size is fine.
    m_Server.setFile(kPath, QByteArray(1000, 'k'));
    makeTask(1000)->execute();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(m_Finished->count(), 1);
}

TEST_F(DownloadTaskTest, CancelAndSiblingAbortStopTheTransfer)
{
    m_Server.setResponse(kPath, TestHttpServer::Response::stalling(randomBytes(5000), 1000));

    // Not running: only the flag.
    ProbeDownload *idle = makeTask(5000);
    idle->cancel();
    EXPECT_TRUE(idle->m_CancelRequested);
    EXPECT_EQ(idle->m_TaskState, TASK_IDLE);
    EXPECT_FALSE(ended());

    struct Case {
        const char *what;
        bool sibling;
        int state;
        QStringList messages;
    };
    const QList<Case> cases = {
        {"cancel", false, TASK_CANCELED, {"Downloading data/file.bin"}},
        {"sibling failed",
         true,
         TASK_FAILED,
         {"Downloading data/file.bin", "Abort downloading data/file.bin"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m_Messages.clear();
        ProbeDownload *t = makeTask(5000);
        t->execute();
        ASSERT_TRUE(testnet::waitUntil([t] { return t->received() == 1000; }));
        if (c.sibling) {
            ProbeDownload other(&m_Manager, "x", 1, m_Dir.path() + "/x", -1, nullptr, 1.0);
            // The task itself as the failed sibling is ignored.
            ASSERT_TRUE(QMetaObject::invokeMethod(t, "onOtherTaskCancelled", Q_ARG(TaskSpecification *, t)));
            EXPECT_FALSE(ended());
            ASSERT_TRUE(
                QMetaObject::invokeMethod(t, "onOtherTaskCancelled", Q_ARG(TaskSpecification *, &other)));
        } else {
            t->cancel();
        }
        EXPECT_EQ(m_Canceled->count(), 1);
        EXPECT_EQ(t->m_TaskState, c.state);
        EXPECT_FALSE(t->transferring());
        EXPECT_FALSE(QFile::exists(localFile()));
        EXPECT_EQ(m_Messages, c.messages);
        EXPECT_EQ(m_Errors->count(), 0);
    }
}

TEST_F(DownloadTaskTest, UnwritableTargetFailsAtOnce)
{
    m_Server.setFile(kPath, "x");
    m_Task.reset(
        new ProbeDownload(&m_Manager, "data/file.bin", 42, m_Dir.path() + "/no/such/dir/f", 1, nullptr, 1.0));
    QSignalSpy errors(m_Task.get(), SIGNAL(error(QString)));
    QSignalSpy canceled(m_Task.get(), SIGNAL(canceled(TaskSpecification *)));
    m_Task->execute();
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(),
              QString("Unable to create file %1 for saving").arg(m_Dir.path() + "/no/such/dir/f"));
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(m_Task->m_TaskState, TASK_FAILED);
    EXPECT_EQ(m_Server.totalRequests(), 0);
}
