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

bool isUnread(AreaState state)
{
    return state == AreaState::skipped || state == AreaState::unscraped || state == AreaState::unreadable;
}

}

BlockDeviceSource::BlockDeviceSource(UniqueFd fd, std::string path, std::shared_ptr<DeviceCalls> calls)
    : m_fd(std::move(fd))
    , m_path(std::move(path))
    , m_calls(std::move(calls))
{
    int blockSize = 0;
    uint64_t bytes = 0;
    struct stat status {};
    if (m_calls->logicalBlockSize(m_fd.get(), blockSize) == 0 && blockSize > 0
        && m_calls->deviceSize(m_fd.get(), bytes) == 0 && bytes / static_cast<uint64_t>(blockSize) > 0
        && bytes / static_cast<uint64_t>(blockSize) <= kLargestSize / static_cast<uint64_t>(blockSize)) {
        m_blockSize = static_cast<uint64_t>(blockSize);
        m_size = bytes / m_blockSize * m_blockSize;
    } else if (m_calls->fstat(m_fd.get(), status) == 0 && status.st_size > 0) {
        m_blockSize = kFallbackBlockSize;
        m_size = static_cast<uint64_t>(status.st_size);
    } else {
        // m_fd closes the descriptor as the exception leaves the constructor.
        throw DeviceError::notAFileOrDevice(m_path);
    }
    m_reader = std::make_unique<RescueReader>(m_fd.get(), m_calls, m_blockSize, AreaMap(m_size));
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
    if (m_firstPass.load(std::memory_order_relaxed)) {
        m_reader->readPassingOver(start, span, false, m_stop);
        return;
    }
    // Healthy path: the whole span in as few calls as the device allows.
    if (!m_troubled.load(std::memory_order_relaxed)) {
        readTrying(span, start, unreadable);
        return;
    }
    // Something is known to fail: what the bad-area passes kept comes from memory,
    // what is known unreadable is zeros at once, the rest is read.
    for (size_t at = 0; at < span.size();) {
        uint64_t nextKept = UINT64_MAX;
        if (size_t kept = copyKept(span.subspan(at), start + at, nextKept); kept > 0) {
            at += kept;
            continue;
        }
        const Area area = m_reader->areaAt(start + at);
        const auto runEnd = static_cast<size_t>(std::min({ uint64_t(span.size()), area.end() - start, nextKept - start }));
        auto run = span.subspan(at, runEnd - at);
        if (isUnread(area.state)) {
            std::ranges::fill(run, uint8_t { 0 });
            countOrList(start + at, run.size(), unreadable);
        } else {
            readTrying(run, start + at, unreadable);
        }
        at = runEnd;
    }
}

void BlockDeviceSource::readTrying(std::span<uint8_t> span, uint64_t start, std::vector<UnreadableRegion>* unreadable)
{
    int error = 0;
    const size_t done = m_reader->readRaw(start, span, error);
    if (done == span.size())
        return;
    m_troubled.store(true, std::memory_order_relaxed);
    m_reader->countFailedRead();

    // Something failed: go on block by block from the block holding the first byte
    // not read. `start` is block-aligned, so whole pieces are whole device blocks and
    // exactly the blocks that fail are zeroed, counted and never read again.
    for (size_t at = done - done % m_blockSize; at < span.size();) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(m_blockSize, span.size() - at));
        if (m_reader->readRaw(start + at, span.subspan(at, piece), error) != piece) {
            m_reader->countFailedRead();
            std::fill_n(span.data() + at, piece, uint8_t { 0 });
            m_reader->mark(start + at, piece, AreaState::unreadable);
            countOrList(start + at, piece, unreadable);
        }
        at += piece;
    }
}

void BlockDeviceSource::countOrList(uint64_t start, uint64_t length, std::vector<UnreadableRegion>* unreadable)
{
    for (uint64_t at = start; at < start + length; at += m_blockSize) {
        if (unreadable)
            unreadable->push_back({ at, std::min(m_blockSize, start + length - at) });
        else
            std::atomic_ref(m_badReads).fetch_add(1, std::memory_order_relaxed);
    }
}

size_t BlockDeviceSource::copyKept(std::span<uint8_t> span, uint64_t start, uint64_t& next) const
{
    std::lock_guard lock(m_keptLock);
    auto after = m_kept.upper_bound(start);
    next = after == m_kept.end() ? UINT64_MAX : after->first;
    if (after == m_kept.begin())
        return 0;
    const auto& [runStart, bytes] = *std::prev(after);
    if (start - runStart >= bytes.size())
        return 0;
    const size_t count = std::min<size_t>(span.size(), bytes.size() - static_cast<size_t>(start - runStart));
    std::memcpy(span.data(), bytes.data() + (start - runStart), count);
    return count;
}

void BlockDeviceSource::avoid(std::span<const UnreadableRegion> areas)
{
    for (const auto& area : areas) {
        if (area.offset >= m_size || area.length == 0)
            continue;
        // Whole blocks: a block partly unreadable is unreadable.
        const uint64_t start = area.offset - area.offset % m_blockSize;
        const uint64_t end = std::min(m_size, area.offset + std::min(area.length, m_size - area.offset));
        const uint64_t alignedEnd = std::min(m_size, end + (m_blockSize - end % m_blockSize) % m_blockSize);
        m_reader->mark(start, alignedEnd - start, AreaState::unreadable);
        m_troubled.store(true, std::memory_order_relaxed);
    }
}

void BlockDeviceSource::beginFirstPass(std::function<bool()> stop)
{
    m_stop = std::move(stop);
    m_troubled.store(true, std::memory_order_relaxed);
    m_firstPass.store(true, std::memory_order_relaxed);
}

BadAreaOutcome BlockDeviceSource::readPassedOver(const RescueLimits& limits, const std::function<void(RescuePass)>& onStep)
{
    m_firstPass.store(false, std::memory_order_relaxed);
    BadAreaOutcome result;
    auto keep = [&](uint64_t offset, std::span<const uint8_t> bytes) {
        {
            std::lock_guard lock(m_keptLock);
            if (bytes.size() <= kRecoveredBytesKept - m_keptBytes) {
                m_kept.emplace(offset, std::vector<uint8_t>(bytes.begin(), bytes.end()));
                m_keptBytes += bytes.size();
            }
        }
        result.recovered.push_back({ offset, bytes.size() });
    };
    result.outcome = m_reader->readBadAreas(keep, limits, onStep);

    // Trimming reads back edges backwards: put the runs in order and join them.
    std::ranges::sort(result.recovered, {}, &UnreadableRegion::offset);
    std::vector<UnreadableRegion> joined;
    for (const auto& run : result.recovered) {
        if (!joined.empty() && joined.back().offset + joined.back().length == run.offset)
            joined.back().length += run.length;
        else
            joined.push_back(run);
    }
    result.recovered = std::move(joined);

    m_unread.clear();
    int64_t blocks = 0;
    for (const Area& area : m_reader->map().areas()) {
        if (!isUnread(area.state))
            continue;
        blocks += static_cast<int64_t>((area.length + m_blockSize - 1) / m_blockSize);
        if (!m_unread.empty() && m_unread.back().offset + m_unread.back().length == area.start)
            m_unread.back().length += area.length;
        else
            m_unread.push_back({ area.start, area.length });
    }
    std::atomic_ref(m_badReads).fetch_add(blocks, std::memory_order_relaxed);
    return result;
}

uint64_t BlockDeviceSource::badAreaBytesLeft() const
{
    AreaMap map = m_reader->map();
    return map.bytesIn(AreaState::skipped) + map.bytesIn(AreaState::unscraped);
}

std::vector<UnreadableRegion> BlockDeviceSource::unreadAreas() const
{
    return m_unread;
}

}
