#include "updaterlog.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTextCodec>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

bool s_LogEnabled = false;

namespace {

// Guards the creation of the process-wide log and every line written through the handler.
QMutex s_LogMutex;
UpdaterLog *s_Instance = nullptr;

UpdaterLog *instanceLocked()
{
    if (!s_Instance) {
        s_Instance = new UpdaterLog(QDir::tempPath(), QDateTime::currentDateTime());
        s_LogEnabled = s_Instance->enabled();
    }
    return s_Instance;
}

const char *separator(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        return "\t|\tFatal\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    }
    return nullptr;
}

// The log lives in the shared temporary directory, where anyone may have placed something under
// its predictable names. Returns an open descriptor of the log file, or -1 when the place is not
// ours: the directory must be a real directory owned by us, the file a plain file of ours with no
// other names (no link to a file elsewhere), and no symbolic link is followed on the way.
int openLogFile(const QString &dirPath, const QString &fileName)
{
    QString dir = dirPath;
    while (dir.size() > 1 && dir.endsWith(QDir::separator()))
        dir.chop(1); // a trailing slash would make the kernel follow a link in the last component
    const QByteArray nativeDir = QFile::encodeName(dir);
    if (::mkdir(nativeDir.constData(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int dirFd = ::open(nativeDir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    struct stat st;
    if (::fstat(dirFd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(dirFd);
        return -1;
    }
    const int fd = ::openat(dirFd, QFile::encodeName(fileName).constData(),
                            O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    ::close(dirFd);
    if (fd < 0)
        return -1;
    // Truncate only after the checks, so a planted hard link never costs another file its content.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

UpdaterLog *UpdaterLog::instance()
{
    QMutexLocker lock(&s_LogMutex);
    return instanceLocked();
}

UpdaterLog::UpdaterLog(const QString &tempDir, const QDateTime &startTime)
{
    m_Enabled = QFileInfo::exists(tempDir + QStringLiteral("/tl3_update_log"));
    if (!m_Enabled)
        return;
    const int fd = openLogFile(logDirectory(tempDir), logFileName(startTime));
    if (fd < 0)
        return; // messages are silently lost, the program runs on
    file = new QFile;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        file = nullptr;
        return;
    }
    stream.setDevice(file);
    stream.setCodec(QTextCodec::codecForLocale());
}

UpdaterLog::~UpdaterLog()
{
    close();
}

void UpdaterLog::close()
{
    QMutexLocker lock(&s_LogMutex);
    if (!file)
        return;
    stream.flush();
    stream.setDevice(nullptr);
    file->close();
    delete file;
    file = nullptr;
}

QString UpdaterLog::logDirectory(const QString &tempDir)
{
    return tempDir + QDir::separator() + QStringLiteral("talvenor_update_log") + QDir::separator();
}

QString UpdaterLog::logFileName(const QDateTime &startTime)
{
    QString stamp = startTime.toString(Qt::ISODate);
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QStringLiteral("__"));
    return QStringLiteral("update__") + stamp + QStringLiteral(".log");
}

void UpdaterLog::write(QtMsgType type, const QString &text, const QDateTime &now)
{
    if (!file)
        return;
    if (const char *sep = separator(type))
        stream << now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz")) << sep << text << '\n';
    stream.flush();
}

void updaterMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (!s_LogEnabled)
        return;
    QMutexLocker lock(&s_LogMutex);
    instanceLocked()->write(type, text, QDateTime::currentDateTime());
    if (type == QtFatalMsg)
        std::abort();
}
