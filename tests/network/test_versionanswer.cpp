// The configuration's reaction to the version server's answer.
#include "configuration.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class ProbeConfiguration : public Configuration {
public:
    int m_Failures = 0;

protected:
    void reportVersionQueryFailure() override { ++m_Failures; }
};

typedef QPair<QString, QString> VPair;

} // namespace

TEST(VersionAnswer, ChannelEntryBecomesTheTarget)
{
    struct Case {
        const char *what;
        int channel;
        int presetVersion;
        UpdateVersions answer;
        int failures;
        QString fatal; // empty: ready expected
        int version;
        QString versionString;
    };
    const UpdateVersions both = {{"stable", VPair("5000", "3.0.50")}, {"beta", VPair("5100", "3.1.0")}};
    const QList<Case> cases = {
        {"stable", 0, 0, both, 0, "", 5000, "3.0.50"},
        {"beta", 1, 0, both, 0, "", 5100, "3.1.0"},
        {"empty answer", 0, 0, {}, 1, "", 0, ""},
        {"channel missing", 2, 0, both, 0, "Update server returned no version", 0, ""},
        {"number too large for an int",
         0,
         0,
         {{"stable", VPair("4294967295", "x")}},
         0,
         "Update server returned invalid version nr (4294967295)",
         0,
         ""},
        {"a preset alpha version wins", 2, 777, {{"alpha", VPair("900", "a9")}}, 0, "", 777, "a9"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ProbeConfiguration config;
        config.m_Channel = c.channel;
        config.m_Version = c.presetVersion;
        QSignalSpy ready(&config, SIGNAL(ready()));
        QSignalSpy fatal(&config, SIGNAL(fatalError(QString)));
        ASSERT_TRUE(QMetaObject::invokeMethod(&config, "on_updateAvailable", Qt::DirectConnection,
                                              Q_ARG(UpdateVersions, c.answer)));
        EXPECT_EQ(config.m_Failures, c.failures);
        const bool expectReady = c.fatal.isEmpty() && c.failures == 0;
        EXPECT_EQ(ready.count(), expectReady ? 1 : 0);
        EXPECT_EQ(config.m_Ready, expectReady);
        ASSERT_EQ(fatal.count(), c.fatal.isEmpty() ? 0 : 1);
        if (!c.fatal.isEmpty()) {
            EXPECT_EQ(fatal.at(0).at(0).toString(), c.fatal);
        }
        EXPECT_EQ(config.m_Version, c.version);
        EXPECT_EQ(config.m_VersionString, c.versionString);
    }
}
