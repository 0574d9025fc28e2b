#include "workflow/ThumbnailWorkers.hpp"

#include "workflow/PreviewBatch.hpp"
#include "workflow/ThumbnailService.hpp"

#include <QCoreApplication>

#include <algorithm>

namespace brightfold {

ThumbnailWorkers::ThumbnailWorkers(int workers, ServiceFactory makeService)
    : m_maxWorkers(std::max(1, workers))
    , m_makeService(makeService ? std::move(makeService) : [] { return std::make_unique<ThumbnailService>(); })
{
}

ThumbnailWorkers::~ThumbnailWorkers()
{
    shutDown();
}

ThumbnailWorkers& ThumbnailWorkers::shared()
{
    // Ended with the application, while Qt can still wait for the worker processes.
    static ThumbnailWorkers* workers = [] {
        auto* made = new ThumbnailWorkers(PreviewBatch::defaultWorkerCount());
        if (QCoreApplication::instance() != nullptr)
            qAddPostRoutine([] { shared().shutDown(); });
        return made;
    }();
    return *workers;
}

QFuture<ThumbnailWorkers::Thumbnail> ThumbnailWorkers::thumbnail(const QString& path, QSize target)
{
    const std::lock_guard lock(m_lock);
    if (m_shutDown)
        return QtFuture::makeReadyFuture(Thumbnail());
    Request& request = m_requests.emplace_back(Request { path, target, QPromise<Thumbnail>() });
    request.answer.start();
    QFuture<Thumbnail> future = request.answer.future();
    if (m_idle == 0 && static_cast<int>(m_threads.size()) < m_maxWorkers) {
        // The thread makes its own service: the worker process belongs to the thread that talks to it.
        m_threads.emplace_back([this] {
            std::unique_ptr<ThumbnailService> service = m_makeService();
            work(*service);
        });
    } else {
        m_wake.notify_one();
    }
    return future;
}

void ThumbnailWorkers::work(ThumbnailService& service)
{
    std::unique_lock lock(m_lock);
    m_services.push_back(&service);
    if (m_shutDown)
        service.stop();
    for (;;) {
        ++m_idle;
        m_wake.wait(lock, [this] { return m_shutDown || !m_requests.empty(); });
        --m_idle;
        if (m_requests.empty())
            break;
        Request request = std::move(m_requests.front());
        m_requests.pop_front();
        lock.unlock();
        request.answer.addResult(service.thumbnail(request.path, request.target));
        request.answer.finish();
        lock.lock();
    }
    std::erase(m_services, &service);
}

void ThumbnailWorkers::shutDown()
{
    std::vector<std::thread> threads;
    {
        const std::lock_guard lock(m_lock);
        m_shutDown = true;
        for (ThumbnailService* service : m_services)
            service->stop();
        for (Request& request : m_requests) {
            request.answer.addResult(std::nullopt);
            request.answer.finish();
        }
        m_requests.clear();
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

}
