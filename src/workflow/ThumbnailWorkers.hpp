#pragma once

#include <QFuture>
#include <QImage>
#include <QPromise>
#include <QSize>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace brightfold {

class ThumbnailService;

/// Thumbnails of files on disk drawn by a pool of thumbnail workers: a few
/// threads, each with its own ThumbnailService (and so its own worker process),
/// started as requests arrive and kept until the pool ends. Requests are served
/// in the order they come; each answer arrives through its future.
class ThumbnailWorkers {
public:
    using Thumbnail = std::optional<QImage>;
    using ServiceFactory = std::function<std::unique_ptr<ThumbnailService>()>;

    /// At most `workers` at once; `makeService` makes each thread's service (by
    /// default, over the real worker).
    explicit ThumbnailWorkers(int workers, ServiceFactory makeService = {});
    /// Stops the workers; requests not answered yet get nothing.
    ~ThumbnailWorkers();
    ThumbnailWorkers(const ThumbnailWorkers&) = delete;
    ThumbnailWorkers& operator=(const ThumbnailWorkers&) = delete;

    /// The application's pool, one worker per core; shut down with the application.
    static ThumbnailWorkers& shared();

    /// A picture of the file at `path` no larger than `target`, as
    /// ThumbnailService::thumbnail draws it; nothing once the pool is shut down.
    QFuture<Thumbnail> thumbnail(const QString& path, QSize target);
    /// Kills the running workers, answers every waiting request with nothing and
    /// refuses later ones; waits for the threads to end. Any thread but a pool's own.
    void shutDown();

private:
    struct Request {
        QString path;
        QSize target;
        QPromise<Thumbnail> answer;
    };

    void work(ThumbnailService& service);

    int m_maxWorkers;
    ServiceFactory m_makeService;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Request> m_requests;
    std::vector<std::thread> m_threads;
    std::vector<ThumbnailService*> m_services; // of the running threads, for shutDown()
    int m_idle { 0 };
    bool m_shutDown { false };
};

}
