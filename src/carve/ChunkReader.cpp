#include "carve/ChunkReader.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace brightfold {

/// The threads that read ahead, one per chunk that may be read ahead at once, kept
/// for the whole scan rather than started for each read.
class ChunkReader::Readers {
public:
    explicit Readers(size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            m_threads.emplace_back([this](std::stop_token stop) { work(stop); });
    }
    ~Readers()
    {
        for (auto& thread : m_threads)
            thread.request_stop();
        m_wake.notify_all();
    } // the threads are joined; every read was waited for before

    std::future<size_t> run(std::function<size_t()> read)
    {
        std::packaged_task<size_t()> task(std::move(read));
        auto result = task.get_future();
        {
            std::lock_guard lock(m_lock);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
        return result;
    }

private:
    void work(std::stop_token stop)
    {
        for (;;) {
            std::packaged_task<size_t()> task;
            {
                std::unique_lock lock(m_lock);
                if (!m_wake.wait(lock, stop, [&] { return !m_tasks.empty(); }))
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    std::mutex m_lock;
    std::condition_variable_any m_wake;
    std::deque<std::packaged_task<size_t()>> m_tasks;
    std::vector<std::jthread> m_threads; ///< last: stopped and joined first
};

/// A chunk held, or being read ahead, or nothing (`chunk` empty). Only `chunk`
/// may be looked at while `pending` runs; the rest belongs to the read until
/// settle() has taken its result.
struct ChunkReader::Slot {
    HugePageBlock buffer; ///< one chunk's bytes, made when the slot is first used
    std::optional<uint64_t> chunk;
    uint64_t from { 0 };  ///< absolute offset of the buffer's first byte
    size_t received { 0 };
    std::future<size_t> pending;
    std::vector<UnreadableRegion> unreadable; ///< met by the read and not counted yet

    uint64_t end() const { return from + received; }
};

ChunkReader::ChunkReader(ByteSource& source, uint64_t chunkSize, size_t heldChunks)
    : m_source(source)
    , m_chunkSize(std::max<uint64_t>(chunkSize, 1))
    , m_bufferSize(std::min(m_chunkSize, source.size()))
    , m_sourceSize(source.size())
    , m_slots(std::max<size_t>(heldChunks, 1))
    , m_readAhead(source.allowsConcurrentReads() ? std::min<uint64_t>(kReadAhead, m_slots.size() - 1) : 0)
{
}

ChunkReader::~ChunkReader()
{
    for (auto& slot : m_slots) {
        if (slot.pending.valid())
            slot.pending.wait();
    }
}

ChunkReader::Slot* ChunkReader::slotOf(uint64_t chunk)
{
    return const_cast<Slot*>(std::as_const(*this).slotOf(chunk));
}

const ChunkReader::Slot* ChunkReader::slotOf(uint64_t chunk) const
{
    auto found = std::find_if(m_slots.begin(), m_slots.end(), [&](const Slot& slot) { return slot.chunk == chunk; });
    return found == m_slots.end() ? nullptr : &*found;
}

ChunkReader::Slot& ChunkReader::freeSlot()
{
    auto found = std::find_if(m_slots.begin(), m_slots.end(), [](const Slot& slot) { return !slot.chunk; });
    if (found == m_slots.end()) {
        // Every slot is taken (callers stay within the held chunks, so this is the
        // last of them being read again): give up the farthest one.
        found = std::max_element(m_slots.begin(), m_slots.end(), [](const Slot& a, const Slot& b) { return *a.chunk < *b.chunk; });
        release(*found);
    }
    if (!found->buffer.data())
        found->buffer = HugePageBlock(static_cast<size_t>(m_bufferSize));
    return *found;
}

bool ChunkReader::settle(Slot& slot)
{
    if (!slot.pending.valid())
        return true;
    try {
        slot.received = slot.pending.get();
        return true;
    } catch (...) {
        // Read again by whoever needs it, so the error reaches that reader.
        release(slot);
        return false;
    }
}

void ChunkReader::release(Slot& slot)
{
    if (slot.pending.valid())
        slot.pending.wait();
    slot.pending = {};
    slot.chunk.reset();
    slot.received = 0;
    slot.unreadable.clear();
}

ChunkReader::Slot& ChunkReader::load(uint64_t chunk, uint64_t from)
{
    if (Slot* slot = slotOf(chunk)) {
        if (settle(*slot) && slot->from <= from)
            return *slot;
        if (slot->chunk)
            release(*slot); // held from a later point on
    }
    Slot& slot = freeSlot();
    slot.chunk = chunk;
    slot.from = from;
    const uint64_t chunkEnd = std::min(m_sourceSize, (chunk + 1) * m_chunkSize);
    try {
        slot.received = m_source.readIntoUncounted(from, slot.buffer.first(static_cast<size_t>(chunkEnd - from)), slot.unreadable);
    } catch (...) {
        release(slot);
        throw;
    }
    return slot;
}

void ChunkReader::startReadAhead(uint64_t chunk)
{
    Slot& slot = freeSlot();
    slot.chunk = chunk;
    slot.from = chunk * m_chunkSize;
    std::span<uint8_t> target = slot.buffer.first(static_cast<size_t>(std::min(m_chunkSize, m_sourceSize - slot.from)));
    Slot* reading = &slot; // slots never move: m_slots is not resized
    if (!m_readers)
        m_readers = std::make_unique<Readers>(m_readAhead);
    slot.pending = m_readers->run([this, reading, target, after = m_afterReadAhead] {
        const size_t received = m_source.readIntoUncounted(reading->from, target, reading->unreadable);
        if (after)
            after(reading->from, reading->from + received);
        return received;
    });
}

void ChunkReader::countUnreadable(Slot& slot, uint64_t from, uint64_t to)
{
    if (slot.unreadable.empty())
        return;
    auto counted = std::remove_if(slot.unreadable.begin(), slot.unreadable.end(),
        [&](const UnreadableRegion& region) { return region.offset < to && from - std::min(from, region.offset) < region.length; });
    const auto regions = std::distance(counted, slot.unreadable.end());
    slot.unreadable.erase(counted, slot.unreadable.end());
    if (regions > 0)
        m_source.countUnreadable(regions);
}

std::span<const uint8_t> ChunkReader::take(uint64_t offset)
{
    const uint64_t chunk = offset / m_chunkSize;
    for (auto& slot : m_slots) {
        if (slot.chunk && (*slot.chunk < chunk || *slot.chunk - chunk >= m_slots.size()))
            release(slot); // behind the scan, or read ahead of a jump that went further
    }
    // The next chunks are asked for first: when this one is not held yet (the
    // first, or after a jump) they are all read at once.
    for (uint64_t ahead = chunk + 1; ahead <= chunk + m_readAhead && ahead * m_chunkSize < m_sourceSize; ++ahead) {
        if (!slotOf(ahead))
            startReadAhead(ahead);
    }
    Slot& slot = load(chunk, offset);
    m_taken = true;
    m_currentChunk = chunk;
    m_currentFrom = slot.from;
    m_current = std::span<const uint8_t>(slot.buffer.first(slot.received));
    if (offset >= slot.end())
        return {};
    countUnreadable(slot, offset, slot.end());
    return m_current.subspan(static_cast<size_t>(offset - slot.from));
}

uint64_t ChunkReader::readEnd() const
{
    if (!m_taken)
        return 0;
    const uint64_t chunks = m_currentChunk + (slotOf(m_currentChunk + 1) ? 2 : 1);
    return chunks > m_sourceSize / m_chunkSize ? m_sourceSize : chunks * m_chunkSize;
}

std::optional<ByteRun> ChunkReader::bytes(uint64_t offset, uint64_t count)
{
    if (!m_taken)
        return std::nullopt;
    const uint64_t first = offset / m_chunkSize;
    if (count == 0 || first < m_currentChunk || (first == m_currentChunk && offset < m_currentFrom))
        return std::nullopt;
    const uint64_t last = (offset + (count - 1)) / m_chunkSize; // offset + count stays within the source
    if (last - m_currentChunk >= m_slots.size())
        return std::nullopt;

    if (first == last) {
        Slot& slot = load(first, first == m_currentChunk ? m_currentFrom : first * m_chunkSize);
        const uint64_t available = slot.end() > offset ? slot.end() - offset : 0;
        const uint64_t taken = std::min(count, available);
        countUnreadable(slot, offset, offset + taken);
        return ByteRun::viewOf(std::span<const uint8_t>(slot.buffer.first(slot.received)).subspan(static_cast<size_t>(offset - slot.from), static_cast<size_t>(taken)));
    }
    // Across a chunk boundary: copied, up to where the source stopped delivering.
    std::vector<uint8_t> joined;
    joined.reserve(static_cast<size_t>(count));
    for (uint64_t chunk = first, at = offset; chunk <= last && at < offset + count; ++chunk) {
        Slot& slot = load(chunk, chunk == m_currentChunk ? m_currentFrom : chunk * m_chunkSize);
        if (at < slot.from || at >= slot.end())
            break;
        const uint64_t taken = std::min(offset + count, slot.end()) - at;
        countUnreadable(slot, at, at + taken);
        const uint8_t* bytes = slot.buffer.first(slot.received).data() + (at - slot.from);
        joined.insert(joined.end(), bytes, bytes + taken);
        at += taken;
        if (slot.end() < std::min(m_sourceSize, (chunk + 1) * m_chunkSize))
            break; // the source delivered less than the chunk
    }
    return ByteRun::owning(std::move(joined));
}

}
