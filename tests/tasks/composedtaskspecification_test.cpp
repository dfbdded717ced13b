#include "tasktesthelpers.h"

#include <gtest/gtest.h>

#include <QPointer>

namespace {

QList<int> states(const QList<ManualTask *> &tasks)
{
    QList<int> out;
    for (ManualTask *t : tasks)
        out << t->m_TaskState;
    return out;
}

TEST(ComposedTaskTest, EmptyCompositeFinishesWhenStarted)
{
    TestComposite c(1, nullptr, 1.0);
    SignalLog log(&c);
    c.execute();
    // No event loop needed: nothing to wait for.
    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(log.count("finished"), 1);
    drainEvents();
    EXPECT_EQ(log.ends(), 1);
}

TEST(ComposedTaskTest, RunsAtMostMaxParallelAndEndsAfterTheLast)
{
    TestComposite c(2, nullptr, 1.0);
    QList<ManualTask *> subs;
    for (int i = 0; i < 5; ++i)
        subs << c.add(0.2);
    SignalLog log(&c);
    c.execute();
    EXPECT_EQ(c.m_TaskState, TASK_RUNNING);
    // Starts are queued: nothing has started inside execute().
    EXPECT_EQ(subs[0]->m_Executions, 0);
    drainEvents();
    EXPECT_EQ(states(subs), QList<int>({TASK_RUNNING, TASK_RUNNING, TASK_IDLE, TASK_IDLE, TASK_IDLE}));

    // Ending out of order: each end starts exactly one more.
    subs[1]->taskDone();
    drainEvents();
    EXPECT_EQ(states(subs), QList<int>({TASK_RUNNING, TASK_FINISHED, TASK_RUNNING, TASK_IDLE, TASK_IDLE}));
    subs[0]->taskDone();
    drainEvents();
    EXPECT_EQ(subs[3]->m_TaskState, TASK_RUNNING);
    EXPECT_EQ(subs[4]->m_TaskState, TASK_IDLE);
    subs[3]->taskDone();
    drainEvents();
    subs[2]->taskDone();
    drainEvents();
    EXPECT_EQ(log.ends(), 0);
    EXPECT_EQ(c.m_Running, QList<TaskSpecification *>({subs[4]}));
    subs[4]->taskDone();
    drainEvents();

    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(log.count("finished"), 1);
    EXPECT_EQ(log.ends(), 1);
    EXPECT_EQ(c.m_Done, QList<TaskSpecification *>({subs[1], subs[0], subs[3], subs[2], subs[4]}));
    for (ManualTask *t : subs)
        EXPECT_EQ(t->m_Executions, 1);
}

// Sub-tasks that end inside their own execute() must not start the next one from within that call.
TEST(ComposedTaskTest, SynchronousSubTasksDoNotNest)
{
    TestComposite c(1, nullptr, 1.0);
    int depth = 0, maxDepth = 0;
    for (int i = 0; i < 200; ++i) {
        ManualTask *t = c.add(0.005);
        t->m_OnExecute = [&](ManualTask *self) {
            ++depth;
            maxDepth = qMax(maxDepth, depth);
            self->taskDone();
            --depth;
        };
    }
    SignalLog log(&c);
    c.execute();
    ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(c.m_Done.size(), 200);
}

TEST(ComposedTaskTest, CancelWhileIdleOnlySetsTheFlagAndNothingRuns)
{
    TestComposite c(2, nullptr, 1.0);
    ManualTask *a = c.add();
    ManualTask *b = c.add();
    SignalLog log(&c);
    c.cancel();
    EXPECT_TRUE(c.m_CancelRequested);
    EXPECT_EQ(a->m_CancelCalls + b->m_CancelCalls, 0);
    EXPECT_TRUE(log.m_Events.isEmpty());

    c.execute();
    drainEvents();
    EXPECT_EQ(a->m_Executions + b->m_Executions, 0);
    EXPECT_EQ(c.m_TaskState, TASK_CANCELED);
    EXPECT_EQ(log.count("canceled"), 1);
    EXPECT_EQ(log.ends(), 1);
}

TEST(ComposedTaskTest, CancelWhileRunningReachesEverySubTask)
{
    TestComposite c(1, nullptr, 1.0);
    ManualTask *first = c.add();
    ManualTask *second = c.add();
    ManualTask *third = c.add();
    SignalLog log(&c);
    c.execute();
    drainEvents();
    first->taskDone();
    drainEvents();
    ASSERT_EQ(second->m_TaskState, TASK_RUNNING);

    c.cancel();
    // Ended, running and pending ones alike.
    EXPECT_EQ(first->m_CancelCalls, 1);
    EXPECT_EQ(second->m_CancelCalls, 1);
    EXPECT_EQ(third->m_CancelCalls, 1);
    // The running one ignores the request and finishes its work; the third never starts, and a
    // requested cancellation still makes the result TASK_CANCELED.
    second->taskDone();
    drainEvents();
    EXPECT_EQ(third->m_Executions, 0);
    EXPECT_EQ(c.m_TaskState, TASK_CANCELED);
    EXPECT_EQ(log.ends(), 1);
}

// The first bad end stops the starts and tells the siblings once; the composite waits for the
// running sibling and fails whatever that one's outcome.
TEST(ComposedTaskTest, FailureWhileSiblingRuns)
{
    struct Case {
        const char *name;
        void (ManualTask::*secondEnds)();
    };
    const Case cases[] = {
        {"sibling finishes", &ManualTask::taskDone},
        {"sibling fails", &ManualTask::taskFailed},
        {"sibling canceled", &ManualTask::taskCanceled},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestComposite comp(2, nullptr, 1.0);
        ManualTask *first = comp.add();
        ManualTask *second = comp.add();
        ManualTask *third = comp.add();
        SignalLog log(&comp);
        comp.execute();
        drainEvents();

        first->taskFailed();
        EXPECT_EQ(log.count("otherTaskCancelled"), 1);
        EXPECT_EQ(second->m_OthersCancelled, QList<TaskSpecification *>({first}));
        EXPECT_TRUE(first->m_OthersCancelled.isEmpty());
        EXPECT_TRUE(third->m_OthersCancelled.isEmpty()); // not running
        EXPECT_TRUE(comp.m_Aborted);
        drainEvents();
        EXPECT_EQ(log.ends(), 0);

        (second->*c.secondEnds)();
        drainEvents();
        EXPECT_EQ(log.count("otherTaskCancelled"), 1);
        EXPECT_EQ(third->m_Executions, 0);
        EXPECT_EQ(third->m_TaskState, TASK_IDLE);
        EXPECT_EQ(comp.m_TaskState, TASK_FAILED);
        EXPECT_EQ(log.count("canceled"), 1);
        EXPECT_EQ(log.ends(), 1);
    }
}

// A sub-task that reports its unsuccessful end twice does not end the composite twice.
TEST(ComposedTaskTest, SecondBadEndOfASubTaskIsAbsorbed)
{
    TestComposite c(1, nullptr, 1.0);
    ManualTask *a = c.add();
    c.add();
    SignalLog log(&c);
    c.execute();
    drainEvents();
    a->taskFailed();
    a->taskFailed();
    drainEvents();
    EXPECT_EQ(log.ends(), 1);
    EXPECT_EQ(log.count("otherTaskCancelled"), 1);
    EXPECT_EQ(c.m_Done.size(), 1);
}

TEST(ComposedTaskTest, ResultRule)
{
    struct Case {
        const char *name;
        QList<int> subStates;
        bool cancelRequested;
        bool aborted;
        int result;
    };
    const Case cases[] = {
        {"no sub-tasks", {}, false, false, TASK_FINISHED},
        {"all finished", {TASK_FINISHED, TASK_FINISHED}, false, false, TASK_FINISHED},
        {"all finished though cancel requested", {TASK_FINISHED}, true, true, TASK_FINISHED},
        {"failure outranks a user cancel", {TASK_CANCELED, TASK_FAILED}, true, true, TASK_FAILED},
        {"a canceled one", {TASK_FINISHED, TASK_CANCELED, TASK_IDLE}, false, true, TASK_CANCELED},
        {"unstarted after cancel request", {TASK_FINISHED, TASK_IDLE}, true, false, TASK_CANCELED},
        {"cancel request outranks abort", {TASK_FINISHED, TASK_IDLE}, true, true, TASK_CANCELED},
        {"unstarted after abort", {TASK_FINISHED, TASK_IDLE}, false, true, TASK_FAILED},
        {"nothing explains it", {TASK_FINISHED, TASK_IDLE}, false, false, TASK_RUNNING},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestComposite comp(1, nullptr, 1.0);
        for (int s : c.subStates)
            comp.add()->m_TaskState = s;
        comp.m_CancelRequested = c.cancelRequested;
        comp.m_Aborted = c.aborted;
        EXPECT_EQ(comp.subtasksResult(), c.result);
    }
}

// An unexplained end (rule 6) counts as a failure: here nothing may run at all.
TEST(ComposedTaskTest, UnexplainedEndIsAFailure)
{
    TestComposite c(0, nullptr, 1.0);
    ManualTask *a = c.add();
    SignalLog log(&c);
    c.execute();
    drainEvents();
    EXPECT_EQ(a->m_Executions, 0);
    EXPECT_EQ(c.m_TaskState, TASK_FAILED);
    EXPECT_EQ(log.ends(), 1);
}

// Unnormalised weights: the sum may pass the composite's weight until its own end sets it.
TEST(ComposedTaskTest, ProgressIsWeightedSumOfStoredSubTaskProgress)
{
    TestComposite c(2, nullptr, 2.0);
    SignalLog log(&c);
    ManualTask *a = c.add(0.5);
    ManualTask *b = c.add(0.7);
    // Every addSubtask recomputes.
    EXPECT_EQ(log.count("progress:0"), 2);
    c.execute();
    drainEvents();
    a->setProgress(0.5);
    EXPECT_DOUBLE_EQ(c.m_Progress, 0.5);
    b->setProgress(1.0);
    EXPECT_DOUBLE_EQ(c.m_Progress, (0.25 + 0.7) * 2.0);

    // The argument of onUpdateProgress does not matter, only the stored values.
    for (qreal arg : {0.0, 0.3, 99.0, -1.0}) {
        ASSERT_TRUE(QMetaObject::invokeMethod(&c, "onUpdateProgress", Q_ARG(qreal, arg)));
        EXPECT_DOUBLE_EQ(c.m_Progress, 1.9);
    }

    a->taskDone();
    EXPECT_DOUBLE_EQ(c.m_Progress, 2.4);
    b->taskDone();
    drainEvents();
    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_DOUBLE_EQ(c.m_Progress, 2.0);
}

TEST(ComposedTaskTest, DownloadStatisticsAddUpAndSkipUnknownTotals)
{
    TestComposite outer(1, nullptr, 1.0);
    ManualTask *known = outer.add();
    known->m_Done = 10;
    known->m_Total = 100;
    known->m_Speed = 5;
    ManualTask *sizeless = outer.add();
    sizeless->m_Done = 7;
    sizeless->m_Speed = 3;
    sizeless->m_Downloading = true;
    auto *inner = new TestComposite(1, &outer, 1.0);
    outer.addSubtask(inner);
    ManualTask *nested = inner->add();
    nested->m_Done = 1;
    nested->m_Total = 2;
    nested->m_Speed = 4;

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    outer.getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 11u);
    EXPECT_EQ(total, 102u);
    EXPECT_EQ(speed, 12u);
    EXPECT_TRUE(downloading);

    // It adds to what the caller passed in, but always decides the flag itself.
    sizeless->m_Downloading = false;
    done = 1000;
    total = 2000;
    speed = 1;
    downloading = true;
    outer.getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 1011u);
    EXPECT_EQ(total, 2102u);
    EXPECT_EQ(speed, 13u);
    EXPECT_FALSE(downloading);
}

// A nested composite passes the news of a sibling's failure down to its own running sub-tasks.
TEST(ComposedTaskTest, OtherTaskCancelledTravelsDownTheRunningTree)
{
    TestComposite outer(2, nullptr, 1.0);
    ManualTask *failing = outer.add();
    auto *inner = new TestComposite(1, &outer, 1.0);
    outer.addSubtask(inner);
    ManualTask *deep = inner->add();
    ManualTask *deepPending = inner->add();
    SignalLog log(&outer);
    outer.execute();
    drainEvents();
    ASSERT_EQ(deep->m_TaskState, TASK_RUNNING);

    failing->taskFailed();
    EXPECT_EQ(deep->m_OthersCancelled, QList<TaskSpecification *>({failing}));
    EXPECT_TRUE(deepPending->m_OthersCancelled.isEmpty());

    // The inner composite goes on: news of a sibling does not abort it.
    deep->taskDone();
    drainEvents();
    EXPECT_EQ(deepPending->m_TaskState, TASK_RUNNING);
    deepPending->taskDone();
    drainEvents();
    EXPECT_EQ(inner->m_TaskState, TASK_FINISHED);
    EXPECT_EQ(outer.m_TaskState, TASK_FAILED);
    EXPECT_EQ(log.ends(), 1);
}

TEST(ComposedTaskTest, ErrorsAndMessagesAreForwardedUnchanged)
{
    TestComposite outer(1, nullptr, 1.0);
    auto *inner = new TestComposite(1, &outer, 1.0);
    outer.addSubtask(inner);
    ManualTask *leaf = inner->add();
    SignalLog log(&outer);
    emit leaf->message("copying a");
    emit leaf->error("disk full");
    EXPECT_EQ(log.m_Events, QStringList({"message:copying a", "error:disk full"}));
}

TEST(ComposedTaskTest, ResetAllowsAnotherRun)
{
    TestComposite c(1, nullptr, 1.0);
    ManualTask *a = c.add(0.5);
    ManualTask *b = c.add(0.5);
    a->m_OnExecute = [](ManualTask *t) { t->taskDone(); };
    b->m_OnExecute = [](ManualTask *t) { t->taskFailed(); };
    SignalLog log(&c);
    c.execute();
    ASSERT_TRUE(waitUntil([&] { return log.ends() == 1; }));
    EXPECT_EQ(c.m_TaskState, TASK_FAILED);

    c.reset();
    EXPECT_EQ(c.m_TaskState, TASK_IDLE);
    EXPECT_EQ(a->m_TaskState, TASK_IDLE);
    EXPECT_EQ(c.m_Pending.size(), 2);
    EXPECT_TRUE(c.m_Done.isEmpty());
    EXPECT_FALSE(c.m_Aborted);
    EXPECT_EQ(c.m_Progress, 0.0);

    b->m_OnExecute = [](ManualTask *t) { t->taskDone(); };
    c.execute();
    ASSERT_TRUE(waitUntil([&] { return log.ends() == 2; }));
    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(a->m_Executions, 2);
}

TEST(ComposedTaskTest, DeletedSubTasksNoLongerReachTheComposite)
{
    TestComposite c(1, nullptr, 1.0);
    QPointer<ManualTask> a = c.add();
    SignalLog log(&c);
    c.deleteSubtasks();
    EXPECT_TRUE(c.m_SubTasks.isEmpty());
    EXPECT_TRUE(c.m_Pending.isEmpty());
    ASSERT_FALSE(a.isNull()); // deleted later, from the event loop
    emit a->message("late");
    a->taskFailed();
    EXPECT_TRUE(log.m_Events.isEmpty());
    drainEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(a.isNull());
}

} // namespace
