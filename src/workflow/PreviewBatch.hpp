#pragma once

#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace brightfold {

class ThumbnailService;

/// Makes the previews of a scan's files with several thumbnail workers at once
/// (one per core by default), each file read from the source once and handed
/// straight to a worker. Files start in the order given, except those moved to
/// the front while it runs (the ones on screen). A worker that crashes or hangs
/// costs only its file. The whole run can be capped in time, and stopped at
/// once from any thread: the running workers are killed.
class PreviewBatch {
public:
    enum class Outcome {
        finished, // every file was tried
        capped,   // the time cap passed first
        stopped,  // stop() was called
    };
    using ServiceFactory = std::function<std::unique_ptr<ThumbnailService>()>;
    /// Called from a worker thread after each file, with the number tried so
    /// far, the file, and whether its preview was written.
    using FileDone = std::function<void(int tried, const CarvedFile& file, bool written)>;

    /// `source` must stay open until run() returns. `makeService` makes one
    /// thumbnail service per worker (by default, over the real worker).
    PreviewBatch(std::vector<CarvedFile> files, ByteSourcePtr source, QString sessionFolder,
        int workers = defaultWorkerCount(), ServiceFactory makeService = {});
    ~PreviewBatch();
    PreviewBatch(const PreviewBatch&) = delete;
    PreviewBatch& operator=(const PreviewBatch&) = delete;

    /// Makes the previews on `workers` threads and returns when every file was
    /// tried, when `cap` has passed (the running files are cut short) or when
    /// stop() was called. Blocks its caller; call it once.
    Outcome run(std::optional<std::chrono::milliseconds> cap, const FileDone& onFileDone = {});
    /// Kills the running workers and starts no more files; any thread.
    void stop();
    /// Moves the files at these indices ahead of the others not yet started; any thread.
    void prioritize(const std::vector<size_t>& indices);

    /// After run(): the files not tried, or cut short by the cap or stop(), in
    /// their original order (they can be given to a later batch).
    std::vector<CarvedFile> untried() const;
    /// After run(): previews written.
    int made() const { return m_made.load(); }

    /// The cores of this machine, at least one.
    static int defaultWorkerCount();

private:
    enum class FileState : uint8_t { waiting, running, tried, cutShort };

    void work(ThumbnailService& service, const FileDone& onFileDone);
    std::optional<size_t> takeNext();
    void stopServices();

    std::vector<CarvedFile> m_files;
    ByteSourcePtr m_source;
    QString m_sessionFolder;
    int m_workerCount;
    ServiceFactory m_makeService;

    mutable std::mutex m_lock;
    std::condition_variable m_workersDone;
    std::deque<size_t> m_queue;
    std::vector<FileState> m_states;
    std::vector<std::unique_ptr<ThumbnailService>> m_services;
    int m_runningWorkers { 0 };
    bool m_stopped { false };
    std::atomic<int> m_tried { 0 };
    std::atomic<int> m_made { 0 };
};

}
