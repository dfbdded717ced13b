#include "asyncrun.h"

#include "asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func) : m_Func(func) {}

void ASyncRun::run()
{
    const bool res = m_Func->run();
    // The last signal of the worker: everything it emitted before arrives first.
    emit m_Func->runResult(res);
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}
