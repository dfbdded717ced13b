#include "installtestutil.h"

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
