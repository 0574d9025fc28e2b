#include "carve/ReadContext.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

namespace brightfold {

ReadContext::ReadContext(ByteSourcePtr source)
    : m_source(std::move(source))
{
}

ByteRun ReadContext::bytes(uint64_t offset, int64_t count)
{
    if (count < 1)
        return {};
    uint64_t total = size();
    if (offset >= total)
        return {};
    uint64_t clipped = std::min<uint64_t>(static_cast<uint64_t>(count), total - offset);
    if (offset >= m_windowStart && offset - m_windowStart <= m_window.size()
        && clipped <= m_window.size() - (offset - m_windowStart))
        return ByteRun::viewOf(m_window.subspan(offset - m_windowStart, clipped));
    return ByteRun::owning(m_source->read(offset, static_cast<int64_t>(clipped)));
}

template<typename T>
std::optional<T> ReadContext::integer(uint64_t offset, bool bigEndian)
{
    ByteRun run = bytes(offset, sizeof(T));
    if (run.size() != sizeof(T))
        return std::nullopt;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        size_t index = bigEndian ? i : sizeof(T) - 1 - i;
        value = static_cast<T>((value << 8) | run[index]);
    }
    return value;
}

std::optional<uint8_t> ReadContext::byte(uint64_t offset)
{
    ByteRun run = bytes(offset, 1);
    if (run.empty())
        return std::nullopt;
    return run[0];
}

std::optional<uint16_t> ReadContext::u16(uint64_t offset, bool bigEndian) { return integer<uint16_t>(offset, bigEndian); }
std::optional<uint32_t> ReadContext::u32(uint64_t offset, bool bigEndian) { return integer<uint32_t>(offset, bigEndian); }
std::optional<uint64_t> ReadContext::u64(uint64_t offset, bool bigEndian) { return integer<uint64_t>(offset, bigEndian); }

std::optional<uint64_t> ReadContext::find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk)
{
    if (pattern.empty())
        return std::nullopt;
    uint64_t total = size();
    if (from >= total)
        return std::nullopt;
    uint64_t searchEnd = limit > total - from ? total : from + limit;
    if (from >= searchEnd || chunk <= 0)
        return std::nullopt;
    uint64_t step = static_cast<uint64_t>(chunk);
    uint64_t m = pattern.size();
    std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
    for (uint64_t pos = from;;) {
        uint64_t wanted = std::min<uint64_t>(total - pos, step + m - 1);
        ByteRun piece = bytes(pos, static_cast<int64_t>(wanted));
        if (piece.size() < m)
            return std::nullopt;
        auto hit = std::search(piece.begin(), piece.end(), searcher);
        if (hit != piece.end()) {
            uint64_t found = pos + static_cast<uint64_t>(hit - piece.begin());
            return found < searchEnd ? std::optional<uint64_t>(found) : std::nullopt;
        }
        if (piece.size() < wanted)
            return std::nullopt; // the source ended early
        if (step >= searchEnd - pos)
            return std::nullopt;
        pos += step;
    }
}

std::optional<uint64_t> ReadContext::findLast(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, uint64_t slack)
{
    uint64_t total = size();
    if (pattern.empty() || from >= total)
        return std::nullopt;
    uint64_t overallEnd = limit > total - from ? total : from + limit;
    std::optional<uint64_t> result;
    uint64_t segmentStart = from;
    uint64_t segmentEnd = overallEnd;
    while (segmentStart < segmentEnd) {
        auto hit = find(pattern, segmentStart, segmentEnd - segmentStart, kSearchChunk);
        if (!hit)
            break;
        result = hit;
        if (pattern.size() >= overallEnd - *hit)
            break;
        segmentStart = *hit + pattern.size();
        segmentEnd = slack > overallEnd - segmentStart ? overallEnd : segmentStart + slack;
    }
    return result;
}

}
