// Command line, release channel, updater settings and session directory of the configuration.
#include "configuration.h"
#include "qtprint.h"
#include "testutil.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Exposes the internal steps and replaces the two outside contacts: the version query and the
// system temporary directory.
class ProbeConfiguration : public Configuration {
public:
    using Configuration::createTempDir;
    using Configuration::getUpdateChannel;
    using Configuration::parseClientArguments;
    using Configuration::parseVersion;
    using Configuration::reportVersionQueryFailure;

    int m_QueriesStarted = 0;
    QString m_SystemTemp;

protected:
    void startVersionQuery() override { ++m_QueriesStarted; }
    QString systemTempPath() const override { return m_SystemTemp; }
};

QStringList s_Captured;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    s_Captured << text;
}

// Collects what is logged while it lives.
class LogCapture {
public:
    LogCapture()
    {
        s_Captured.clear();
        m_Previous = qInstallMessageHandler(captureMessage);
    }
    ~LogCapture() { qInstallMessageHandler(m_Previous); }
    bool contains(const QString &text) const { return s_Captured.contains(text); }

private:
    QtMessageHandler m_Previous;
};

// Every test gets its own config and install directories, so no update.ini of the machine or of
// another test is seen.
class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Root.isValid());
        m_ConfigDir = m_Root.path() + "/config";
        m_InstallDir = m_Root.path() + "/install";
        ASSERT_TRUE(QDir().mkpath(m_ConfigDir));
        ASSERT_TRUE(QDir().mkpath(m_InstallDir));
        m_SavedConfigEnv = qgetenv("TL3_CONFIG_DIR");
        m_HadConfigEnv = qEnvironmentVariableIsSet("TL3_CONFIG_DIR");
        qputenv("TL3_CONFIG_DIR", m_ConfigDir.toLocal8Bit()); // no trailing separator on purpose
        Configuration::overrideUpdaterDir(m_InstallDir);
        Configuration::s_DownloadBaseUrl.clear();
    }

    void TearDown() override
    {
        if (m_HadConfigEnv)
            qputenv("TL3_CONFIG_DIR", m_SavedConfigEnv);
        else
            qunsetenv("TL3_CONFIG_DIR");
        Configuration::overrideUpdaterDir(QString());
        Configuration::s_DownloadBaseUrl.clear();
    }

    void writeIni(const QString &dir, const char *content)
    {
        if (content) {
            ASSERT_TRUE(testutil::writeFile(dir + "/update.ini", content));
        }
    }

    QTemporaryDir m_Root;
    QString m_ConfigDir;
    QString m_InstallDir;
    QByteArray m_SavedConfigEnv;
    bool m_HadConfigEnv = false;
};

QStringList withProgram(const QStringList &args)
{
    return QStringList{"/opt/tl3/update"} + args;
}

bool isDefaultBaseUrl(const QString &url)
{
    return url.startsWith("http") && url.endsWith("/updater-images/client/") && !url.endsWith("//");
}

} // namespace

TEST_F(ConfigurationTest, CommandLineTable)
{
    struct Case {
        QStringList args;
        bool parsed;
        int clientUpdate;
        QString type;
        int version;
        QString versionString;
        bool ready;
        int queries;
        QString fatal; // empty: no fatal error
        bool emptyParamsLogged;
    };
    const QString client = "client_linux_amd64";
    const QString updater = "update_linux_amd64";
    const Case cases[] = {
        {{}, true, 0, updater, 0, "", false, 1, "", true},
        {{client, "12345"}, true, 0, client, 12345, "", true, 0, "", false},
        {{"--clientupdate", client, "12345", "3.0.19"}, true, 1, client, 12345, "3.0.19", true, 0, "", false},
        {{"--clientupdate", client, "12345", "#"}, true, 1, client, 12345, "", true, 0, "", false},
        {{"--nouser", client, "12345", "3.0.19"}, true, 0, client, 12345, "3.0.19", true, 0, "", false},
        {{"--nouser", client, "12345"}, true, 0, client, 12345, "", true, 0, "", false},
        {{"--clientupdate", client, "12345", "3.0.19", "extra", "more"},
         true,
         1,
         client,
         12345,
         "3.0.19",
         true,
         0,
         "",
         false},
        {{"--nouser", "x"}, true, 0, updater, 0, "", false, 1, "", false},
        {{"--clientupdate", "x"}, true, 1, client, 0, "", false, 1, "", false},
        {{"--clientupdate"}, true, 1, client, 0, "", false, 1, "", false},
        {{"a", "b", "c"}, true, 0, updater, 0, "", false, 1, "", true},
        {{client}, true, 0, updater, 0, "", false, 1, "", true},
        {{"--CLIENTUPDATE", client, "12"}, true, 0, updater, 0, "", false, 1, "", true},
        // A flag with product and version 0 still has no target: the server is asked.
        {{"--clientupdate", client, "0"}, true, 1, client, 0, "", false, 1, "", false},
        // Without a flag nothing is asked, whatever the version.
        {{client, "0"}, true, 0, client, 0, "", true, 0, "", false},
        {{client, "abc"}, false, 0, client, 0, "", false, 0, "Invalid version nr (abc)", false},
        {{client, "99999999999"},
         false,
         0,
         client,
         0,
         "",
         false,
         0,
         "Invalid version nr (99999999999)",
         false},
        {{client, ""}, false, 0, client, 0, "", false, 0, "Invalid version nr ()", false},
        {{"--clientupdate", client, "x1", "3.0"},
         false,
         1,
         client,
         0,
         "",
         false,
         0,
         "Invalid version nr (x1)",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        ProbeConfiguration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QSignalSpy ready(&config, &Configuration::ready);
        LogCapture log;
        EXPECT_EQ(config.parseCommandLineOptions(withProgram(c.args)), c.parsed);
        EXPECT_EQ(config.m_ClientUpdate, c.clientUpdate);
        EXPECT_EQ(config.m_ClientType, c.type);
        EXPECT_EQ(config.m_Version, c.version);
        EXPECT_EQ(config.m_VersionString, c.versionString);
        EXPECT_EQ(config.m_Ready, c.ready);
        EXPECT_EQ(config.m_QueriesStarted, c.queries);
        EXPECT_EQ(config.m_Channel, 0);
        EXPECT_EQ(log.contains("Empty cmdline params"), c.emptyParamsLogged);
        EXPECT_EQ(ready.count(), 0); // ready() belongs to the server's answer only
        if (c.fatal.isEmpty()) {
            EXPECT_EQ(fatal.count(), 0);
        } else {
            ASSERT_EQ(fatal.count(), 1);
            EXPECT_EQ(fatal.at(0).at(0).toString(), c.fatal);
        }
        EXPECT_TRUE(isDefaultBaseUrl(Configuration::s_DownloadBaseUrl))
            << Configuration::s_DownloadBaseUrl.toStdString();
    }
}

TEST_F(ConfigurationTest, AlphaRevisionWinsOverCommandLineAndServer)
{
    struct Case {
        const char *ini;
        QStringList args;
        int version;
        bool ready;
        int queries;
        QString type;
    };
    const char *withRevno = "[Channel]\nalpha=http://alpha.test/img\nalphaRevno=777\n";
    const char *withoutRevno = "[Channel]\nalpha=http://alpha.test/img\n";
    const Case cases[] = {
        {withRevno, {"client_linux_amd64", "12345"}, 777, true, 0, "client_linux_amd64"},
        {withRevno, {"client_linux_amd64", "abc"}, 777, true, 0, "client_linux_amd64"},
        {withRevno, {}, 777, true, 0, "update_linux_amd64"},
        {withRevno, {"--clientupdate", "client_linux_amd64", "5", "1.0"}, 777, true, 0, "client_linux_amd64"},
        {withoutRevno, {}, 0, false, 1, "update_linux_amd64"},
        {withoutRevno, {"client_linux_amd64", "12345"}, 12345, true, 0, "client_linux_amd64"},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(QString("%1 | %2").arg(c.ini, c.args.join(' ')).toStdString());
        const QString installDir = m_Root.path() + "/install_" + QString::number(index++);
        ASSERT_TRUE(QDir().mkpath(installDir));
        Configuration::overrideUpdaterDir(installDir);
        writeIni(installDir, c.ini);
        ProbeConfiguration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_TRUE(config.parseCommandLineOptions(withProgram(c.args)));
        EXPECT_EQ(config.m_Channel, 2);
        EXPECT_EQ(config.m_Version, c.version);
        EXPECT_EQ(config.m_Ready, c.ready);
        EXPECT_EQ(config.m_QueriesStarted, c.queries);
        EXPECT_EQ(config.m_ClientType, c.type);
        EXPECT_EQ(fatal.count(), 0);
        EXPECT_EQ(Configuration::s_DownloadBaseUrl, "http://alpha.test/img/");
    }
}

TEST_F(ConfigurationTest, ClientArgumentsMissingOrKeptVersion)
{
    ProbeConfiguration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);

    EXPECT_FALSE(config.parseClientArguments({"update"}, 1));
    EXPECT_FALSE(config.parseClientArguments({"update", "client_linux_amd64"}, 1));
    EXPECT_EQ(config.m_ClientType, "client_linux_amd64");
    ASSERT_EQ(fatal.count(), 2);
    EXPECT_EQ(fatal.at(0).at(0).toString(), "No client type specified");
    EXPECT_EQ(fatal.at(1).at(0).toString(), "No client version specified");

    // A version already chosen stays, even against a text that is no number.
    config.m_Version = 5;
    EXPECT_TRUE(config.parseVersion("abc", "bad %1"));
    EXPECT_TRUE(config.parseVersion("9", "bad %1"));
    EXPECT_EQ(config.m_Version, 5);
    config.m_Version = 0;
    EXPECT_FALSE(config.parseVersion("12x", "Update server returned invalid version nr (%1)"));
    EXPECT_EQ(config.m_Version, 0);
    ASSERT_EQ(fatal.count(), 3);
    EXPECT_EQ(fatal.at(2).at(0).toString(), "Update server returned invalid version nr (12x)");
}

TEST_F(ConfigurationTest, ChannelFileTable)
{
    struct Case {
        const char *name;
        const char *configIni; // null: no file
        const char *installIni;
        int channel;
        int version;
        QString url; // empty: the built-in default
    };
    const Case cases[] = {
        {"no file anywhere", nullptr, nullptr, 0, 0, ""},
        {"alpha with revision", nullptr, "[Channel]\nalpha=http://alpha.test/img\nalphaRevno=777\n", 2, 777,
         "http://alpha.test/img/"},
        {"alpha without revision, slash kept single", nullptr, "[Channel]\nalpha=http://alpha.test/img/\n", 2,
         0, "http://alpha.test/img/"},
        {"alpha beats beta", nullptr, "[Channel]\nalpha=http://a.test\nbeta=true\nalphaRevno=3\n", 2, 3,
         "http://a.test/"},
        {"beta false, Beta true", nullptr, "[Channel]\nbeta=false\nBeta=true\n", 1, 0, ""},
        {"beta true", nullptr, "[Channel]\nbeta=true\n", 1, 0, ""},
        {"Beta false only", nullptr, "[Channel]\nBeta=false\n", 0, 0, ""},
        {"no Channel group", nullptr, "[update]\nstreams=3\n[Channel2]\nalpha=http://x.test/\n", 0, 0, ""},
        {"config dir wins", "[Channel]\nbeta=true\n", "[Channel]\nalpha=http://alpha.test/\nalphaRevno=9\n",
         1, 0, ""},
        {"config dir without Channel group still wins", "[update]\nproxy=x\n",
         "[Channel]\nalpha=http://alpha.test/\nalphaRevno=9\n", 0, 0, ""},
        {"config dir alpha", "[Channel]\nalpha=http://cfg.test/u\nalphaRevno=11\n", "[Channel]\nbeta=true\n",
         2, 11, "http://cfg.test/u/"},
        {"malformed file", nullptr, "\x01\x02[[[Channel\nalpha\n=\n\xff\xfe", 0, 0, ""},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Fresh directories per case, so Qt's cache of parsed INI files cannot answer with an old file.
        const QString configDir = m_Root.path() + "/config_" + QString::number(index);
        const QString installDir = m_Root.path() + "/install_" + QString::number(index++);
        ASSERT_TRUE(QDir().mkpath(configDir));
        ASSERT_TRUE(QDir().mkpath(installDir));
        qputenv("TL3_CONFIG_DIR", configDir.toLocal8Bit());
        Configuration::overrideUpdaterDir(installDir);
        writeIni(configDir, c.configIni);
        writeIni(installDir, c.installIni);
        ProbeConfiguration config;
        config.m_Version = 99; // every channel choice resets or replaces it
        config.m_Channel = 1;
        config.getUpdateChannel();
        EXPECT_EQ(config.m_Channel, c.channel);
        EXPECT_EQ(config.m_Version, c.version);
        if (c.url.isEmpty())
            EXPECT_TRUE(isDefaultBaseUrl(Configuration::s_DownloadBaseUrl))
                << Configuration::s_DownloadBaseUrl.toStdString();
        else
            EXPECT_EQ(Configuration::s_DownloadBaseUrl, c.url);
    }
}

TEST_F(ConfigurationTest, ConfigDirFromEnvironmentOrHome)
{
    qputenv("TL3_CONFIG_DIR", "/srv/tl3/conf");
    EXPECT_EQ(Configuration::configDir(), "/srv/tl3/conf/");
    qputenv("TL3_CONFIG_DIR", "/srv/tl3/conf/");
    EXPECT_EQ(Configuration::configDir(), "/srv/tl3/conf/");
    qputenv("TL3_CONFIG_DIR", "");
    EXPECT_EQ(Configuration::configDir(), QDir::homePath() + "/.tl3client/");
    qunsetenv("TL3_CONFIG_DIR");
    EXPECT_EQ(Configuration::configDir(), QDir::homePath() + "/.tl3client/");
}

TEST_F(ConfigurationTest, UpdaterSettingsTable)
{
    struct Case {
        const char *ini; // null: no file
        QString proxy;
        int streams;
    };
    const Case cases[] = {
        {nullptr, "", 6},
        {"[update]\nstreams=0\n", "", 6},
        {"[update]\nstreams=-3\n", "", 6},
        {"[update]\nproxy=http://127.0.0.1:3128\n", "http://127.0.0.1:3128", 6},
        {"[update]\nstreams=1\n", "", 1},
        {"[update]\nstreams=12\nproxy=http://proxy.test:8080/\n", "http://proxy.test:8080/", 12},
        {"[update]\nstreams=many\n", "", 6},
        {"[current]\nstreams=3\nproxy=x\n", "", 6}, // other groups do not count
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no file");
        const QString dir = m_Root.path() + "/settings_" + QString::number(index++);
        ASSERT_TRUE(QDir().mkpath(dir));
        writeIni(dir, c.ini);
        Configuration::overrideUpdaterDir(dir);
        Configuration config;
        config.readUpdaterSettings();
        EXPECT_EQ(config.m_Proxy, c.proxy);
        EXPECT_EQ(config.m_Streams, c.streams);
    }
}

TEST_F(ConfigurationTest, TempDirNumberingSkipsEverythingAlreadyThere)
{
    const QString temp = m_Root.path() + "/tmp";
    const QString elsewhere = m_Root.path() + "/elsewhere";
    ASSERT_TRUE(QDir().mkpath(temp));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    ASSERT_TRUE(QDir().mkpath(temp + "/talvenor_temp_0"));
    ASSERT_TRUE(QDir().mkpath(temp + "/talvenor_temp_1"));
    ASSERT_TRUE(testutil::writeFile(temp + "/talvenor_temp_2", "a file"));
    ASSERT_EQ(
        ::symlink(elsewhere.toLocal8Bit().constData(), (temp + "/talvenor_temp_3").toLocal8Bit().constData()),
        0);
    // Dangling: someone prepared a link to a place that does not exist yet.
    ASSERT_EQ(::symlink((elsewhere + "/planted").toLocal8Bit().constData(),
                        (temp + "/talvenor_temp_4").toLocal8Bit().constData()),
              0);

    ProbeConfiguration config;
    config.m_SystemTemp = temp + "/"; // a trailing separator is not doubled
    QSignalSpy fatal(&config, &Configuration::fatalError);
    const mode_t oldMask = ::umask(0);
    const bool created = config.createTempDir();
    ::umask(oldMask);
    ASSERT_TRUE(created);
    EXPECT_EQ(config.m_TempDir, temp + "/talvenor_temp_5");
    EXPECT_EQ(fatal.count(), 0);
    struct stat st;
    ASSERT_EQ(::lstat(config.m_TempDir.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(QFileInfo::exists(elsewhere + "/planted"));
    EXPECT_TRUE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // The next session takes the next number.
    ProbeConfiguration second;
    second.m_SystemTemp = temp;
    ASSERT_TRUE(second.createTempDir());
    EXPECT_EQ(second.m_TempDir, temp + "/talvenor_temp_6");
}

TEST_F(ConfigurationTest, PrivateDirIsNeverAnExistingOne)
{
    const QString base = m_Root.path();
    const QString existing = base + "/existing";
    const QString target = base + "/target";
    const QString link = base + "/link";
    ASSERT_TRUE(QDir().mkpath(existing));
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_EQ(::chmod(existing.toLocal8Bit().constData(), 0777), 0);
    ASSERT_EQ(::symlink(target.toLocal8Bit().constData(), link.toLocal8Bit().constData()), 0);

    EXPECT_FALSE(Configuration::createPrivateDir(existing));
    EXPECT_FALSE(Configuration::createPrivateDir(link));
    EXPECT_FALSE(Configuration::createPrivateDir(base + "/missing/child")); // one level only
    EXPECT_TRUE(Configuration::createPrivateDir(base + "/fresh"));
    EXPECT_FALSE(Configuration::createPrivateDir(base + "/fresh")); // a second call does not adopt it

    struct stat st;
    ASSERT_EQ(::stat(existing.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u); // left as it was
    ASSERT_EQ(::lstat(link.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ConfigurationTest, TempDirFailures)
{
    const QString notADir = m_Root.path() + "/plainfile";
    ASSERT_TRUE(testutil::writeFile(notADir, "x"));
    struct Case {
        QString systemTemp;
        QString fatal;
    };
    const Case cases[] = {
        {"", "Unable to get temp directory."},
        {notADir, "Unable to create temp directory."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.systemTemp.toStdString());
        ProbeConfiguration config;
        config.m_SystemTemp = c.systemTemp;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_FALSE(config.createTempDir());
        EXPECT_TRUE(config.m_TempDir.isEmpty());
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal.at(0).at(0).toString(), c.fatal);

        // Session start fails with it and leaves the install directory alone.
        ProbeConfiguration start;
        start.m_SystemTemp = c.systemTemp;
        EXPECT_FALSE(start.initalizeStart("", "/opt/tl3"));
        EXPECT_TRUE(start.m_InstallDir.isEmpty());
    }
}

TEST_F(ConfigurationTest, InitializeStartKeepsOrCreatesDirectories)
{
    const QString temp = m_Root.path() + "/tmp";
    ASSERT_TRUE(QDir().mkpath(temp));

    ProbeConfiguration kept;
    kept.m_SystemTemp = temp;
    EXPECT_TRUE(kept.initalizeStart("/var/tmp/talvenor_temp_3", "/opt/tl3"));
    EXPECT_EQ(kept.m_TempDir, "/var/tmp/talvenor_temp_3");
    EXPECT_EQ(kept.m_InstallDir, "/opt/tl3");
    EXPECT_TRUE(QDir(temp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    ProbeConfiguration fresh;
    fresh.m_SystemTemp = temp;
    EXPECT_TRUE(fresh.initalizeStart("", ""));
    EXPECT_EQ(fresh.m_TempDir, temp + "/talvenor_temp_0");
    EXPECT_TRUE(QFileInfo(fresh.m_TempDir).isDir());
    EXPECT_EQ(fresh.m_InstallDir, m_InstallDir);
}

TEST_F(ConfigurationTest, FailedQueryShowsAnAbortBoxOnTheMainWindowThenQuits)
{
    QWidget other;
    other.setObjectName("Banner");
    QWidget mainWindow;
    mainWindow.setObjectName("MainWindow");
    ProbeConfiguration config;

    QString title;
    QString text;
    QWidget *parent = nullptr;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        closer.stop();
        title = box->windowTitle();
        text = box->text();
        parent = box->parentWidget();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(QMessageBox::Abort)->click();
    });
    closer.start();
    QTimer giveUp; // ends the loop with a code of its own if the box never appears or never quits
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, []() { QCoreApplication::exit(99); });
    giveUp.start(10000);
    QTimer::singleShot(0, &config, [&config]() { config.reportVersionQueryFailure(); });

    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(title, "Error");
    EXPECT_EQ(text, "Failed to query latest client\nversion from update server.");
    EXPECT_EQ(parent, &mainWindow);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Abort));
    EXPECT_FALSE(config.m_Ready);
}
