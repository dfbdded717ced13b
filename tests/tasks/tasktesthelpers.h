// Leaf and composite tasks driven by the tests, and a recorder of task signals.
#pragma once

#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <functional>

// Runs the event loop until cond() holds or timeoutMs passes; returns cond().
inline bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Delivers every queued event (queued starts of sub-tasks, deferred deletes).
inline void drainEvents()
{
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
}

// A leaf task that the test ends by hand.
class ManualTask : public TaskSpecification {
    Q_OBJECT
public:
    using TaskSpecification::TaskSpecification;

    void execute() override
    {
        ++m_Executions;
        m_TaskState = TASK_RUNNING;
        if (m_OnExecute)
            m_OnExecute(this);
    }
    void getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading) override
    {
        *done = m_Done;
        *total = m_Total;
        *speed = m_Speed;
        *downloading = m_Downloading;
    }
    void cancel() override
    {
        ++m_CancelCalls;
        TaskSpecification::cancel();
    }
    void handleOtherTaskCancelled(TaskSpecification *other) override { m_OthersCancelled.append(other); }

    using TaskSpecification::setProgress;
    using TaskSpecification::taskCanceled;
    using TaskSpecification::taskDone;
    using TaskSpecification::taskFailed;

    int m_Executions = 0;
    int m_CancelCalls = 0;
    QList<TaskSpecification *> m_OthersCancelled;
    std::function<void(ManualTask *)> m_OnExecute;
    quint64 m_Done = 0, m_Total = 0, m_Speed = 0;
    bool m_Downloading = false;
};

// A composite whose sub-tasks are added by the test before execute().
class TestComposite : public ComposedTaskSpecification {
    Q_OBJECT
public:
    using ComposedTaskSpecification::ComposedTaskSpecification;

    void execute() override { startSubtasks(); }
    ManualTask *add(qreal weight = 1.0)
    {
        auto *t = new ManualTask(this, weight);
        addSubtask(t);
        return t;
    }
    using ComposedTaskSpecification::addSubtask;
    using ComposedTaskSpecification::deleteSubtasks;
    using ComposedTaskSpecification::subtasksResult;
};

// Records the signals of one task as text, in the order they came.
class SignalLog : public QObject {
    Q_OBJECT
public:
    explicit SignalLog(TaskSpecification *t)
    {
        connect(t, &TaskSpecification::finished, this,
                [this](TaskSpecification *) { m_Events << "finished"; });
        connect(t, &TaskSpecification::canceled, this,
                [this](TaskSpecification *) { m_Events << "canceled"; });
        connect(t, &TaskSpecification::error, this, [this](const QString &s) { m_Events << "error:" + s; });
        connect(t, &TaskSpecification::message, this,
                [this](const QString &s) { m_Events << "message:" + s; });
        connect(t, &TaskSpecification::updateProgress, this,
                [this](qreal p) { m_Events << "progress:" + QString::number(p); });
        connect(t, &TaskSpecification::otherTaskCancelled, this,
                [this](TaskSpecification *) { m_Events << "otherTaskCancelled"; });
    }
    int count(const QString &event) const { return m_Events.count(event); }
    int ends() const { return count("finished") + count("canceled"); }

    QStringList m_Events;
};
