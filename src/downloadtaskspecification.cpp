#include "downloadtaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
const qint64 kChunkSize = 4096;
const qint64 kReadBufferSize = 1024 * 1024;
}

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     const QString &remotePath, int version,
                                                     const QString &fileName, qint64 expectedSize,
                                                     QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_Manager(manager), m_Reply(nullptr), m_StallPolls(0),
      m_Path(remotePath), m_Version(version), m_File(fileName), m_Attempts(0), m_LastPollBytes(0),
      m_BytesTotal(expectedSize), m_ExpectedSize(expectedSize), m_BytesReceived(0)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        m_Reply->disconnect(this);
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
}

QUrl DownloadTaskSpecification::downloadUrl() const
{
    return QUrl(Configuration::s_DownloadBaseUrl + QString::number(m_Version) + "/" + m_Path,
                QUrl::TolerantMode);
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Path;
    emit message(QString("Downloading %1").arg(m_Path));
    m_TaskState = TASK_RUNNING;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QString("Unable to create file %1 for saving").arg(m_File.fileName()));
        taskFailed();
        return;
    }
    const QUrl url = downloadUrl();
    QNetworkRequest request(url);
    qDebug() << "Requesting download of" << url.toString();
    m_Reply = m_Manager ? m_Manager->get(request) : nullptr;
    if (!m_Reply) {
        m_File.close();
        emit error("Download failed to initialize");
        taskFailed();
        return;
    }
    if (m_Reply->isRunning()) {
        // Without a limit the network layer buffers whatever arrives faster than it is written.
        m_Reply->setReadBufferSize(kReadBufferSize);
        connect(m_Reply, SIGNAL(downloadProgress(qint64, qint64)), this,
                SLOT(onDownloadProgress(qint64, qint64)));
        connect(m_Reply, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
        connect(m_Reply, SIGNAL(finished()), this, SLOT(onDownloadFinished()));
        connect(m_Reply, SIGNAL(metaDataChanged()), this, SLOT(onMetaDataChanged()));
    } else {
        retryOrFail(m_Reply->errorString());
    }
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    const int code = status.toInt();
    if (code != 200)
        retryOrFail(QString("%1 returned %2").arg(m_Path).arg(code));
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    // A size from the product ini is never replaced by what the server announces.
    if (bytesTotal > 0 && m_BytesTotal == -1)
        m_BytesTotal = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

bool DownloadTaskSpecification::readAvailable()
{
    char buffer[kChunkSize];
    while (m_Reply) {
        m_StallPolls = 0;
        if (m_Reply->bytesAvailable() <= 0)
            return true;
        const qint64 got = m_Reply->read(buffer, kChunkSize);
        if (got == 0)
            return true;
        if (got < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        // Never write more than the product ini promises (or the fixed limit without a size).
        const qint64 limit = m_ExpectedSize >= 0 ? m_ExpectedSize : m_UnknownSizeLimit;
        if (got > limit - m_BytesReceived) {
            retryOrFail(QString("Server sent more data than expected for %1").arg(m_Path));
            return false;
        }
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            retryOrFail(m_File.errorString());
            return false;
        }
        if (written < got) {
            retryOrFail(QString("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(m_File.fileName())
                            .arg(got)
                            .arg(written));
            return false;
        }
        m_BytesReceived += got;
        if (m_BytesTotal > 0)
            setProgress(qMin(1.0, qreal(m_BytesReceived) / qreal(m_BytesTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    if (!readAvailable())
        return;
    // A write that only fails when the buffer is flushed (disk full) is a failed attempt too.
    if (!m_File.flush()) {
        retryOrFail(m_File.errorString());
        return;
    }
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Path << m_File.fileName() << m_File.isOpen() << m_File.exists();
    emit message(QString("Downloading %1 finished").arg(m_Path));
    taskDone();
}

bool DownloadTaskSpecification::retryOrFail(const QString &reason)
{
    abortTransfer();
    emit message(reason);
    if (m_Attempts++ >= kMaxAttempts - 1) {
        emit message(QString("Unable to download %1").arg(m_Path));
        m_File.remove();
        taskFailed();
        return false;
    }
    startDownload();
    return true;
}

void DownloadTaskSpecification::abortTransfer()
{
    if (m_Reply) {
        QNetworkReply *reply = m_Reply;
        m_Reply = nullptr;
        reply->disconnect(this);
        // Frees the connection at once; a reply that already ended with an error needs nothing.
        if (reply->isRunning() && reply->error() == QNetworkReply::NoError)
            reply->abort();
        reply->deleteLater();
    }
    m_StallPolls = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastPollBytes = 0;
    m_BytesTotal = m_ExpectedSize;
    m_BytesReceived = 0;
    setProgress(0);
}

void DownloadTaskSpecification::getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed,
                                                    bool *downloading)
{
    *done = quint64(m_BytesReceived);
    *total = m_BytesTotal < 0 ? 0 : quint64(m_BytesTotal);
    *speed = quint64(qMax<qint64>(0, m_BytesReceived - m_LastPollBytes));
    m_LastPollBytes = m_BytesReceived;
    if (m_TaskState == TASK_RUNNING && m_Reply) {
        if (m_StallPolls++ >= kStallPolls - 1)
            retryOrFail(QString("file %1 timed out").arg(m_Path));
        else
            *downloading = true;
    }
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState == TASK_RUNNING) {
        abortTransfer();
        taskCanceled();
    }
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
    if (m_Reply) {
        emit message(QString("Abort downloading %1").arg(m_Path));
        abortTransfer();
    }
    taskFailed();
}

void DownloadTaskSpecification::reset()
{
    abortTransfer();
    m_Attempts = 0;
    TaskSpecification::reset();
}
