#include "carve/ChunkReader.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace brightfold {

/// One chunk's bytes, left uninitialised (every byte looked at was read into it
/// first) and backed by huge pages where the system allows, so setting it up
/// does not cost thousands of page faults.
class ChunkReader::Buffer {
public:
    explicit Buffer(size_t size)
        : m_size(size)
    {
        constexpr size_t kHugePage = 2 * 1024 * 1024;
        size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
        m_bytes = static_cast<uint8_t*>(std::aligned_alloc(kHugePage, rounded));
        if (!m_bytes)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(m_bytes, rounded, MADV_HUGEPAGE);
#endif
    }
    ~Buffer() { std::free(m_bytes); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::span<uint8_t> first(size_t count) { return { m_bytes, std::min(count, m_size) }; }

private:
    uint8_t* m_bytes { nullptr };
    size_t m_size;
};

ChunkReader::ChunkReader(ByteSource& source, size_t chunkSize)
    : m_source(source)
    , m_front(std::make_unique<Buffer>(chunkSize))
    , m_concurrent(source.allowsConcurrentReads())
{
    if (m_concurrent)
        m_back = std::make_unique<Buffer>(chunkSize);
}

ChunkReader::~ChunkReader()
{
    if (m_pending.valid())
        m_pending.wait();
}

void ChunkReader::readAhead(uint64_t offset, size_t count)
{
    if (!m_concurrent || m_pending.valid() || count == 0)
        return;
    m_pendingOffset = offset;
    std::span<uint8_t> target = m_back->first(count);
    m_pending = std::async(std::launch::async, [this, offset, target] {
        m_pendingUnreadable.clear();
        return m_source.readIntoUncounted(offset, target, m_pendingUnreadable);
    });
}

std::span<const uint8_t> ChunkReader::take(uint64_t offset, size_t count)
{
    if (m_pending.valid()) {
        uint64_t aheadOffset = m_pendingOffset;
        size_t received = 0;
        bool failed = false;
        try {
            received = m_pending.get();
        } catch (...) {
            if (offset == aheadOffset)
                throw;
            failed = true;
        }
        std::swap(m_front, m_back);
        // The guess was right, or the scan jumped to a point inside what was read.
        if (!failed && offset >= aheadOffset && offset - aheadOffset < received) {
            size_t skip = static_cast<size_t>(offset - aheadOffset);
            size_t taken = std::min(count, received - skip);
            m_source.countUnreadable(std::count_if(m_pendingUnreadable.begin(), m_pendingUnreadable.end(),
                [&](const UnreadableRegion& region) { return region.offset < offset + taken && offset < region.offset + region.length; }));
            return std::span<const uint8_t>(m_front->first(received).subspan(skip)).first(taken);
        }
        if (!failed && offset == aheadOffset)
            return {};
    }
    std::span<uint8_t> target = m_front->first(count);
    return target.first(m_source.readInto(offset, target));
}

}
