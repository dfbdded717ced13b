// Helpers shared by the installation tests: a message sink, a debug-log capture and a runner
// that drives a task through the event loop.
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

// Stands in for a task as the target of journal warnings.
class MessageSink : public QObject {
    Q_OBJECT
public:
    QStringList messages;
signals:
    void message(QString text);

public:
    MessageSink()
    {
        connect(this, &MessageSink::message, this, [this](QString t) { messages << t; });
    }
};

// Collects the debug log (from any thread) while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    // Index of the first line at or after `from` that contains `fragment`, or -1.
    int find(const QString &fragment, int from = 0) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg);
    QtMessageHandler m_Previous;
};
