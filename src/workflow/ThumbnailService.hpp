#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QProcess;

namespace brightfold {

enum class PreviewFamily;
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
/// Each family of files gets its own deadline: a picture or a document page a
/// few seconds, a video (container, seek and key frame) a few more, so that a
/// handful of hostile files cannot hold every result back.
///
/// Not thread-safe, except stop(): one service per thread that uses it (a
/// ThumbnailWorkers pool, a PreviewBatch).
class ThumbnailService {
public:
    static constexpr std::chrono::milliseconds kPictureDeadline { 6'000 };
    static constexpr std::chrono::milliseconds kDocumentDeadline { 6'000 };
    static constexpr std::chrono::milliseconds kVideoDeadline { 10'000 };

    /// The bytes of a file from `offset` on, at most 4 MiB of them; nothing at
    /// its end (a card failing part-way simply ends it early). Asked again from
    /// offset 0 when a fresh worker must be handed the file.
    using ByteReader = std::function<std::vector<uint8_t>(uint64_t offset)>;

    /// A service over `workerPath`, with each family's own deadline, or with
    /// `deadline` for every file when one is given.
    explicit ThumbnailService(QString workerPath = defaultWorkerPath(),
        std::optional<std::chrono::milliseconds> deadline = std::nullopt);
    ~ThumbnailService();
    ThumbnailService(const ThumbnailService&) = delete;
    ThumbnailService& operator=(const ThumbnailService&) = delete;

    /// A picture of the file at `path` no larger than `target` (each side
    /// 1...2048 pixels), upright; nothing when the worker has no decoder for it,
    /// cannot read it, or fails. Blocks for at most the deadline, worker start
    /// included.
    std::optional<QImage> thumbnail(const QString& path, QSize target);
    /// A picture of a file with extension `ext` whose bytes (about
    /// `expectedBytes` of them) `read` hands straight to the worker, without a
    /// temporary file. A picture the file embeds serves when its longer side
    /// reaches `enoughSide`. Waits for each piece to be taken, then for the
    /// reply, each at most the deadline.
    std::optional<QImage> thumbnail(const QString& ext, uint64_t expectedBytes, const ByteReader& read, QSize target, int enoughSide);

    /// Kills the running worker at once and refuses every later request; safe
    /// to call from any thread. What was being drawn gets no picture and is not
    /// counted as a failure.
    void stop();
    bool isStopped() const { return m_stopped.load(); }

    /// Files lost to a worker that could not start, crashed, hung past the
    /// deadline or sent a malformed reply.
    int failedFiles() const { return m_failedFiles; }

    /// $BRIGHTFOLD_THUMBNAILER when set; else the worker beside the application,
    /// else the one in the build tree, else the installed one.
    static QString defaultWorkerPath();
    /// How long a file of `family` may take (files of no known family: a picture's time).
    static std::chrono::milliseconds deadlineFor(std::optional<PreviewFamily> family);

private:
    std::optional<QImage> ask(const ThumbnailRequest& request, const ByteReader* read);
    /// Sends one request (and the file's bytes) and waits for its reply; nothing on any failure.
    std::optional<ThumbnailReply> exchange(const ThumbnailRequest& request, const ByteReader* read, std::chrono::milliseconds deadline);
    bool sendFrame(const std::vector<uint8_t>& payload, std::chrono::milliseconds deadline);
    /// The worker has left on its own, its CPU time used up.
    bool workerRetired() const;
    std::chrono::milliseconds deadlineFor(const std::string& ext) const;
    bool startWorker(int remainingMs);
    void discardWorker();
    std::optional<QImage> failFile();

    QString m_workerPath;
    std::optional<std::chrono::milliseconds> m_deadline;
    std::unique_ptr<QProcess> m_worker;
    std::mutex m_pidMutex; // between stop() and the worker's start and discard
    std::atomic<qint64> m_workerPid { 0 };
    std::atomic<bool> m_stopped { false };
    int m_failedFiles { 0 };
};

}
