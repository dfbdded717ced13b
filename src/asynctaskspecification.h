// A task whose work is done by an ASyncFunc on a thread of the application-wide pool.
#pragma once

#include "taskspecification.h"

class ASyncFunc;

class ASyncTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject *parent, qreal weight);
    ~ASyncTaskSpecification() override;

    void execute() override;
    void reset() override;

protected:
    // A new worker (no parent) with its own copies of every input.
    virtual ASyncFunc *createFunc() = 0;
    virtual void connectFunc(ASyncFunc *f);
    // The worker's result, on the main thread; ignored unless the task is still running.
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};
