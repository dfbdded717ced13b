#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

TestHttpServer::Response TestHttpServer::Response::ok(const QByteArray &body)
{
    Response r;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::withStatus(int status)
{
    Response r;
    r.status = status;
    r.body = "status page";
    return r;
}

TestHttpServer::Response TestHttpServer::Response::stalling(const QByteArray &body, qint64 after)
{
    Response r = ok(body);
    r.stallAfter = after;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::closing(const QByteArray &body, qint64 after)
{
    Response r = ok(body);
    r.closeAfter = after;
    return r;
}

bool testnet::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), p_Server(new QTcpServer(this))
{
    connect(p_Server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
    p_Server->listen(QHostAddress::LocalHost, 0);
}

TestHttpServer::~TestHttpServer()
{
    const QList<QTcpSocket *> sockets = m_Conns.keys();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
    }
}

quint16 TestHttpServer::port() const
{
    return p_Server->serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QString("http://127.0.0.1:%1/").arg(port());
}

void TestHttpServer::setResponse(const QString &path, const Response &response)
{
    m_Responses[path] = QList<Response>{response};
}

void TestHttpServer::setResponses(const QString &path, const QList<Response> &responses)
{
    m_Responses[path] = responses;
}

void TestHttpServer::setFile(const QString &path, const QByteArray &body)
{
    setResponse(path, Response::ok(body));
}

int TestHttpServer::requestCount(const QString &path) const
{
    return m_Counts.value(path);
}

int TestHttpServer::totalRequests() const
{
    return m_Log.size();
}

QStringList TestHttpServer::requestLog() const
{
    return m_Log;
}

int TestHttpServer::heldCount() const
{
    return m_Held.size();
}

void TestHttpServer::releaseAll()
{
    for (auto it = m_Responses.begin(); it != m_Responses.end(); ++it)
        for (Response &r : it.value())
            r.hold = false;
    const QList<QTcpSocket *> held = m_Held.values();
    m_Held.clear();
    for (QTcpSocket *s : held) {
        m_Conns[s].response.hold = false;
        answer(s);
    }
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = p_Server->nextPendingConnection()) {
        m_Conns.insert(socket, Conn());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropSocket(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            auto it = m_Conns.find(socket);
            if (it != m_Conns.end() && it->answered && it->response.dripBytes <= 0)
                sendSome(socket);
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_Conns.find(socket);
    if (it == m_Conns.end() || it->answered)
        return;
    it->request += socket->readAll();
    if (!it->request.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> requestLine = it->request.left(it->request.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() > 1 ? QString::fromUtf8(requestLine.at(1)) : QString();
    const int n = m_Counts.value(path);
    m_Counts[path] = n + 1;
    m_Log.append(path);
    Response r;
    if (m_Responses.contains(path)) {
        const QList<Response> &list = m_Responses[path];
        r = list.at(qMin(n, list.size() - 1));
    } else {
        r.status = 404;
        r.body = "not found";
    }
    it->response = r;
    it->answered = true;
    emit requestReceived(path);
    if (r.hold)
        m_Held.insert(socket);
    else
        answer(socket);
}

void TestHttpServer::answer(QTcpSocket *socket)
{
    auto it = m_Conns.find(socket);
    if (it == m_Conns.end())
        return;
    const Response &r = it->response;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Status\r\nConnection: close\r\n";
    if (r.contentLength != -2)
        head +=
            "Content-Length: " + QByteArray::number(r.contentLength == -1 ? r.body.size() : r.contentLength) +
            "\r\n";
    head += "\r\n";
    socket->write(head);
    QByteArray body = r.body;
    if (r.stallAfter >= 0)
        body.truncate(int(r.stallAfter));
    if (r.closeAfter >= 0)
        body.truncate(int(r.closeAfter));
    it->pending = body;
    if (r.dripBytes > 0) {
        it->timer = new QTimer(socket);
        connect(it->timer, &QTimer::timeout, this, [this, socket] { sendSome(socket); });
        it->timer->start(r.dripIntervalMs);
    } else {
        sendSome(socket);
    }
}

void TestHttpServer::sendSome(QTcpSocket *socket)
{
    auto it = m_Conns.find(socket);
    if (it == m_Conns.end())
        return;
    if (!it->pending.isEmpty()) {
        // Large bodies go out in pieces as the socket drains, so the test process stays small.
        const int piece = it->response.dripBytes > 0 ? it->response.dripBytes : 256 * 1024;
        if (it->response.dripBytes > 0 || socket->bytesToWrite() < piece) {
            socket->write(it->pending.left(piece));
            it->pending.remove(0, qMin(piece, it->pending.size()));
        }
        if (!it->pending.isEmpty())
            return;
    }
    if (it->timer)
        it->timer->stop();
    if (it->response.stallAfter >= 0)
        return;                   // keep the connection open and silent
    socket->disconnectFromHost(); // flushes what is left, then closes
}

void TestHttpServer::dropSocket(QTcpSocket *socket)
{
    m_Held.remove(socket);
    m_Conns.remove(socket);
    socket->deleteLater();
}
