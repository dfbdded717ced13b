#include "asyncrun.h"

#include "asyncfunc.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const int kBackgroundNiceIncrement = 10;
const int kLowestNice = 19;

// Workers digest, unpack and patch files in the background: they yield the processor to the window
// and to the transfers, whose threads then never wait behind a digest. With nothing else to run they
// go at full speed all the same. The level is the main thread's plus the increment, so a worker never
// rises above the window and a reused or inherited thread is not lowered twice.
void lowerWorkerPriorityOnce()
{
    thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    // On Linux the process id names the main thread.
    errno = 0;
    const int mainNice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    const int ownNice = getpriority(PRIO_PROCESS, thread);
    if (errno != 0)
        return;
    const int wanted = std::min(mainNice + kBackgroundNiceIncrement, kLowestNice);
    if (ownNice < wanted)
        setpriority(PRIO_PROCESS, thread, wanted);
}

} // namespace

ASyncRun::ASyncRun(ASyncFunc *func) : m_Func(func) {}

void ASyncRun::run()
{
    lowerWorkerPriorityOnce();
    const bool res = m_Func->run();
    // The last signal of the worker: everything it emitted before arrives first.
    emit m_Func->runResult(res);
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}
