#include "workflow/PreviewBatch.hpp"

#include "workflow/PreviewMaker.hpp"
#include "workflow/ThumbnailService.hpp"

#include <algorithm>
#include <thread>

namespace brightfold {

PreviewBatch::PreviewBatch(std::vector<CarvedFile> files, ByteSourcePtr source, QString sessionFolder, int workers,
    ServiceFactory makeService)
    : m_files(std::move(files))
    , m_source(std::move(source))
    , m_sessionFolder(std::move(sessionFolder))
    , m_workerCount(std::max(1, workers))
    , m_makeService(makeService ? std::move(makeService) : [] { return std::make_unique<ThumbnailService>(); })
    , m_states(m_files.size(), FileState::waiting)
{
    for (size_t i = 0; i < m_files.size(); ++i)
        m_queue.push_back(i);
}

PreviewBatch::~PreviewBatch() = default;

int PreviewBatch::defaultWorkerCount()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

PreviewBatch::Outcome PreviewBatch::run(std::optional<std::chrono::milliseconds> cap, const FileDone& onFileDone)
{
    const auto started = std::chrono::steady_clock::now();
    const int workers = static_cast<int>(std::min<size_t>(static_cast<size_t>(m_workerCount), m_files.size()));
    std::vector<std::thread> threads;
    {
        const std::lock_guard lock(m_lock);
        if (m_stopped)
            return Outcome::stopped;
        for (int i = 0; i < workers; ++i)
            m_services.push_back(m_makeService());
        m_runningWorkers = workers;
    }
    for (int i = 0; i < workers; ++i)
        threads.emplace_back([this, &onFileDone, service = m_services[static_cast<size_t>(i)].get()] { work(*service, onFileDone); });

    bool capped = false;
    {
        std::unique_lock lock(m_lock);
        auto allDone = [this] { return m_runningWorkers == 0; };
        if (cap)
            capped = !m_workersDone.wait_until(lock, started + *cap, allDone);
        else
            m_workersDone.wait(lock, allDone);
        if (capped)
            m_stopped = true;
    }
    if (capped)
        stopServices();
    for (std::thread& thread : threads)
        thread.join();

    const std::lock_guard lock(m_lock);
    m_services.clear();
    if (capped)
        return Outcome::capped;
    const bool everyFileTried = std::all_of(m_states.begin(), m_states.end(), [](FileState state) { return state == FileState::tried; });
    return everyFileTried ? Outcome::finished : Outcome::stopped;
}

void PreviewBatch::work(ThumbnailService& service, const FileDone& onFileDone)
{
    while (const auto index = takeNext()) {
        const bool written = PreviewMaker::make(m_files[*index], *m_source, m_sessionFolder, service);
        if (written)
            ++m_made;
        {
            const std::lock_guard lock(m_lock);
            m_states[*index] = m_stopped ? FileState::cutShort : FileState::tried;
        }
        const int tried = ++m_tried;
        if (onFileDone)
            onFileDone(tried, m_files[*index], written);
    }
    const std::lock_guard lock(m_lock);
    if (--m_runningWorkers == 0)
        m_workersDone.notify_all();
}

std::optional<size_t> PreviewBatch::takeNext()
{
    const std::lock_guard lock(m_lock);
    while (!m_stopped && !m_queue.empty()) {
        const size_t index = m_queue.front();
        m_queue.pop_front();
        // Moving a file to the front leaves its old place in the queue behind.
        if (m_states[index] != FileState::waiting)
            continue;
        m_states[index] = FileState::running;
        return index;
    }
    return std::nullopt;
}

void PreviewBatch::stop()
{
    {
        const std::lock_guard lock(m_lock);
        m_stopped = true;
    }
    stopServices();
}

void PreviewBatch::stopServices()
{
    const std::lock_guard lock(m_lock);
    for (const auto& service : m_services)
        service->stop();
}

void PreviewBatch::prioritize(const std::vector<size_t>& indices)
{
    const std::lock_guard lock(m_lock);
    for (auto index = indices.rbegin(); index != indices.rend(); ++index) {
        if (*index < m_states.size() && m_states[*index] == FileState::waiting)
            m_queue.push_front(*index);
    }
}

std::vector<CarvedFile> PreviewBatch::untried() const
{
    const std::lock_guard lock(m_lock);
    std::vector<CarvedFile> files;
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (m_states[i] != FileState::tried)
            files.push_back(m_files[i]);
    }
    return files;
}

}
