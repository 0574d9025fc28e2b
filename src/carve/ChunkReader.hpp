#pragma once

#include "device/ByteSource.hpp"

#include <cstdint>
#include <future>
#include <memory>
#include <span>
#include <vector>

namespace brightfold {

/// Reads a source chunk by chunk into two reusable buffers. While the engine
/// scans one chunk, the next is read on a second thread (for sources that allow
/// concurrent reads), so reading and scanning overlap. Each byte is still read
/// once; a guess that turns out wrong (the scan jumped past an exact file) is
/// dropped, and its error with it, and so are the unreadable blocks it met: the
/// source's badReads() counts only blocks whose bytes the scan was given.
class ChunkReader {
public:
    ChunkReader(ByteSource& source, size_t chunkSize);
    ~ChunkReader();
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    /// The bytes at `offset`, at most `count` (count ≤ chunkSize); empty when the
    /// source delivers nothing there. Throws what the source's read throws. The
    /// bytes stay valid and unchanged until the next take().
    std::span<const uint8_t> take(uint64_t offset, size_t count);

    /// Starts reading the chunk the engine will probably take next.
    void readAhead(uint64_t offset, size_t count);

private:
    class Buffer;

    ByteSource& m_source;
    std::unique_ptr<Buffer> m_front;
    std::unique_ptr<Buffer> m_back;
    std::future<size_t> m_pending;
    uint64_t m_pendingOffset { 0 };
    /// Unreadable regions the read-ahead met: counted only for the bytes the engine takes.
    std::vector<UnreadableRegion> m_pendingUnreadable;
    bool m_concurrent;
};

}
