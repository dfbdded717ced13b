// Times one list compilation of a product ini against an install tree.
// Usage: bench_compile INSTALL_DIR SESSION_DIR   (the session directory holds tl3_client_linux_amd64.ini)
#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_compile INSTALL_DIR SESSION_DIR\n");
        return 2;
    }
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    Configuration config;
    config.m_InstallDir = QString::fromLocal8Bit(argv[1]);
    config.m_TempDir = QString::fromLocal8Bit(argv[2]);
    config.m_ClientUpdate = 1;
    DownloadReplaceLists lists;
    MakeDownloadReplaceListFunc compile(&config, &lists);
    QElapsedTimer timer;
    timer.start();
    const bool ok = compile.run();
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("%.3f %d %d %d\n", seconds, ok ? 1 : 0, int(lists.downloads.size()), int(lists.replaces.size()));
    return ok ? 0 : 1;
}
