#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "crypt.h"
#include "opensslwitness.h"
#include "tasktesthelpers.h"
#include "testutil.h"

#include "buildconfig.h"

#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>

#include <gtest/gtest.h>

using testutil::readFile;
using testutil::runProgram;
using testutil::writeFile;

namespace {

using witness::kDemoPrivateKey;
using witness::kDemoPublicKey;
using witness::opensslSign;

// Collects the log lines of every thread while it lives.
class LogCapture {
public:
    LogCapture()
    {
        s_Lines.clear();
        m_Previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_Previous); }
    QStringList lines() const
    {
        QMutexLocker lock(&s_Mutex);
        return s_Lines;
    }
    bool contains(const QString &text) const { return !lines().filter(text).isEmpty(); }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        QMutexLocker lock(&s_Mutex);
        s_Lines << msg;
    }
    QtMessageHandler m_Previous;
    static QMutex s_Mutex;
    static QStringList s_Lines;
};
QMutex LogCapture::s_Mutex;
QStringList LogCapture::s_Lines;

struct CheckOutcome {
    int checkDoneCount = 0;
    bool pass = false;
    int state = TASK_IDLE;
    QStringList events; // messages and the end, in order
};

class CancelableCheck : public CheckSignatureTaskSpecification {
public:
    using CheckSignatureTaskSpecification::CheckSignatureTaskSpecification;
    using TaskSpecification::taskCanceled;
};

CheckOutcome runCheck(const QString &file, const QString &sha512, bool failOnMismatch = true)
{
    CheckOutcome out;
    CheckSignatureTaskSpecification task(file, sha512, failOnMismatch, nullptr, 0.2);
    SignalLog log(&task);
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone,
                     [&](bool pass, CheckSignatureTaskSpecification *t) {
                         ++out.checkDoneCount;
                         out.pass = pass;
                         // Emitted while the task is still running.
                         EXPECT_EQ(t, &task);
                         EXPECT_EQ(t->m_TaskState, TASK_RUNNING);
                     });
    task.execute();
    EXPECT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    drainEvents();
    out.state = task.m_TaskState;
    for (const QString &e : log.m_Events)
        if (!e.startsWith("progress:"))
            out.events << e;
    return out;
}

QString sha512sum(const QString &path)
{
    QByteArray out;
    EXPECT_EQ(runProgram("sha512sum", {path}, &out), 0);
    return QString::fromLatin1(out.left(128));
}

bool builtInKeyIsDemoKey()
{
    return CheckSigFunc::builtInPublicKey() == readFile(kDemoPublicKey);
}

class CheckSignatureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.isValid());
        m_File = m_Dir.filePath("product.ini");
        QByteArray content;
        for (int i = 0; i < 5000; ++i)
            content += QByteArray::number(i * 7919) + " line of the manifest\n";
        ASSERT_TRUE(writeFile(m_File, content));
    }

    QTemporaryDir m_Dir;
    QString m_File;
};

TEST_F(CheckSignatureTest, Sha512AgainstSha512sum)
{
    const QString hex = sha512sum(m_File);
    ASSERT_EQ(hex.size(), 128);
    QString oneDigitOff = hex;
    oneDigitOff[5] = oneDigitOff[5] == '0' ? '1' : '0';
    struct Case {
        const char *name;
        QString expected;
        bool pass;
    };
    const Case cases[] = {
        {"lower case", hex, true},
        {"upper case", hex.toUpper(), true},
        {"one digit off", oneDigitOff, false},
        {"not trimmed", hex + "\n", false},
        {"truncated", hex.left(127), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const CheckOutcome o = runCheck(m_File, c.expected);
        EXPECT_EQ(o.checkDoneCount, 1);
        EXPECT_EQ(o.pass, c.pass);
        EXPECT_EQ(o.state, c.pass ? TASK_FINISHED : TASK_FAILED);
    }

    // Also for an empty file and one larger than the reading chunk.
    const QString empty = m_Dir.filePath("empty");
    const QString big = m_Dir.filePath("big");
    ASSERT_TRUE(writeFile(empty, QByteArray()));
    ASSERT_TRUE(writeFile(big, QByteArray(3 * 256 * 1024 + 17, 'x')));
    for (const QString &f : {empty, big})
        EXPECT_TRUE(runCheck(f, sha512sum(f)).pass) << f.toStdString();
}

TEST_F(CheckSignatureTest, FailedCheckReportsAndEndsByFailOnMismatch)
{
    const QString wrong(128, 'a');
    const QString failedText = "message:Signature check failed for " + m_File;
    struct Case {
        bool failOnMismatch;
        int state;
        const char *end;
    };
    for (const Case &c : {Case{true, TASK_FAILED, "canceled"}, Case{false, TASK_FINISHED, "finished"}}) {
        SCOPED_TRACE(c.failOnMismatch);
        const CheckOutcome o = runCheck(m_File, wrong, c.failOnMismatch);
        EXPECT_EQ(o.checkDoneCount, 1);
        EXPECT_FALSE(o.pass);
        EXPECT_EQ(o.state, c.state);
        EXPECT_EQ(o.events, QStringList({failedText, c.end}));
    }
}

TEST_F(CheckSignatureTest, UnreadableFiles)
{
    LogCapture capture;
    const QString missing = m_Dir.filePath("missing");
    struct Case {
        const char *name;
        QString file;
        QString sha512;
        QString readMessage;
    };
    const Case cases[] = {
        {"missing file, digest", missing, QString(128, 'a'),
         "Could not open file " + missing + " for reading"},
        {"missing file, RSA", missing, QString(), "Could not open file " + missing + " for reading"},
        // An empty expected value always means the RSA check, which needs the ".sig" beside the file.
        {"no signature", m_File, QString(), "Could not open file " + m_File + ".sig for reading"},
        {"a directory", m_Dir.path(), QString(128, 'a'),
         "Could not open file " + m_Dir.path() + " for reading"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const CheckOutcome o = runCheck(c.file, c.sha512, false);
        EXPECT_EQ(o.events, QStringList({"message:" + c.readMessage,
                                         "message:Signature check failed for " + c.file, "finished"}));
        EXPECT_FALSE(o.pass);
    }
    EXPECT_TRUE(capture.contains("RSA check failed, could not read"));
}

TEST_F(CheckSignatureTest, RsaSignatureMadeByOpenssl)
{
    if (!builtInKeyIsDemoKey())
        GTEST_SKIP() << "built with a vendor key";
    ASSERT_TRUE(opensslSign(m_File, kDemoPrivateKey, m_File + ".sig"));
    LogCapture capture;
    CheckOutcome o = runCheck(m_File, QString());
    EXPECT_TRUE(o.pass);
    EXPECT_EQ(o.state, TASK_FINISHED);
    EXPECT_TRUE(capture.contains("RSA check true"));
}

// One flipped byte anywhere, or a signature of the wrong length, fails without ending the program.
TEST_F(CheckSignatureTest, RsaTamperingFails)
{
    if (!builtInKeyIsDemoKey())
        GTEST_SKIP() << "built with a vendor key";
    const QString sigPath = m_File + ".sig";
    ASSERT_TRUE(opensslSign(m_File, kDemoPrivateKey, sigPath));
    const QByteArray data = readFile(m_File);
    const QByteArray sig = readFile(sigPath);
    ASSERT_EQ(sig.size(), 128);
    auto flipped = [](QByteArray b, int at) {
        b[at] = static_cast<char>(b[at] ^ 0x01);
        return b;
    };
    struct Case {
        const char *name;
        QByteArray data;
        QByteArray sig;
        const char *log;
    };
    const Case cases[] = {
        // Depending on where the padding breaks, the library says "invalid" or reports an error.
        {"file byte flipped", flipped(data, data.size() / 2), sig, "RSA check false"},
        {"signature byte flipped", data, flipped(sig, 100), "RSA check"},
        {"signature first byte flipped", data, flipped(sig, 0), "RSA check"},
        {"127-byte signature", data, sig.left(127), "RSA check failed, caught exception"},
        {"129-byte signature", data, sig + 'x', "RSA check failed, caught exception"},
        {"empty signature", data, QByteArray(), "RSA check failed, caught exception"},
        {"huge signature", data, sig.repeated(1000), "RSA check failed, caught exception"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeFile(m_File, c.data));
        ASSERT_TRUE(writeFile(sigPath, c.sig));
        LogCapture capture;
        const CheckOutcome o = runCheck(m_File, QString());
        EXPECT_FALSE(o.pass);
        EXPECT_EQ(o.state, TASK_FAILED);
        EXPECT_TRUE(capture.contains(c.log)) << capture.lines().join("\n").toStdString();
    }
}

TEST_F(CheckSignatureTest, ResultAfterCancellationIsIgnored)
{
    CancelableCheck task(m_File, sha512sum(m_File), true, nullptr, 1.0);
    SignalLog log(&task);
    int checkDone = 0;
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone, [&] { ++checkDone; });
    task.execute();
    task.taskCanceled();
    QThreadPool::globalInstance()->waitForDone();
    drainEvents();
    EXPECT_EQ(checkDone, 0);
    EXPECT_EQ(task.m_TaskState, TASK_CANCELED);
    EXPECT_EQ(log.ends(), 1);
}

// Receivers connect checkDone by name; a direct receiver may end the check task itself.
TEST_F(CheckSignatureTest, CheckDoneByNameAndReceiverMayEndTheTask)
{
    CancelableCheck task(m_File, QString(128, 'b'), true, nullptr, 1.0);
    SignalLog log(&task);
    QSignalSpy byName(&task, SIGNAL(checkDone(bool, CheckSignatureTaskSpecification *)));
    ASSERT_TRUE(byName.isValid());
    int calls = 0;
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone,
                     [&](bool pass, CheckSignatureTaskSpecification *t) {
                         ++calls;
                         EXPECT_FALSE(pass);
                         static_cast<CancelableCheck *>(t)->taskCanceled();
                     });
    bool queuedArrived = false;
    QObject::connect(
        &task, &CheckSignatureTaskSpecification::checkDone, &task,
        [&](bool pass, CheckSignatureTaskSpecification *t) { queuedArrived = !pass && t == &task; },
        Qt::QueuedConnection);
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return queuedArrived; }));
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(byName.count(), 1);
    EXPECT_EQ(byName.at(0).at(1).value<CheckSignatureTaskSpecification *>(), &task);
    // Ended once, by the receiver.
    EXPECT_EQ(task.m_TaskState, TASK_CANCELED);
    EXPECT_EQ(log.ends(), 1);
}

TEST(CryptWrapperTest, LibraryErrorsBecomeExceptionsWithTheOperationName)
{
    initCrypto();
    EXPECT_NO_THROW(throwIfCryptError("anything", CRYPT_OK));
    try {
        throwIfCryptError("rsa_verify_hash", CRYPT_INVALID_PACKET);
        FAIL() << "no exception";
    } catch (const crypt_exception &e) {
        EXPECT_EQ(std::string(e.what()),
                  std::string("rsa_verify_hash : ") + error_to_string(CRYPT_INVALID_PACKET));
    }

    const QByteArray demo = readFile(kDemoPublicKey);
    ASSERT_EQ(demo.size(), 140);
    struct Case {
        const char *name;
        QByteArray der;
    };
    const Case bad[] = {
        {"empty", QByteArray()}, {"truncated", demo.left(139)}, {"garbage", QByteArray(140, '\x30')}};
    for (const Case &c : bad) {
        SCOPED_TRACE(c.name);
        RsaKey key;
        try {
            importRsaKey(key, reinterpret_cast<const unsigned char *>(c.der.constData()),
                         static_cast<unsigned long>(c.der.size()));
            FAIL() << "imported";
        } catch (const crypt_exception &e) {
            EXPECT_EQ(std::string(e.what()).rfind("rsa_import : ", 0), 0u) << e.what();
        }
    }
    RsaKey key;
    EXPECT_THROW(importRsaKey(key, nullptr, 140), crypt_exception);
    EXPECT_FALSE(key.m_Loaded);
}

TEST(CryptWrapperTest, VerifiesInMemoryDataSignedByOpenssl)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("data");
    const QByteArray data("the data that was signed");
    ASSERT_TRUE(writeFile(file, data));
    ASSERT_TRUE(opensslSign(file, kDemoPrivateKey, file + ".sig"));
    const QByteArray sig = readFile(file + ".sig");
    const QByteArray der = readFile(kDemoPublicKey);

    initCrypto();
    RsaKey key;
    importRsaKey(key, reinterpret_cast<const unsigned char *>(der.constData()),
                 static_cast<unsigned long>(der.size()));
    const auto *s = reinterpret_cast<const unsigned char *>(sig.constData());
    EXPECT_TRUE(verifyRsaSignature(key, reinterpret_cast<const unsigned char *>(data.constData()),
                                   static_cast<unsigned long>(data.size()), s,
                                   static_cast<unsigned long>(sig.size())));
    const QByteArray other = data + ".";
    EXPECT_FALSE(verifyRsaSignature(key, reinterpret_cast<const unsigned char *>(other.constData()),
                                    static_cast<unsigned long>(other.size()), s,
                                    static_cast<unsigned long>(sig.size())));
    EXPECT_THROW(verifyRsaSignature(key, reinterpret_cast<const unsigned char *>(data.constData()),
                                    static_cast<unsigned long>(data.size()), s, 127),
                 crypt_exception);
}

} // namespace
