// Fetches one file of the update from the file server into a local file, with progress,
// download statistics, a stall time-out and at most five attempts.
#pragma once

#include "taskspecification.h"

#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

class DownloadTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    // Downloads of unknown size (expectedSize -1) stop here: the product ini and its signature
    // are far smaller, and a server must not be able to fill the disk.
    static constexpr qint64 kUnknownSizeLimit = 256 * 1024 * 1024;
    static constexpr int kMaxAttempts = 5;
    static constexpr int kStallPolls = 16;

    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &remotePath, int version,
                              const QString &fileName, qint64 expectedSize, QObject *parent, qreal weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // The URL of an attempt: download base URL, version, "/", remote path.
    QUrl downloadUrl() const;
    // Limit for downloads without an expected size (kUnknownSizeLimit unless changed).
    void setUnknownSizeLimit(qint64 limit) { m_UnknownSizeLimit = limit; }

protected:
    // The transfer has completed and the file is closed.
    virtual void downloadFinished();

    QNetworkAccessManager *m_Manager;
    QNetworkReply *m_Reply;
    int m_StallPolls;
    QString m_Path;
    int m_Version;
    QFile m_File;
    int m_Attempts;
    qint64 m_LastPollBytes;
    qint64 m_BytesTotal;
    qint64 m_ExpectedSize;
    qint64 m_BytesReceived;

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();

private:
    void startDownload();
    bool readAvailable();
    bool retryOrFail(const QString &reason);
    void abortTransfer();

    qint64 m_UnknownSizeLimit = kUnknownSizeLimit;
};
