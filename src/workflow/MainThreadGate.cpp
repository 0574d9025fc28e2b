#include "workflow/MainThreadGate.hpp"

#include <QCoreApplication>
#include <QEvent>

#include <future>
#include <memory>

namespace brightfold {

bool MainThreadGate::call(std::function<void()> work)
{
    // Only the queued call holds the promise: when the queue drops it unrun, the
    // promise breaks and the wait below ends with an error.
    auto promise = std::make_shared<std::promise<void>>();
    std::future<void> finished = promise->get_future();
    if (!post([promise = std::move(promise), work = std::move(work)] {
            work();
            promise->set_value();
        }))
        return false;
    try {
        finished.get();
        return true;
    } catch (const std::future_error&) {
        return false;
    }
}

bool MainThreadGate::post(std::function<void()> work)
{
    std::lock_guard guard(m_lock);
    if (m_closed)
        return false;
    QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
    return true;
}

void MainThreadGate::close()
{
    {
        std::lock_guard guard(m_lock);
        m_closed = true;
    }
    QCoreApplication::removePostedEvents(m_context, QEvent::MetaCall);
}

}
