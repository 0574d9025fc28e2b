#pragma once

#include "carve/ByteRun.hpp"
#include "carve/HugePageBlock.hpp"
#include "device/ByteSource.hpp"

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace brightfold {

/// The scan's only reader of the source. It reads whole chunks on a fixed grid
/// (chunk k holds the bytes [k × chunkSize, (k + 1) × chunkSize)) and holds the
/// chunk the engine scans together with the next few, so that what the engine
/// scans and what the carvers read near and ahead of it are served from the same
/// buffers: each byte of the source is read once. The three chunks after the
/// scanned one are read on other threads (for sources that allow concurrent
/// reads) while the engine scans, so reading and scanning overlap: a carver
/// that waits for the next chunk waits for a read started chunks earlier, and
/// the ones after it are being read meanwhile, two at once when the scan waits.
///
/// Unreadable regions that a zero-filling source met are counted once, when bytes
/// overlapping them are first handed out; a chunk read ahead and then skipped
/// (the scan jumped past it) counts none.
class ChunkReader {
public:
    /// Chunks held at once: the one scanned and the ones after it that the
    /// read-ahead or a carver's walk has reached (4 × 16 MiB for the application).
    static constexpr size_t kHeldChunks = 4;
    /// Chunks read ahead of the scanned one.
    static constexpr uint64_t kReadAhead = 3;

    ChunkReader(ByteSource& source, uint64_t chunkSize, size_t heldChunks = kHeldChunks);
    ~ChunkReader();
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    /// Makes the chunk holding `offset` the scanned one and returns its bytes from
    /// `offset` to its end: empty when the source delivers nothing there. Chunks
    /// before it are let go; the one after it starts being read. Throws what the
    /// source's read throws.
    std::span<const uint8_t> take(uint64_t offset);

    /// The bytes of the scanned chunk that are held, and where they start.
    uint64_t heldStart() const { return m_currentFrom; }
    std::span<const uint8_t> held() const { return m_current; }

    /// The bytes [offset, offset + count) for a carver, when they start inside the
    /// scanned chunk or one of the next heldChunks − 1 and end before the last of
    /// those ends (chunks not held yet are read now): a view when they lie in one
    /// chunk, else a copy. Fewer bytes when the source delivered fewer there. No
    /// value elsewhere: the caller reads the source. A view stays valid until the
    /// next take().
    std::optional<ByteRun> bytes(uint64_t offset, uint64_t count);

    /// Where the scanned chunk and the next one end, as far as they are held or
    /// being read: bytes() serves what lies before it without this thread reading
    /// the source. The chunk after those is left to be read while the scan goes
    /// on. 0 before the first take().
    uint64_t readEnd() const;

    uint64_t chunkSize() const { return m_chunkSize; }

    /// Runs on the reading thread after each chunk read ahead, with the chunk's range.
    void afterReadAhead(std::function<void(uint64_t from, uint64_t to)> task) { m_afterReadAhead = std::move(task); }

private:
    struct Slot;
    class Readers;

    Slot* slotOf(uint64_t chunk);
    const Slot* slotOf(uint64_t chunk) const;
    Slot& freeSlot();
    /// The slot holding `chunk` from `from` on, reading it when it is not held.
    Slot& load(uint64_t chunk, uint64_t from);
    /// Waits for the slot's read-ahead; false (and the slot freed) when it failed.
    bool settle(Slot& slot);
    void release(Slot& slot);
    void startReadAhead(uint64_t chunk);
    /// Counts the slot's unreadable regions that overlap [from, to) and were not counted yet.
    void countUnreadable(Slot& slot, uint64_t from, uint64_t to);

    ByteSource& m_source;
    const uint64_t m_chunkSize;
    const uint64_t m_bufferSize;
    const uint64_t m_sourceSize;
    std::vector<Slot> m_slots; ///< never resized: a read-ahead writes into one of them
    const uint64_t m_readAhead; ///< chunks read ahead at once: none for a source that reads one thing at a time
    std::unique_ptr<Readers> m_readers; ///< the threads reading ahead, started with the first read ahead
    bool m_taken { false };
    uint64_t m_currentChunk { 0 };
    uint64_t m_currentFrom { 0 };
    std::span<const uint8_t> m_current;
    std::function<void(uint64_t, uint64_t)> m_afterReadAhead;
};

}
