#include "httpdownloader.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request) : QThread(nullptr), m_Request(request)
{
    // Deleting the thread object from inside run() could destroy it before the thread has fully
    // ended; deleting it once `finished` has been emitted is safe.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

void HTTPDownloader::run()
{
    // Created here without parent, so it belongs to this thread.
    QNetworkAccessManager *manager = new QNetworkAccessManager();
    connect(manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(on_downloadFinished(QNetworkReply *)));
    QNetworkReply *reply = manager->get(m_Request);
    if (reply) {
        // Runs on this thread (context: the reply); the abort ends the reply with an error, so the
        // owner sees an empty body.
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
            if (received > kMaxBodySize) {
                qDebug() << "HTTPDownloader: reply too large, aborting" << received;
                reply->abort();
            }
        });
    }
    exec();
    delete manager;
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    // The size is checked again here: the whole body may have arrived before the abort.
    if (reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= kMaxBodySize)
        data = reply->readAll();
    qDebug() << "HTTPDownloader finished" << reply->url().toString() << reply->error() << data.size();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
