#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, qreal weight)
    : QObject(parent), m_CancelRequested(false), m_Weight(weight), m_Progress(0), m_TaskState(TASK_IDLE)
{
    // Task signals also travel through queued connections (worker results, engine).
    static const int s_TaskMetaType = qRegisterMetaType<TaskSpecification *>("TaskSpecification*");
    Q_UNUSED(s_TaskMetaType);
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    m_CancelRequested = false;
    m_TaskState = TASK_IDLE;
    setProgress(0);
}

void TaskSpecification::getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading)
{
    *done = 0;
    *total = 0;
    *speed = 0;
    *downloading = false;
}

void TaskSpecification::cancel()
{
    m_CancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && m_TaskState == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(qreal fraction)
{
    m_Progress = fraction * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::taskDone()
{
    m_TaskState = TASK_FINISHED;
    m_Progress = m_Weight;
    emit updateProgress(m_Weight);
    emit finished(this);
}

void TaskSpecification::taskFailed()
{
    m_TaskState = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::taskCanceled()
{
    m_TaskState = TASK_CANCELED;
    emit canceled(this);
}
