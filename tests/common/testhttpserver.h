// In-process HTTP/1.1 server on 127.0.0.1 for network tests. Each path answers with a scripted
// response (any status, stall, close early, wrong length, slow drip) and every request is counted.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QTimer;

class TestHttpServer : public QObject {
    Q_OBJECT
public:
    struct Response {
        int status = 200;
        QByteArray body;
        // Content-Length header: -1 = the body size, -2 = no header (the end of the body is
        // the end of the connection), anything else is announced as is.
        qint64 contentLength = -1;
        // Send this many body bytes, then nothing more while keeping the connection open (-1: off).
        qint64 stallAfter = -1;
        // Send this many body bytes, then close the connection (-1: off).
        qint64 closeAfter = -1;
        // Send the body in pieces of dripBytes every dripIntervalMs (0: all at once).
        int dripBytes = 0;
        int dripIntervalMs = 10;
        // Do not answer until release() is called.
        bool hold = false;

        static Response ok(const QByteArray &body);
        static Response withStatus(int status);
        // The first `after` bytes of the body, then silence on an open connection.
        static Response stalling(const QByteArray &body, qint64 after);
        // The first `after` bytes of the body, then the connection is closed.
        static Response closing(const QByteArray &body, qint64 after);
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    quint16 port() const;
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;

    // Every request for the path gets this response.
    void setResponse(const QString &path, const Response &response);
    // The n-th request for the path gets the n-th response; the last one repeats.
    void setResponses(const QString &path, const QList<Response> &responses);
    // Shorthand: status 200 with the body.
    void setFile(const QString &path, const QByteArray &body);

    int requestCount(const QString &path) const;
    int totalRequests() const;
    // Paths in the order the requests arrived.
    QStringList requestLog() const;
    // Requests answered with hold = true that are still waiting.
    int heldCount() const;
    // Answers every held request (and the ones that arrive later: hold is cleared).
    void releaseAll();

signals:
    void requestReceived(const QString &path);

private slots:
    void onNewConnection();

private:
    struct Conn {
        QByteArray request;
        QByteArray pending; // body bytes still to send
        Response response;
        bool answered = false;
        QTimer *timer = nullptr;
    };

    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket);
    void sendSome(QTcpSocket *socket);
    void dropSocket(QTcpSocket *socket);

    QTcpServer *p_Server;
    QHash<QString, QList<Response>> m_Responses;
    QHash<QString, int> m_Counts;
    QStringList m_Log;
    QHash<QTcpSocket *, Conn> m_Conns;
    QSet<QTcpSocket *> m_Held;
};

namespace testnet {
// Runs the event loop (in 10 ms slices) until the condition holds; false when the time ran out.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);
} // namespace testnet
