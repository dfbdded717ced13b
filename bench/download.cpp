// Downloads a list of files with the updater's file download list and prints the wall time and the
// peak resident memory.
// Usage: bench_download BASE_URL VERSION LIST SESSION_DIR STREAMS [transfer-only]
//   LIST: one file per line: SECTION NAME SHA512 SIZE
//   transfer-only: the download tasks alone, STREAMS at a time, without the digest check of each file
//   (shows what the transfers cost apart from hashing).
#include "composedtaskspecification.h"
#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadtaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>

#include <cstdio>
#include <sys/resource.h>

namespace {

class TransferOnly : public ComposedTaskSpecification {
public:
    TransferOnly(const DownloadReplaceLists &lists, QNetworkAccessManager *manager,
                 const Configuration &config)
        : ComposedTaskSpecification(config.m_Streams, nullptr, 1.0)
    {
        for (const DownloadEntry &e : lists.downloads)
            addSubtask(new DownloadTaskSpecification(manager, e.section + "/" + e.name, config.m_Version,
                                                     config.m_TempDir + "/" + e.name, qint64(e.size), this,
                                                     1.0 / lists.downloads.size()));
    }
    void execute() override { startSubtasks(); }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr,
                     "usage: bench_download BASE_URL VERSION LIST SESSION_DIR STREAMS [transfer-only]\n");
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
    const bool transferOnly = argc == 7 && QByteArray(argv[6]) == "transfer-only";
    DownloadFileListTaskSpecification fullTask(&lists, &manager, &config, nullptr, 1.0);
    TransferOnly transferTask(lists, &manager, config);
    if (transferOnly) {
        // Directories first, as the download list does.
        if (!fullTask.makeDirectories())
            return 1;
    }
    TaskSpecification &task = transferOnly ? static_cast<TaskSpecification &>(transferTask) : fullTask;
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
