#include "carve/ReadContext.hpp"

#include <algorithm>
#include <array>
#include <cstring>

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
    const uint64_t clipped = clippedEnd(offset, static_cast<uint64_t>(count), total) - offset;
    if (auto inWindow = fromWindow(offset, clipped))
        return ByteRun::viewOf(*inWindow);
    return ByteRun::owning(m_source->read(offset, static_cast<int64_t>(clipped)));
}

std::optional<std::span<const uint8_t>> ReadContext::fromWindow(uint64_t offset, uint64_t count) const
{
    if (offset < m_windowStart || offset - m_windowStart > m_window.size() || count > m_window.size() - (offset - m_windowStart))
        return std::nullopt;
    return m_window.subspan(offset - m_windowStart, count);
}

template<typename T>
std::optional<T> ReadContext::integer(uint64_t offset, ByteOrder order)
{
    ByteRun run = bytes(offset, sizeof(T));
    if (run.size() != sizeof(T))
        return std::nullopt;
    return integerAt<T>(run.span(), 0, order);
}

std::optional<uint8_t> ReadContext::byte(uint64_t offset)
{
    ByteRun run = bytes(offset, 1);
    if (run.empty())
        return std::nullopt;
    return run[0];
}

template std::optional<uint16_t> ReadContext::integer<uint16_t>(uint64_t, ByteOrder);
template std::optional<uint32_t> ReadContext::integer<uint32_t>(uint64_t, ByteOrder);
template std::optional<uint64_t> ReadContext::integer<uint64_t>(uint64_t, ByteOrder);

std::span<const uint8_t> ReadContext::piece(uint64_t offset, uint64_t count)
{
    if (auto inWindow = fromWindow(offset, count))
        return *inWindow;
    m_scratch.resize(count);
    return std::span<const uint8_t>(m_scratch.data(), m_source->readInto(offset, m_scratch));
}

std::optional<uint64_t> ReadContext::find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk)
{
    if (pattern.empty())
        return std::nullopt;
    uint64_t total = size();
    if (from >= total)
        return std::nullopt;
    const uint64_t searchEnd = clippedEnd(from, limit, total);
    if (from >= searchEnd || chunk <= 0)
        return std::nullopt;
    uint64_t step = static_cast<uint64_t>(chunk);
    uint64_t m = pattern.size();
    for (uint64_t pos = from;;) {
        uint64_t wanted = std::min<uint64_t>(total - pos, step + m - 1);
        auto bytes = piece(pos, wanted);
        if (bytes.size() < m)
            return std::nullopt;
        size_t hit = findBytes(bytes, pattern);
        if (hit < bytes.size()) {
            uint64_t found = pos + hit;
            return found < searchEnd ? std::optional<uint64_t>(found) : std::nullopt;
        }
        if (bytes.size() < wanted)
            return std::nullopt; // the source ended early
        if (step >= searchEnd - pos)
            return std::nullopt;
        pos += step;
    }
}

std::optional<ReadContext::Occurrence> ReadContext::findAny(std::span<const std::span<const uint8_t>> patterns, uint64_t from,
    uint64_t limit, int64_t chunk)
{
    size_t longest = 0;
    for (const auto& pattern : patterns) {
        if (pattern.empty())
            return std::nullopt;
        longest = std::max(longest, pattern.size());
    }
    uint64_t total = size();
    if (longest == 0 || from >= total)
        return std::nullopt;
    const uint64_t searchEnd = clippedEnd(from, limit, total);
    if (from >= searchEnd || chunk <= 0)
        return std::nullopt;
    const uint64_t step = static_cast<uint64_t>(chunk);
    const uint8_t sharedFirst = patterns[0][0];
    const bool firstIsShared = std::all_of(patterns.begin(), patterns.end(), [&](const auto& pattern) { return pattern[0] == sharedFirst; });
    for (uint64_t pos = from;;) {
        uint64_t wanted = std::min<uint64_t>(total - pos, step + longest - 1);
        auto bytes = piece(pos, wanted);
        // Starts in [pos, pos + step) are fully decided by this piece; later ones
        // only when the piece reaches the end of what can be read.
        bool lastPiece = bytes.size() < wanted || pos + bytes.size() == total;
        size_t decided = lastPiece ? bytes.size() : static_cast<size_t>(step);
        for (size_t at = 0; at < decided; ++at) {
            if (firstIsShared) {
                auto* hit = static_cast<const uint8_t*>(std::memchr(bytes.data() + at, sharedFirst, decided - at));
                if (!hit)
                    break;
                at = static_cast<size_t>(hit - bytes.data());
            }
            for (size_t index = 0; index < patterns.size(); ++index) {
                const auto& pattern = patterns[index];
                if (pattern.size() <= bytes.size() - at && std::memcmp(bytes.data() + at, pattern.data(), pattern.size()) == 0) {
                    if (pos + at >= searchEnd)
                        return std::nullopt;
                    return Occurrence { pos + at, index };
                }
            }
        }
        if (lastPiece || step >= searchEnd - pos)
            return std::nullopt;
        pos += step;
    }
}

std::optional<uint64_t> ReadContext::findLast(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, uint64_t slack)
{
    uint64_t total = size();
    if (pattern.empty() || from >= total)
        return std::nullopt;
    const uint64_t overallEnd = clippedEnd(from, limit, total);
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
        segmentEnd = clippedEnd(segmentStart, slack, overallEnd);
    }
    return result;
}

}
