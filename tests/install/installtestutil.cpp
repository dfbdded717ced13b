#include "installtestutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <sys/stat.h>

namespace {
QMutex s_LogMutex;
QStringList s_LogLines;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&s_LogMutex);
    s_LogLines.clear();
    m_Previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_Previous);
}

void LogCapture::handler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    QMutexLocker lock(&s_LogMutex);
    s_LogLines << msg;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&s_LogMutex);
    return s_LogLines;
}

int LogCapture::find(const QString &fragment, int from) const
{
    const QStringList all = lines();
    for (int i = qMax(0, from); i < all.size(); ++i)
        if (all[i].contains(fragment))
            return i;
    return -1;
}

TaskRecorder::TaskRecorder(TaskSpecification *task) : p_Task(task)
{
    connect(task, &TaskSpecification::message, this, [this](QString t) { messages << t; });
    connect(task, &TaskSpecification::error, this, [this](QString t) { errors << t; });
    connect(task, &TaskSpecification::finished, this, [this](TaskSpecification *) { ++ends; });
    connect(task, &TaskSpecification::canceled, this, [this](TaskSpecification *) { ++ends; });
}

int TaskRecorder::run(int timeoutMs)
{
    p_Task->execute();
    waitForEnd(timeoutMs);
    return p_Task->m_TaskState;
}

bool TaskRecorder::waitForEnd(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (ends == 0 && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // Let anything still queued (late messages, a second end) arrive so that it is seen.
    QCoreApplication::processEvents();
    return ends > 0;
}

QStringList treeListing(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) != 0) {
            lines << path + " unreadable";
            continue;
        }
        QString digest;
        if (S_ISREG(st.st_mode)) {
            QFile f(path);
            QCryptographicHash hash(QCryptographicHash::Sha512);
            if (f.open(QIODevice::ReadOnly) && hash.addData(&f))
                digest = hash.result().toHex();
            else
                digest = "unreadable";
        } else if (S_ISLNK(st.st_mode)) {
            digest = "-> " + QFileInfo(path).symLinkTarget();
        }
        lines << QString("%1 %2 %3").arg(path.mid(root.size()), QString::number(st.st_mode, 8), digest);
    }
    lines.sort();
    return lines;
}
