#include "workflow/Executor.hpp"

namespace brightfold {

Executor::Executor(int maxThreads)
{
    m_pool.setMaxThreadCount(maxThreads);
}

Executor::~Executor()
{
    m_pool.waitForDone();
}

Executor& Executor::shared()
{
    static Executor executor(kSharedThreads);
    return executor;
}

}
