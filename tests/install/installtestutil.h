// Helpers shared by the installation tests: a message sink, a debug-log capture and a runner
// that drives a task through the event loop.
#pragma once

#include "taskspecification.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

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

// Records what a task reports and runs it through the event loop until it ends.
class TaskRecorder : public QObject {
    Q_OBJECT
public:
    explicit TaskRecorder(TaskSpecification *task);
    // Executes the task and waits (event loop) until it ended; returns its final state.
    int run(int timeoutMs = 30000);
    // Waits for the end of a task that was started elsewhere.
    bool waitForEnd(int timeoutMs = 30000);

    TaskSpecification *p_Task;
    QStringList messages;
    QStringList errors;
    int ends = 0;
};

// Full path and type, mode and SHA-512 of everything below `root`, one line per entry, sorted.
QStringList treeListing(const QString &root);
