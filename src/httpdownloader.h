// A one-shot GET on a thread of its own, with a network access manager of its own.
// The whole body (or an empty array on any failure) comes back through download_available.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

class HTTPDownloader : public QThread {
    Q_OBJECT
public:
    // Bodies larger than this are treated as a failure: the answers fetched this way are small,
    // and a hostile server must not be able to fill the memory.
    static constexpr qint64 kMaxBodySize = 4 * 1024 * 1024;

    explicit HTTPDownloader(const QNetworkRequest &request);

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    QNetworkRequest m_Request;
};
