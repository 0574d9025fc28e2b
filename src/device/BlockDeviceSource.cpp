#include "device/BlockDeviceSource.hpp"

#include "device/DeviceError.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace brightfold {

namespace {

// Block size assumed when only fstat knows the size (an image file, say).
constexpr uint64_t kFallbackBlockSize = 512;
// Offsets must stay representable as off_t for pread.
constexpr uint64_t kLargestSize = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

}

BlockDeviceSource::BlockDeviceSource(UniqueFd fd, std::string path, std::shared_ptr<DeviceCalls> calls)
    : m_fd(std::move(fd))
    , m_path(std::move(path))
    , m_calls(std::move(calls))
{
    int blockSize = 0;
    uint64_t bytes = 0;
    if (m_calls->logicalBlockSize(m_fd.get(), blockSize) == 0 && blockSize > 0
        && m_calls->deviceSize(m_fd.get(), bytes) == 0) {
        auto block = static_cast<uint64_t>(blockSize);
        uint64_t count = bytes / block;
        if (count > 0 && count <= kLargestSize / block) {
            m_blockSize = block;
            m_size = count * block;
            return;
        }
    }
    struct stat status {};
    if (m_calls->fstat(m_fd.get(), status) == 0 && status.st_size > 0) {
        m_blockSize = kFallbackBlockSize;
        m_size = static_cast<uint64_t>(status.st_size);
        return;
    }
    // m_fd closes the descriptor as the exception leaves the constructor.
    throw DeviceError::notAFileOrDevice(m_path);
}

size_t BlockDeviceSource::readInto(uint64_t offset, std::span<uint8_t> buffer)
{
    return readBlocks(offset, buffer, nullptr);
}

size_t BlockDeviceSource::readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable)
{
    return readBlocks(offset, buffer, &unreadable);
}

size_t BlockDeviceSource::readBlocks(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>* unreadable)
{
    if (offset >= m_size || buffer.empty())
        return 0;
    uint64_t want = std::min<uint64_t>(buffer.size(), m_size - offset);
    uint64_t end = offset + want; // at most m_size, so no wrap

    // Widen to whole blocks; the last block may be partial when the size came from fstat.
    uint64_t alignedStart = offset - offset % m_blockSize;
    uint64_t alignedEnd = end;
    if (uint64_t remainder = end % m_blockSize; remainder != 0) {
        uint64_t gap = m_blockSize - remainder;
        alignedEnd = gap > m_size - end ? m_size : end + gap;
    }
    auto spanLength = static_cast<size_t>(alignedEnd - alignedStart);

    // An aligned request is read straight into the caller's buffer; any other goes
    // through a block-aligned staging buffer.
    if (alignedStart == offset && spanLength == want) {
        readSpan(buffer.first(spanLength), alignedStart, unreadable);
        return spanLength;
    }
    std::vector<uint8_t> staging(spanLength);
    readSpan(staging, alignedStart, unreadable);
    std::memcpy(buffer.data(), staging.data() + (offset - alignedStart), want);
    return static_cast<size_t>(want);
}

void BlockDeviceSource::readSpan(std::span<uint8_t> span, uint64_t start, std::vector<UnreadableRegion>* unreadable)
{
    // Healthy path: the whole span in as few calls as the device allows.
    const size_t done = readAsMuchAs(span, start);
    if (done == span.size())
        return;

    // Something failed: go on block by block from the block holding the first byte
    // not read. `start` is block-aligned, so whole pieces are whole device blocks and
    // exactly the blocks that fail are zeroed and counted.
    for (size_t at = done - done % m_blockSize; at < span.size();) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(m_blockSize, span.size() - at));
        if (readAsMuchAs(span.subspan(at, piece), start + at) != piece) {
            std::fill_n(span.data() + at, piece, uint8_t { 0 });
            if (unreadable)
                unreadable->push_back({ start + at, piece });
            else
                std::atomic_ref(m_badReads).fetch_add(1, std::memory_order_relaxed);
        }
        at += piece;
    }
}

size_t BlockDeviceSource::readAsMuchAs(std::span<uint8_t> piece, uint64_t start)
{
    size_t done = 0;
    while (done < piece.size()) {
        ssize_t got = m_calls->pread(m_fd.get(), piece.data() + done, piece.size() - done, static_cast<off_t>(start + done));
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        // An interrupted call says nothing about the block: retry it rather than
        // zero-filling good data.
        if (got < 0 && errno == EINTR)
            continue;
        break; // an error, or the device ended early
    }
    return done;
}

}
