#include "composedtaskspecification.h"

#include <QDebug>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_MaxParallel(maxParallel), m_Aborted(false), m_DoneSignalled(false)
{
    // Every start goes through the event loop, so a sub-task that ends inside its own execute()
    // never starts the next one from within its own call stack.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    deleteSubtasks();
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification *t : qAsConst(m_SubTasks))
        t->reset();
    m_Pending = m_SubTasks;
    m_Running.clear();
    m_Done.clear();
    m_Aborted = false;
    m_DoneSignalled = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed,
                                                    bool *downloading)
{
    *downloading = false;
    for (TaskSpecification *t : qAsConst(m_SubTasks)) {
        quint64 subDone = 0, subTotal = 0, subSpeed = 0;
        bool subDownloading = false;
        t->getDownloadProgress(&subDone, &subTotal, &subSpeed, &subDownloading);
        if (subDownloading)
            *downloading = true;
        *speed += subSpeed;
        // A transfer that has not announced its size yet would skew the fraction.
        if (subTotal != 0) {
            *done += subDone;
            *total += subTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    // Iterate over a copy: a sub-task may end (and be removed elsewhere) while it is canceled.
    const QList<TaskSpecification *> subTasks = m_SubTasks;
    for (TaskSpecification *t : subTasks)
        t->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::subtasksDone()
{
    const int result = subtasksResult();
    if (result == TASK_FINISHED)
        taskDone();
    else if (result == TASK_CANCELED)
        taskCanceled();
    else
        taskFailed();
}

void ComposedTaskSpecification::connectSubtask(TaskSpecification *t)
{
    connect(t, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(t, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(t, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(t, &TaskSpecification::updateProgress, this, &ComposedTaskSpecification::onUpdateProgress);
    connect(t, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, t,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addSubtask(TaskSpecification *t)
{
    m_SubTasks.append(t);
    m_Pending.append(t);
    connectSubtask(t);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::startSubtasks()
{
    m_TaskState = TASK_RUNNING;
    const int n = qMin(m_Pending.size(), m_MaxParallel);
    if (n <= 0) {
        finishRun();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::deleteSubtasks()
{
    for (TaskSpecification *t : qAsConst(m_SubTasks)) {
        disconnect(t, nullptr, this, nullptr);
        t->deleteLater();
    }
    m_SubTasks.clear();
    m_Pending.clear();
    m_Running.clear();
    m_Done.clear();
}

int ComposedTaskSpecification::subtasksResult() const
{
    for (TaskSpecification *t : m_SubTasks)
        if (t->m_TaskState == TASK_FAILED)
            return TASK_FAILED;
    bool allFinished = true;
    for (TaskSpecification *t : m_SubTasks) {
        if (t->m_TaskState == TASK_CANCELED)
            return TASK_CANCELED;
        if (t->m_TaskState != TASK_FINISHED)
            allFinished = false;
    }
    if (allFinished)
        return TASK_FINISHED;
    if (m_CancelRequested)
        return TASK_CANCELED;
    if (m_Aborted)
        return TASK_FAILED;
    return TASK_RUNNING;
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_Pending.isEmpty() && !m_Aborted && !m_CancelRequested) {
        TaskSpecification *t = m_Pending.takeFirst();
        m_Running.append(t);
        t->execute();
        return;
    }
    if (m_Running.isEmpty())
        finishRun();
}

void ComposedTaskSpecification::onUpdateProgress(qreal doneFrac)
{
    Q_UNUSED(doneFrac);
    qreal sum = 0;
    for (TaskSpecification *t : qAsConst(m_SubTasks))
        sum += t->m_Progress;
    setProgress(sum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *t)
{
    noteEnded(t);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *t)
{
    noteEnded(t);
    if (!m_Aborted) {
        m_Aborted = true;
        emit otherTaskCancelled(t);
    }
    if (m_Running.isEmpty())
        finishRun();
}

// A sub-task may report its end twice, or end before it was started (a pending download that is
// canceled): it must neither be listed twice nor be started afterwards.
void ComposedTaskSpecification::noteEnded(TaskSpecification *t)
{
    m_Running.removeOne(t);
    m_Pending.removeOne(t);
    if (!m_Done.contains(t))
        m_Done.append(t);
}

// The one place where the composite ends: at most once per run.
void ComposedTaskSpecification::finishRun()
{
    if (m_DoneSignalled)
        return;
    m_DoneSignalled = true;
    subtasksDone();
}
