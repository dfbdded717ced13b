// A unit of work of an update run: weighted progress, a state and a fixed set of signals.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// Where a task is in its life. The numbers are read by other classes (the engine tells a user
// cancellation from a failure by the root's state), so they are fixed.
enum TaskState {
    TASK_IDLE = 0,
    TASK_RUNNING = 1,
    TASK_FINISHED = 2,
    TASK_FAILED = 3,
    TASK_CANCELED = 4,
};

class TaskSpecification : public QObject {
    Q_OBJECT

public:
    TaskSpecification(QObject *parent, qreal weight);
    ~TaskSpecification() override;

    // Starts the task. Must lead, now or later, to exactly one of taskDone(), taskFailed() or
    // taskCanceled().
    virtual void execute() = 0;
    // Back to the initial state so that the task could run again.
    virtual void reset();
    // Download statistics of this task and everything below it. The caller zeroes all four.
    virtual void getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading);
    // Asks the task to stop. The base only remembers the request.
    virtual void cancel();
    // Another task of the same composite ended unsuccessfully.
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    bool m_CancelRequested;
    const qreal m_Weight;
    qreal m_Progress; // fraction done times m_Weight
    int m_TaskState;  // a TaskState value

signals:
    void finished(TaskSpecification *);
    void canceled(TaskSpecification *);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification *);

protected slots:
    void onOtherTaskCancelled(TaskSpecification *other);

protected:
    void setProgress(qreal fraction);
    void taskDone();
    void taskFailed();
    void taskCanceled();
};

Q_DECLARE_METATYPE(TaskSpecification *)
