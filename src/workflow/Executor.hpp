#pragma once

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <utility>

namespace brightfold {

/// The one way the workflow runs background work: `run()` starts a function on a
/// pool thread and returns its result as a QFuture, whose continuation
/// (`.then(context, …)`) brings the value back to the context's thread, or is
/// dropped when the context is gone first. Long blocking work (a scan, a save)
/// and short work (a listing, a load) share it; the pool grows to the thread
/// limit and no further.
class Executor {
public:
    /// Threads for the shared executor: a scan, a save, listings and loads at once.
    static constexpr int kSharedThreads = 6;

    explicit Executor(int maxThreads);
    /// Waits for the work that is running.
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    /// The application's executor.
    static Executor& shared();

    /// Starts `work()` on a pool thread.
    template<typename Work>
    auto run(Work&& work)
    {
        return QtConcurrent::run(&m_pool, std::forward<Work>(work));
    }

    /// Blocks until all started work has ended (tests and shutdown).
    void waitForDone() { m_pool.waitForDone(); }

private:
    QThreadPool m_pool;
};

}
