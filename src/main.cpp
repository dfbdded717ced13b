// Entry point of the updater: log, clean-up of an earlier self-update, translations, configuration.
#include "configuration.h"
#include "updatechecker.h"
#include "updaterlog.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <google/protobuf/stubs/common.h>

#include <cstdio>

namespace {

// Until the update window takes over, a fatal configuration error ends the event loop with 1
// and is also shown on the standard error stream of whoever started us.
void onFatalConfigError(const QString &errorMessage)
{
    qDebug() << "Fatal configuration error:" << errorMessage;
    std::fprintf(stderr, "update: %s\n", errorMessage.toLocal8Bit().constData());
    QCoreApplication::exit(1);
}

// Called from the configuration's ready() and from the start timer, whichever comes first.
void onStartUpdate(const Configuration &config)
{
    static bool started = false;
    if (started)
        return;
    if (!config.m_Ready) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    started = true;
    qDebug() << "Configuration ready:" << config.m_ClientType << config.m_Version << config.m_VersionString
             << "channel" << config.m_Channel << Configuration::s_DownloadBaseUrl;
    std::printf("%s %d %s channel %d %s\n", config.m_ClientType.toLocal8Bit().constData(), config.m_Version,
                config.m_VersionString.toLocal8Bit().constData(), config.m_Channel,
                Configuration::s_DownloadBaseUrl.toLocal8Bit().constData());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    // Before any object exists: the version answer travels through a queued connection.
    qRegisterMetaType<UpdateVersions>("UpdateVersions");

    UpdaterLog::instance();
    qInstallMessageHandler(updaterMessageHandler);

    int exitCode = 0;
    {
        QApplication app(argc, argv);
        const QString appDir = QCoreApplication::applicationDirPath();
        qDebug() << "Talvenor updater started";

        // Left behind by an earlier self-update; only an empty one goes, failures do not matter.
        QDir().rmdir(appDir + QStringLiteral("/old"));
        qDebug() << "Removing old files done";

        const QString locale = QLocale::system().name();
        QTranslator updaterTranslator;
        updaterTranslator.load(appDir + QStringLiteral("/translations/update_") + locale);
        app.installTranslator(&updaterTranslator);
        QTranslator qtTranslator;
        qtTranslator.load(appDir + QStringLiteral("/translations/qt_") + locale);
        app.installTranslator(&qtTranslator);

        Configuration config;
        QObject::connect(&config, &Configuration::fatalError, &onFatalConfigError);
        QObject::connect(&config, &Configuration::ready, [&config]() { onStartUpdate(config); });

        if (!config.parseCommandLineOptions()) {
            qDebug() << "Failed to parse command line options, aborting";
            return 1;
        }
        QTimer::singleShot(2000, &config, [&config]() { onStartUpdate(config); });
        exitCode = app.exec();
    }

    if (UpdaterLog *log = UpdaterLog::instance())
        log->close();
    google::protobuf::ShutdownProtobufLibrary();
    return exitCode;
}
