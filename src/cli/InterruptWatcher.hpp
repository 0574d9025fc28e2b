#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace brightfold::cli {

/// Turns Ctrl-C (SIGINT) and SIGTERM into a call of `onInterrupt` for as long as
/// it lives, and remembers the first such signal. The signals are taken by a
/// thread of its own with sigwait, so no work is done inside a signal handler.
class InterruptWatcher {
public:
    explicit InterruptWatcher(std::function<void()> onInterrupt = {});
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool interrupted() const { return m_signal.load() != 0; }
    /// The first signal received, 0 when none.
    int signal() const { return m_signal.load(); }

private:
    sigset_t m_signals {};
    sigset_t m_previous {};
    std::atomic<int> m_signal { 0 };
    std::thread m_thread;
};

}
