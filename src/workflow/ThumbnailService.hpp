#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QDeadlineTimer;
class QProcess;

namespace brightfold {

struct ThumbnailReply;
struct ThumbnailRequest;

/// Thumbnails drawn by `brightfold-thumbnailer`, a worker process of our own, so
/// that carved bytes (damaged more often than not) are never decoded in the
/// application's process. The worker starts on the first request and serves one
/// request at a time; when it crashes, hangs past the deadline or answers with
/// anything malformed, that one file gets no thumbnail, the loss is counted, the
/// worker is killed, and the next request starts a fresh one. A worker that
/// leaves because its CPU time is used up costs nothing: a fresh one gets the file.
///
/// Not thread-safe: use one service per thread (forThisThread()).
class ThumbnailService {
public:
    static constexpr std::chrono::milliseconds kDeadline { 20'000 };

    explicit ThumbnailService(QString workerPath = defaultWorkerPath(), std::chrono::milliseconds deadline = kDeadline);
    ~ThumbnailService();
    ThumbnailService(const ThumbnailService&) = delete;
    ThumbnailService& operator=(const ThumbnailService&) = delete;

    /// A picture of the file at `path` no larger than `target` (each side
    /// 1...2048 pixels), upright; nothing when the worker has no decoder for it,
    /// cannot read it, or fails. Blocks for at most the deadline, worker start
    /// included.
    std::optional<QImage> thumbnail(const QString& path, QSize target);

    /// Files lost to a worker that could not start, crashed, hung past the
    /// deadline or sent a malformed reply.
    int failedFiles() const { return m_failedFiles; }

    /// $BRIGHTFOLD_THUMBNAILER when set; else the worker beside the application,
    /// else the one in the build tree, else the installed one.
    static QString defaultWorkerPath();
    /// The calling thread's own service over the default worker, made on first use.
    static ThumbnailService& forThisThread();

private:
    /// Sends one request frame and waits for its reply; nothing on any failure.
    std::optional<ThumbnailReply> exchange(const std::vector<uint8_t>& frame, const ThumbnailRequest& request,
        const QDeadlineTimer& deadline);
    /// The worker has left on its own, its CPU time used up.
    bool workerRetired() const;
    bool startWorker(int remainingMs);
    void discardWorker();
    std::optional<QImage> failFile();

    QString m_workerPath;
    std::chrono::milliseconds m_deadline;
    std::unique_ptr<QProcess> m_worker;
    int m_failedFiles { 0 };
};

}
