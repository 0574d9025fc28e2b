#pragma once

#include <QObject>

#include <functional>
#include <mutex>

namespace brightfold {

/// How background tasks change an object's state: each piece of work is queued
/// to the object's thread. Closing the gate (before the object goes away) drops
/// queued work and refuses new work, so a task waiting on a hop wakes up instead
/// of waiting for a thread that is busy waiting for it.
class MainThreadGate {
public:
    explicit MainThreadGate(QObject* context) : m_context(context) { }

    /// From a background thread (never the object's own: it would wait for
    /// itself): runs `work` on the object's thread and waits until it has run.
    /// False when the gate is closed or closes first: `work` did not run, and the
    /// task should end.
    bool call(std::function<void()> work);
    /// Queues `work` without waiting; false when the gate is closed.
    bool post(std::function<void()> work);
    /// On the object's thread: refuses new work and drops what is queued.
    void close();

private:
    QObject* m_context;
    std::mutex m_lock;
    bool m_closed { false };
};

}
