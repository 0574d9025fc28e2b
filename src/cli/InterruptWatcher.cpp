#include "cli/InterruptWatcher.hpp"

#include <pthread.h>

namespace brightfold::cli {

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
{
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGUSR1); // our own wake-up at the end
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previous);
    m_thread = std::thread([this, onInterrupt = std::move(onInterrupt)] {
        int received = 0;
        while (sigwait(&m_signals, &received) == 0) {
            if (received == SIGUSR1)
                return;
            int none = 0;
            m_signal.compare_exchange_strong(none, received);
            if (onInterrupt)
                onInterrupt();
        }
    });
}

InterruptWatcher::~InterruptWatcher()
{
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}
