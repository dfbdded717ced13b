#include "configuration.h"

#include "buildconfig.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QWidget>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

QString Configuration::s_DownloadBaseUrl;

namespace {

QString s_UpdaterDirOverride;

const char *const kIniName = "update.ini";

QString withTrailingSlash(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

} // namespace

Configuration::Configuration(QObject *parent) : QObject(parent) {}

Configuration::~Configuration() = default;

QString Configuration::productName(bool client)
{
    return QString::fromLatin1(client ? "client" : "update") + QStringLiteral("_linux_amd64");
}

QString Configuration::updaterDir()
{
    if (!s_UpdaterDirOverride.isEmpty())
        return s_UpdaterDirOverride;
    return QCoreApplication::applicationDirPath();
}

void Configuration::overrideUpdaterDir(const QString &dir)
{
    s_UpdaterDirOverride = dir;
}

QString Configuration::runScriptName()
{
    return QStringLiteral("tl3client_runscript.sh");
}

QString Configuration::configDir()
{
    const QString dir = qEnvironmentVariable("TL3_CONFIG_DIR");
    if (dir.isEmpty())
        return QDir::homePath() + QStringLiteral("/.tl3client/");
    return dir.endsWith(QDir::separator()) ? dir : dir + QDir::separator();
}

bool Configuration::createPrivateDir(const QString &path)
{
    // mkdir fails with EEXIST for anything already there, symbolic links included, so a directory
    // planted by another user in a shared place is never taken over. The mode is set again because
    // the umask may have narrowed or the caller may rely on exactly 0700.
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0)
        return false;
    ::chmod(native.constData(), 0700);
    return true;
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    qDebug() << "parseCommandLineOptions" << arguments;
    const int n = arguments.size();
    const bool clientUpdateFlag = n >= 2 && arguments.at(1) == QLatin1String("--clientupdate");
    const bool noUserFlag = n >= 2 && arguments.at(1) == QLatin1String("--nouser");
    m_ClientUpdate = clientUpdateFlag ? 1 : 0;

    getUpdateChannel();

    bool defaultsTaken = false;
    if (clientUpdateFlag || noUserFlag) {
        qDebug() << "CLIENTUPDATE" << (clientUpdateFlag ? "true" : "false");
        if (n >= 4 && !parseClientArguments(arguments, 2))
            return false;
        if (n >= 5 && arguments.at(4) != QLatin1String("#"))
            m_VersionString = arguments.at(4);
        defaultsTaken = true;
        getDefaultParameters();
    } else if (n == 3) {
        // Product and version given: no server query and no default product.
        if (!parseClientArguments(arguments, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        defaultsTaken = true;
        getDefaultParameters();
    }

    // With the defaults and no version yet, a version query is running; its answer makes us ready.
    if (!(defaultsTaken && m_Version == 0))
        m_Ready = true;
    return true;
}

bool Configuration::parseClientArguments(const QStringList &arguments, int i)
{
    if (i < 0 || i >= arguments.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    m_ClientType = arguments.at(i);
    if (i + 1 >= arguments.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return parseVersion(arguments.at(i + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::parseVersion(const QString &text, const QString &errorTemplate)
{
    // A version chosen by the alpha channel wins over the command line and the server.
    if (m_Version != 0)
        return true;
    bool ok = false;
    m_Version = text.toInt(&ok, 10);
    if (ok)
        return true;
    m_Version = 0;
    emit fatalError(errorTemplate.arg(text));
    return false;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString iniPath;
    const QString configIni = configDir() + QLatin1String(kIniName);
    const bool configExists = QFile::exists(configIni);
    qDebug() << "Update ini check #1 in CONFIG" << configIni << configExists;
    if (configExists) {
        qDebug() << "Found CONFIG/update.ini";
        iniPath = configIni;
    } else {
        const QString installIni = updaterDir() + QLatin1Char('/') + QLatin1String(kIniName);
        const bool installExists = QFile::exists(installIni);
        qDebug() << "Update ini check #2 in INSTALL" << installIni << installExists;
        if (installExists) {
            qDebug() << "Found INSTALL/update.ini";
            iniPath = installIni;
        }
    }

    if (iniPath.isEmpty()) {
        m_Channel = 0;
        m_Version = 0;
        s_DownloadBaseUrl = withTrailingSlash(QString::fromUtf8(buildconfig::kDownloadBaseUrl));
        qDebug() << "No update.ini found, using stable channel, URL =" << s_DownloadBaseUrl;
        return;
    }

    QSettings settings(iniPath, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = 2;
        m_Version = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        s_DownloadBaseUrl = withTrailingSlash(alpha);
        qDebug() << "Alpha channel detected, URL =" << s_DownloadBaseUrl;
    } else {
        m_Channel = beta ? 1 : 0;
        m_Version = 0;
        s_DownloadBaseUrl = withTrailingSlash(QString::fromUtf8(buildconfig::kDownloadBaseUrl));
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << s_DownloadBaseUrl;
    }
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = productName(m_ClientUpdate != 0);
    qDebug() << "clientType" << m_ClientType;
    if (m_Version == 0)
        startVersionQuery();
    return true;
}

void Configuration::startVersionQuery()
{
    UpdateChecker *checker = new UpdateChecker(this);
    connect(checker, SIGNAL(update_available(UpdateVersions)), this,
            SLOT(on_updateAvailable(UpdateVersions)));
    checker->check();
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        reportVersionQueryFailure();
        return;
    }
    const QPair<QString, QString> version = UpdateChecker::channelVersion(versions, m_Channel);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(QObject::tr("Update server returned no version"));
        return;
    }
    if (!parseVersion(version.first, QObject::tr("Update server returned invalid version nr (%1)")))
        return;
    m_VersionString = version.second;
    m_Ready = true;
    emit ready();
}

void Configuration::reportVersionQueryFailure()
{
    QWidget *mainWindow = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("MainWindow")) {
            mainWindow = widget;
            break;
        }
    }
    QMessageBox::critical(mainWindow, QObject::tr("Error"),
                          QObject::tr("Failed to query latest client\nversion from update server."),
                          QMessageBox::Abort);
    QCoreApplication::quit();
}

bool Configuration::initalizeStart(const QString &tempDir, const QString &installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? updaterDir() : installDir;
    return true;
}

QString Configuration::systemTempPath() const
{
    return QDir::tempPath();
}

bool Configuration::createTempDir()
{
    const QString tempPath = systemTempPath();
    if (tempPath.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    // The temporary directory itself may be missing; the session directory below it is always
    // made fresh by this call.
    QDir().mkpath(tempPath);
    const QString base = withTrailingSlash(tempPath) + QStringLiteral("talvenor_temp_");
    for (int i = 0; i < 1000; ++i) {
        const QString candidate = base + QString::number(i);
        if (createPrivateDir(candidate)) {
            m_TempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdaterSettings()
{
    QSettings settings(QDir(updaterDir()).absoluteFilePath(QLatin1String(kIniName)), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy")).toString();
    m_Streams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (m_Streams < 1)
        m_Streams = 6;
}
