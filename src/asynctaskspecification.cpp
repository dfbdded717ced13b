#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::execute()
{
    ASyncFunc *f = createFunc();
    connectFunc(f);
    QThreadPool::globalInstance()->start(new ASyncRun(f), 0);
    // Safe after the hand-over: the result can only arrive through the event loop.
    m_TaskState = TASK_RUNNING;
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *f)
{
    // Queued: the worker emits from a pool thread, the task lives on the main thread.
    connect(f, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult, Qt::QueuedConnection);
    connect(f, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(f, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(f, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress, Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (ok)
        taskDone();
    else
        taskFailed();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
