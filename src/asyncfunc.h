// The work of an asynchronous task, run on a pool thread. It holds its own copies of its inputs and
// talks to its task only through (queued) signals.
#pragma once

#include <QObject>
#include <QString>

class ASyncFunc : public QObject {
    Q_OBJECT

public:
    ASyncFunc();
    ~ASyncFunc() override;

    // The work; true when it succeeded. Runs on a pool thread.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString);
    void error(QString);
    void progress(qreal progress);
};
