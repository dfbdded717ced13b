// Version server replies: decoding of replies made by protoc from text messages, and the query
// over HTTP against the in-process test server.
#include "httpdownloader.h"
#include "testhttpserver.h"
#include "updatechecker.h"
#include "versioninfo.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

// Encodes a text-format Versions message with protoc, an encoder independent of ours.
QByteArray protocEncode(const QByteArray &text)
{
    QProcess p;
    p.start("protoc", {"--encode=talvenor.update.Versions",
                       "--proto_path=" TL3_SOURCE_DIR "/updateserver_client", "UpdateMessage.proto"});
    p.write(text);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000));
    return p.readAllStandardOutput();
}

typedef QPair<QString, QString> VPair;

struct ReplyCase {
    const char *what;
    QByteArray text;
    UpdateVersions expected;
};

} // namespace

TEST(VersionReply, ProtocEncodedRepliesDecodeToTheExpectedMap)
{
    const QList<ReplyCase> cases = {
        {"two channels",
         "licenseAgreementId: 3\n"
         "channels { name: 'stable' version_number: 5000 version_string: '3.0.50' }\n"
         "channels { name: 'beta' version_number: 5100 version_string: '3.1.0-beta \\303\\244' }\n",
         {{"stable", VPair("5000", "3.0.50")},
          {"beta", VPair("5100", QString::fromUtf8("3.1.0-beta \xc3\xa4"))}}},
        {"a repeated name keeps the first",
         "licenseAgreementId: 1\n"
         "channels { name: 'beta' version_number: 7 version_string: 'first' }\n"
         "channels { name: 'stable' version_number: 6 version_string: 's' }\n"
         "channels { name: 'beta' version_number: 8 version_string: 'second' }\n",
         {{"beta", VPair("7", "first")}, {"stable", VPair("6", "s")}}},
        {"negative number read as unsigned 32-bit",
         "licenseAgreementId: 1\n"
         "channels { name: 'alpha' version_number: -1 version_string: 'x' }\n",
         {{"alpha", VPair("4294967295", "x")}}},
        {"second channel lacks version_string: whole reply invalid",
         "licenseAgreementId: 1\n"
         "channels { name: 'stable' version_number: 5000 version_string: 'ok' }\n"
         "channels { name: 'beta' version_number: 5100 }\n",
         {}},
        {"licenseAgreementId missing",
         "channels { name: 'stable' version_number: 1 version_string: 'a' }\n",
         {}},
        {"no channels", "licenseAgreementId: 9\n", {}},
    };
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray body = protocEncode(c.text);
        ASSERT_FALSE(body.isEmpty());
        EXPECT_EQ(UpdateChecker::decodeVersions(body), c.expected);
    }
    EXPECT_TRUE(UpdateChecker::decodeVersions(QByteArray()).isEmpty());
    EXPECT_TRUE(UpdateChecker::decodeVersions(QByteArray("\xff\xff\xff\xff garbage")).isEmpty());
}

TEST(VersionReply, ParseVersionsResultCodesAndUntouchedOutput)
{
    const QByteArray good =
        protocEncode("licenseAgreementId: 42\n"
                     "channels { name: 'b' version_number: 2 version_string: 'two' }\n"
                     "channels { name: 'b' version_number: 3 version_string: 'three' }\n");
    VersionInfo info;
    ASSERT_EQ(parseVersions(good.constData(), unsigned(good.size()), &info), 0);
    EXPECT_EQ(info.licenseAgreementId, 42);
    EXPECT_EQ(info.channelNames, (std::vector<std::string>{"b", "b"}));
    ASSERT_EQ(info.channels.size(), 1u);
    EXPECT_EQ(info.channels.at("b").versionString, "two");
    EXPECT_EQ(info.channels.at("b").versionNumber, 2);

    VersionInfo untouched;
    untouched.licenseAgreementId = 77;
    untouched.channelNames = {"keep"};
    EXPECT_EQ(parseVersions(nullptr, 10, &untouched), 1);
    // A truncated message is incomplete.
    EXPECT_EQ(parseVersions(good.constData(), unsigned(good.size() - 3), &untouched), 2);
    EXPECT_EQ(untouched.licenseAgreementId, 77);
    EXPECT_EQ(untouched.channelNames, std::vector<std::string>{"keep"});
}

TEST(VersionReply, ChannelVersionLookup)
{
    const UpdateVersions v = {{"stable", VPair("1", "a")}, {"beta", VPair("2", "b")}};
    EXPECT_EQ(UpdateChecker::channelVersion(v, 0), VPair("1", "a"));
    EXPECT_EQ(UpdateChecker::channelVersion(v, 1), VPair("2", "b"));
    EXPECT_EQ(UpdateChecker::channelVersion(v, 2), VPair()); // no "alpha" key
    EXPECT_EQ(UpdateChecker::channelVersion(v, 3), VPair());
    EXPECT_EQ(UpdateChecker::channelVersion(v, -1), VPair());
}

namespace {

// A port on 127.0.0.1 that nobody listens on.
QUrl deadUrl(const QString &path)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QString("http://127.0.0.1:%1%2").arg(port).arg(path));
}

QByteArray fetch(const QUrl &url)
{
    HTTPDownloader *d = new HTTPDownloader(QNetworkRequest(url));
    QSignalSpy spy(d, SIGNAL(download_available(QByteArray)));
    QSignalSpy destroyed(d, SIGNAL(destroyed()));
    d->start();
    EXPECT_TRUE(spy.wait(10000));
    EXPECT_EQ(spy.count(), 1);
    // The thread object removes itself once its thread has ended.
    EXPECT_TRUE(destroyed.count() == 1 || destroyed.wait(10000));
    return spy.isEmpty() ? QByteArray("<none>") : spy.at(0).at(0).toByteArray();
}

} // namespace

TEST(HTTPDownloaderTest, BodyOnSuccessEmptyOnAnyFailure)
{
    TestHttpServer server;
    server.setFile("/ok", "the body");
    server.setResponse("/missing", TestHttpServer::Response::withStatus(404));
    server.setResponse("/cut", TestHttpServer::Response::closing(QByteArray(1000, 'x'), 10));
    server.setFile("/huge", QByteArray(int(HTTPDownloader::kMaxBodySize) + 300000, 'h'));

    EXPECT_EQ(fetch(QUrl(server.baseUrl() + "ok")), QByteArray("the body"));
    EXPECT_EQ(fetch(QUrl(server.baseUrl() + "missing")), QByteArray());
    EXPECT_EQ(fetch(QUrl(server.baseUrl() + "cut")), QByteArray());
    EXPECT_EQ(fetch(QUrl(server.baseUrl() + "huge")), QByteArray());
    EXPECT_EQ(fetch(deadUrl("/x")), QByteArray());
    EXPECT_EQ(server.requestCount("/ok"), 1);
}

TEST(UpdateCheckerTest, QueryEmitsTheDecodedMapOnceAndDeletesItself)
{
    TestHttpServer server;
    server.setFile("/tl3-client-2",
                   protocEncode("licenseAgreementId: 3\n"
                                "channels { name: 'stable' version_number: 5000 version_string: '3.0' }\n"));
    struct Case {
        QUrl url;
        UpdateVersions expected;
    };
    const QList<Case> cases = {
        {QUrl(server.baseUrl() + "tl3-client-2"), {{"stable", VPair("5000", "3.0")}}},
        {deadUrl("/tl3-client-2"), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url.toString().toStdString());
        UpdateChecker *checker = new UpdateChecker(nullptr, c.url);
        QSignalSpy spy(checker, SIGNAL(update_available(UpdateVersions)));
        QSignalSpy destroyed(checker, SIGNAL(destroyed()));
        checker->check();
        ASSERT_TRUE(spy.wait(10000));
        EXPECT_TRUE(destroyed.count() == 1 || destroyed.wait(5000));
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy.at(0).at(0).value<UpdateVersions>(), c.expected);
    }
    EXPECT_EQ(server.requestCount("/tl3-client-2"), 1);
}

TEST(UpdateCheckerTest, DefaultServerUrlPath)
{
    EXPECT_EQ(UpdateChecker::defaultServerUrl().path(), "/tl3-client-2");
}
