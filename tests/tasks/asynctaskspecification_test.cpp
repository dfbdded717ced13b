#include "asyncfunc.h"
#include "asyncrun.h"
#include "asynctaskspecification.h"
#include "tasktesthelpers.h"

#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

// What the test wants the worker to do, shared between the test and the pool thread.
struct Script {
    QSemaphore go; // the worker waits for one permit before it returns
    bool waitForGo = false;
    QList<qreal> progress; // emitted first
    int messages = 0;      // then this many messages
    QString errorText;     // then this error, if any
    bool result = true;
    std::atomic<QThread *> ranOn{nullptr};
    std::atomic<QThread *> deletedOn{nullptr};
    std::atomic<bool> started{false};
    std::atomic<int> niceOnWorker{-100};
};

class ScriptedFunc : public ASyncFunc {
public:
    explicit ScriptedFunc(std::shared_ptr<Script> s) : m_Script(std::move(s)) {}
    ~ScriptedFunc() override { m_Script->deletedOn = QThread::currentThread(); }
    bool run() override
    {
        m_Script->ranOn = QThread::currentThread();
        m_Script->niceOnWorker = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        for (qreal p : m_Script->progress)
            emit progress(p);
        for (int i = 0; i < m_Script->messages; ++i)
            emit message(QString("line %1").arg(i));
        if (!m_Script->errorText.isEmpty())
            emit error(m_Script->errorText);
        m_Script->started = true;
        if (m_Script->waitForGo)
            m_Script->go.acquire();
        return m_Script->result;
    }
    std::shared_ptr<Script> m_Script;
};

class ScriptedTask : public ASyncTaskSpecification {
    Q_OBJECT
public:
    ScriptedTask(std::shared_ptr<Script> s, qreal weight)
        : ASyncTaskSpecification(nullptr, weight), m_Script(s)
    {
    }
    ASyncFunc *createFunc() override { return new ScriptedFunc(m_Script); }
    using ASyncTaskSpecification::runDone;
    using TaskSpecification::taskCanceled;
    std::shared_ptr<Script> m_Script;
};

TEST(ASyncTaskTest, WorkerRunsAndDiesOnAPoolThread)
{
    auto s = std::make_shared<Script>();
    ScriptedTask t(s, 1.0);
    SignalLog log(&t);
    t.execute();
    EXPECT_EQ(t.m_TaskState, TASK_RUNNING);
    ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    EXPECT_EQ(t.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(log.count("finished"), 1);
    EXPECT_NE(s->ranOn.load(), nullptr);
    EXPECT_NE(s->ranOn.load(), QThread::currentThread());
    ASSERT_TRUE(waitUntil([&] { return s->deletedOn.load() != nullptr; }));
    EXPECT_EQ(s->deletedOn.load(), s->ranOn.load());
}

TEST(ASyncTaskTest, WorkersRunBelowThePriorityOfTheCaller)
{
    // The tests run on the main thread, whose level the workers are set below.
    ASSERT_EQ(syscall(SYS_gettid), getpid());
    const int callerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    const int expected = std::min(callerNice + 10, 19);
    // Twice, so that a reused pool thread is seen as well: it is lowered once, not once per job.
    for (int round = 0; round < 2; ++round) {
        auto s = std::make_shared<Script>();
        ScriptedTask t(s, 1.0);
        SignalLog log(&t);
        t.execute();
        ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
        EXPECT_EQ(s->niceOnWorker.load(), expected) << "round " << round;
    }
    // The caller's own thread keeps its priority.
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))), callerNice);
}

TEST(ASyncTaskTest, ProgressIsWeightedAndFailureKeepsIt)
{
    auto s = std::make_shared<Script>();
    s->progress = {0.5};
    s->waitForGo = true;
    ScriptedTask t(s, 0.4);
    SignalLog log(&t);
    t.execute();
    ASSERT_TRUE(waitUntil([&] { return t.m_Progress > 0; }));
    EXPECT_DOUBLE_EQ(t.m_Progress, 0.2);
    EXPECT_EQ(t.m_TaskState, TASK_RUNNING);
    s->go.release();
    ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    EXPECT_EQ(t.m_TaskState, TASK_FINISHED);

    auto f = std::make_shared<Script>();
    f->progress = {1.0};
    f->result = false;
    f->errorText = "could not unpack";
    ScriptedTask failing(f, 0.4);
    SignalLog failLog(&failing);
    failing.execute();
    ASSERT_TRUE(waitUntil([&] { return failLog.ends() > 0; }));
    EXPECT_EQ(failing.m_TaskState, TASK_FAILED);
    EXPECT_DOUBLE_EQ(failing.m_Progress, 0.4);
    EXPECT_EQ(failLog.m_Events, QStringList({"progress:0.4", "error:could not unpack", "canceled"}));
}

TEST(ASyncTaskTest, CancelDoesNotInterruptTheWorker)
{
    struct Case {
        const char *name;
        bool result;
        int endState;
    };
    for (const Case &c :
         {Case{"worker succeeds", true, TASK_FINISHED}, Case{"worker fails", false, TASK_FAILED}}) {
        SCOPED_TRACE(c.name);
        auto s = std::make_shared<Script>();
        s->waitForGo = true;
        s->result = c.result;
        ScriptedTask t(s, 1.0);
        SignalLog log(&t);
        t.execute();
        ASSERT_TRUE(waitUntil([&] { return s->started.load(); }));
        t.cancel();
        drainEvents();
        EXPECT_EQ(t.m_TaskState, TASK_RUNNING);
        EXPECT_EQ(log.ends(), 0);
        s->go.release();
        ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
        EXPECT_EQ(t.m_TaskState, c.endState);
        drainEvents();
        EXPECT_EQ(log.ends(), 1);
    }
}

TEST(ASyncTaskTest, MessagesArriveBeforeTheEnd)
{
    auto s = std::make_shared<Script>();
    s->messages = 200;
    s->result = false;
    ScriptedTask t(s, 1.0);
    SignalLog log(&t);
    t.execute();
    ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    drainEvents();
    ASSERT_EQ(log.m_Events.size(), 201);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(log.m_Events[i], QString("message:line %1").arg(i));
    EXPECT_EQ(log.m_Events.last(), "canceled");
}

// Once the task has ended some other way, the worker's late result changes nothing.
TEST(ASyncTaskTest, ResultAfterTheTaskEndedIsIgnored)
{
    auto s = std::make_shared<Script>();
    s->waitForGo = true;
    ScriptedTask t(s, 1.0);
    SignalLog log(&t);
    t.execute();
    ASSERT_TRUE(waitUntil([&] { return s->started.load(); }));
    t.taskCanceled();
    s->go.release();
    ASSERT_TRUE(waitUntil([&] { return s->deletedOn.load() != nullptr; }));
    drainEvents();
    EXPECT_EQ(t.m_TaskState, TASK_CANCELED);
    EXPECT_EQ(log.m_Events, QStringList({"canceled"}));

    ScriptedTask idle(s, 1.0);
    SignalLog idleLog(&idle);
    for (bool ok : {true, false})
        idle.runDone(ok);
    EXPECT_EQ(idle.m_TaskState, TASK_IDLE);
    EXPECT_TRUE(idleLog.m_Events.isEmpty());
}

TEST(ASyncTaskTest, ResetWaitsForRunningWorkers)
{
    auto s = std::make_shared<Script>();
    s->waitForGo = true;
    ScriptedTask t(s, 1.0);
    t.execute();
    ASSERT_TRUE(waitUntil([&] { return s->started.load(); }));
    // Let the worker go only a moment after reset() has begun waiting.
    std::unique_ptr<QThread> releaser(QThread::create([&] {
        QThread::msleep(50);
        s->go.release();
    }));
    releaser->start();
    t.reset();
    EXPECT_NE(s->deletedOn.load(), nullptr);
    EXPECT_EQ(t.m_TaskState, TASK_IDLE);
    releaser->wait();
    drainEvents();
    // The queued result of the old run finds the task idle and is dropped.
    EXPECT_EQ(t.m_TaskState, TASK_IDLE);
}

// A composite of workers: the pool threads only ever talk through queued signals.
TEST(ASyncTaskTest, CompositeOfWorkersFinishes)
{
    TestComposite c(2, nullptr, 1.0);
    QList<std::shared_ptr<Script>> scripts;
    for (int i = 0; i < 6; ++i) {
        auto s = std::make_shared<Script>();
        s->progress = {0.5, 1.0};
        s->messages = 3;
        scripts << s;
        auto *t = new ScriptedTask(s, 0.25);
        t->setParent(&c);
        c.addSubtask(t);
    }
    SignalLog log(&c);
    c.execute();
    ASSERT_TRUE(waitUntil([&] { return log.ends() > 0; }));
    EXPECT_EQ(c.m_TaskState, TASK_FINISHED);
    EXPECT_EQ(log.m_Events.filter("message:").size(), 18);
    EXPECT_DOUBLE_EQ(c.m_Progress, 1.0);
}

} // namespace

#include "asynctaskspecification_test.moc"
