// Downloads a list of files with the updater's file download list and prints the wall time and the
// peak resident memory.
// Usage: bench_download BASE_URL VERSION LIST SESSION_DIR STREAMS
//   LIST: one file per line: SECTION NAME SHA512 SIZE
#include "configuration.h"
#include "downloadfilelisttaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_download BASE_URL VERSION LIST SESSION_DIR STREAMS\n");
        return 2;
    }
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    Configuration::s_DownloadBaseUrl = QString::fromLocal8Bit(argv[1]);
    Configuration config;
    config.m_Version = QByteArray(argv[2]).toInt();
    config.m_TempDir = QString::fromLocal8Bit(argv[4]);
    config.m_Streams = QByteArray(argv[5]).toInt();
    DownloadReplaceLists lists;
    QFile list(QString::fromLocal8Bit(argv[3]));
    if (!list.open(QIODevice::ReadOnly))
        return 2;
    while (!list.atEnd()) {
        const QList<QByteArray> f = list.readLine().trimmed().split(' ');
        if (f.size() == 4)
            lists.downloads.append(DownloadEntry{QString::fromUtf8(f[0]), QString::fromUtf8(f[1]),
                                                 QString::fromLatin1(f[2]), f[3].toULongLong()});
    }
    QNetworkAccessManager manager;
    DownloadFileListTaskSpecification task(&lists, &manager, &config, nullptr, 1.0);
    int result = 1;
    QObject::connect(&task, &TaskSpecification::finished, [&] {
        result = 0;
        app.quit();
    });
    QObject::connect(&task, &TaskSpecification::canceled, [&] { app.quit(); });
    QObject::connect(&task, &TaskSpecification::message, [](const QString &m) {
        if (m.startsWith("Signature") || m.startsWith("Unable") || m.contains("returned"))
            std::fprintf(stderr, "%s\n", qPrintable(m));
    });
    QElapsedTimer timer;
    timer.start();
    task.execute();
    app.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.3f %d %ld\n", seconds, result == 0 ? 1 : 0, usage.ru_maxrss);
    return result;
}
