// A task made of an ordered list of sub-tasks, run at most m_MaxParallel at a time.
#pragma once

#include "taskspecification.h"

#include <QList>

class ComposedTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    QList<TaskSpecification *> m_SubTasks; // every sub-task, in the order added
    QList<TaskSpecification *> m_Pending;  // not started yet, next at the front
    QList<TaskSpecification *> m_Running;  // started, not ended
    QList<TaskSpecification *> m_Done;     // ended, in the order they ended
    int m_MaxParallel;
    bool m_Aborted;       // a sub-task ended unsuccessfully: start no more
    bool m_DoneSignalled; // subtasksDone() was called for this run

signals:
    void startNextTask();

protected:
    // Called once when nothing is left to run; ends the task by subtasksResult().
    virtual void subtasksDone();
    virtual void connectSubtask(TaskSpecification *t);

    void addSubtask(TaskSpecification *t);
    void startSubtasks();
    void deleteSubtasks();
    int subtasksResult() const;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *t);
    void onSubTaskCanceled(TaskSpecification *t);

private:
    void noteEnded(TaskSpecification *t);
    void finishRun();
};
