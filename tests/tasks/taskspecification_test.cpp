#include "tasktesthelpers.h"

#include <gtest/gtest.h>

namespace {

TEST(TaskSpecificationTest, StartsIdleWithNothingDone)
{
    ManualTask t(nullptr, 0.3);
    EXPECT_EQ(t.m_TaskState, TASK_IDLE);
    EXPECT_EQ(t.m_Progress, 0.0);
    EXPECT_EQ(t.m_Weight, 0.3);
    EXPECT_FALSE(t.m_CancelRequested);
    // The engine tells a user cancellation from a failure by these numbers.
    EXPECT_EQ(TASK_IDLE, 0);
    EXPECT_EQ(TASK_RUNNING, 1);
    EXPECT_EQ(TASK_FINISHED, 2);
    EXPECT_EQ(TASK_FAILED, 3);
    EXPECT_EQ(TASK_CANCELED, 4);
}

TEST(TaskSpecificationTest, ProgressIsFractionTimesWeightAndNotClamped)
{
    ManualTask t(nullptr, 0.4);
    SignalLog log(&t);
    t.setProgress(0.5);
    EXPECT_DOUBLE_EQ(t.m_Progress, 0.2);
    t.setProgress(1.5);
    EXPECT_DOUBLE_EQ(t.m_Progress, 0.6);
    EXPECT_EQ(log.m_Events, QStringList({"progress:0.2", "progress:0.6"}));
}

// Each way of ending: the state, the one end signal, and what happens to the progress.
TEST(TaskSpecificationTest, EndingHelpers)
{
    struct Case {
        const char *name;
        void (ManualTask::*end)();
        int state;
        QStringList events;
        qreal progress;
    };
    const Case cases[] = {
        {"done", &ManualTask::taskDone, TASK_FINISHED, {"progress:0.8", "finished"}, 0.8},
        {"failed", &ManualTask::taskFailed, TASK_FAILED, {"canceled"}, 0.2},
        {"canceled", &ManualTask::taskCanceled, TASK_CANCELED, {"canceled"}, 0.2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ManualTask t(nullptr, 0.8);
        t.execute();
        t.setProgress(0.25);
        SignalLog log(&t);
        TaskSpecification *reported = nullptr;
        QObject::connect(&t, &TaskSpecification::finished, [&](TaskSpecification *x) { reported = x; });
        QObject::connect(&t, &TaskSpecification::canceled, [&](TaskSpecification *x) { reported = x; });
        (t.*c.end)();
        EXPECT_EQ(t.m_TaskState, c.state);
        EXPECT_EQ(log.m_Events, c.events);
        EXPECT_DOUBLE_EQ(t.m_Progress, c.progress);
        EXPECT_EQ(reported, &t);
    }
}

TEST(TaskSpecificationTest, WeightZeroReportsZeroThroughout)
{
    ManualTask t(nullptr, 0.0);
    SignalLog log(&t);
    t.execute();
    t.setProgress(0.7);
    t.taskDone();
    EXPECT_EQ(t.m_Progress, 0.0);
    EXPECT_EQ(log.m_Events, QStringList({"progress:0", "progress:0", "finished"}));
}

TEST(TaskSpecificationTest, ResetReturnsToIdleAndAlwaysEmitsZeroProgress)
{
    ManualTask fresh(nullptr, 1.0);
    SignalLog freshLog(&fresh);
    fresh.reset();
    EXPECT_EQ(freshLog.m_Events, QStringList({"progress:0"}));

    ManualTask used(nullptr, 1.0);
    used.execute();
    used.cancel();
    used.setProgress(0.5);
    used.taskFailed();
    used.reset();
    EXPECT_EQ(used.m_TaskState, TASK_IDLE);
    EXPECT_FALSE(used.m_CancelRequested);
    EXPECT_EQ(used.m_Progress, 0.0);
}

TEST(TaskSpecificationTest, BaseCancelOnlyRemembersTheRequest)
{
    struct Plain : TaskSpecification {
        using TaskSpecification::TaskSpecification;
        void execute() override { m_TaskState = TASK_RUNNING; }
    } t(nullptr, 1.0);
    SignalLog log(&t);
    t.execute();
    t.cancel();
    EXPECT_TRUE(t.m_CancelRequested);
    EXPECT_EQ(t.m_TaskState, TASK_RUNNING);
    EXPECT_TRUE(log.m_Events.isEmpty());

    quint64 done = 5, total = 6, speed = 7;
    bool downloading = true;
    t.getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done + total + speed, 0u);
    EXPECT_FALSE(downloading);
}

// The news of a sibling's bad end reaches the task only while it runs, and never about itself.
TEST(TaskSpecificationTest, OtherTaskCancelledOnlyWhileRunningAndNotForItself)
{
    struct Case {
        const char *name;
        bool run;
        bool aboutItself;
        int state;
        bool handled;
    };
    const Case cases[] = {
        {"running, sibling", true, false, TASK_RUNNING, true},
        {"running, itself", true, true, TASK_RUNNING, false},
        {"idle, sibling", false, false, TASK_IDLE, false},
        {"finished, sibling", true, false, TASK_FINISHED, false},
        {"failed, sibling", true, false, TASK_FAILED, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ManualTask sender(nullptr, 1.0);
        ManualTask t(nullptr, 1.0);
        // Connected by name, as the composites and their subclasses do.
        ASSERT_TRUE(QObject::connect(&sender, SIGNAL(otherTaskCancelled(TaskSpecification *)), &t,
                                     SLOT(onOtherTaskCancelled(TaskSpecification *))));
        if (c.run)
            t.execute();
        t.m_TaskState = c.state;
        ManualTask sibling(nullptr, 1.0);
        TaskSpecification *other = c.aboutItself ? static_cast<TaskSpecification *>(&t) : &sibling;
        emit sender.otherTaskCancelled(other);
        EXPECT_EQ(t.m_OthersCancelled.size(), c.handled ? 1 : 0);
    }
}

TEST(TaskSpecificationTest, SignalsAreConnectableByNameAndThroughQueues)
{
    ManualTask t(nullptr, 1.0);
    ManualTask receiver(nullptr, 1.0);
    const char *signalsByName[] = {SIGNAL(finished(TaskSpecification *)),
                                   SIGNAL(canceled(TaskSpecification *)),
                                   SIGNAL(otherTaskCancelled(TaskSpecification *))};
    for (const char *s : signalsByName)
        EXPECT_TRUE(QObject::connect(&t, s, &receiver, SLOT(onOtherTaskCancelled(TaskSpecification *)),
                                     Qt::QueuedConnection));
    EXPECT_TRUE(QObject::connect(&t, SIGNAL(error(QString)), &receiver, SIGNAL(message(QString))));
    EXPECT_TRUE(
        QObject::connect(&t, SIGNAL(updateProgress(qreal)), &receiver, SIGNAL(updateProgress(qreal))));

    // A queued task signal is delivered with its argument intact.
    TaskSpecification *got = nullptr;
    QObject::connect(
        &t, &TaskSpecification::finished, &receiver, [&](TaskSpecification *x) { got = x; },
        Qt::QueuedConnection);
    t.execute();
    t.taskDone();
    EXPECT_EQ(got, nullptr);
    EXPECT_TRUE(waitUntil([&] { return got == &t; }));
}

} // namespace
