#include "carve/ReadContext.hpp"

#include "carve/ChunkReader.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BRIGHTFOLD_WIDE_FILTER 1
#endif

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
    if (m_chunks) {
        if (auto held = m_chunks->bytes(offset, clipped))
            return std::move(*held);
    }
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
    if (m_chunks) {
        if (auto held = m_chunks->bytes(offset, count)) {
            m_heldPiece = std::move(*held);
            return m_heldPiece.span();
        }
    }
    m_scratch.resize(count);
    return std::span<const uint8_t>(m_scratch.data(), m_source->readInto(offset, m_scratch));
}

namespace {

constexpr size_t kMostFilteredPatterns = 4; // searched for with the block filter below; more go byte by byte

/// The earliest listed of `patterns` that lies wholly inside `bytes` at `at`.
std::optional<size_t> patternAt(std::span<const uint8_t> bytes, size_t at, std::span<const std::span<const uint8_t>> patterns)
{
    for (size_t index = 0; index < patterns.size(); ++index) {
        const auto& pattern = patterns[index];
        if (pattern.size() <= bytes.size() - at && bytes[at] == pattern.front()
            && std::memcmp(bytes.data() + at, pattern.data(), pattern.size()) == 0)
            return index;
    }
    return std::nullopt;
}

#if defined(BRIGHTFOLD_WIDE_FILTER)
/// The block filter of firstIn() thirty-two starts at a time, for processors with
/// AVX2: the starts below `blockedStarts` (a multiple of 32) are looked at. Gives
/// the first hit, or where it stopped.
[[gnu::target("avx2")]] std::pair<size_t, std::optional<std::pair<size_t, size_t>>> firstInWide(std::span<const uint8_t> bytes,
    size_t blockedStarts, std::span<const std::span<const uint8_t>> patterns)
{
    constexpr size_t kBlock = sizeof(__m256i);
    __m256i firsts[kMostFilteredPatterns], lasts[kMostFilteredPatterns];
    for (size_t index = 0; index < patterns.size(); ++index) {
        firsts[index] = _mm256_set1_epi8(static_cast<char>(patterns[index].front()));
        lasts[index] = _mm256_set1_epi8(static_cast<char>(patterns[index].back()));
    }
    size_t at = 0;
    for (; at < blockedStarts; at += kBlock) {
        __m256i kept = _mm256_setzero_si256();
        for (size_t index = 0; index < patterns.size(); ++index) {
            const auto* firstBytes = reinterpret_cast<const __m256i*>(bytes.data() + at);
            const auto* lastBytes = reinterpret_cast<const __m256i*>(bytes.data() + at + patterns[index].size() - 1);
            kept = _mm256_or_si256(kept, _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(firstBytes), firsts[index]),
                                             _mm256_cmpeq_epi8(_mm256_loadu_si256(lastBytes), lasts[index])));
        }
        for (auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(kept)); mask != 0; mask &= mask - 1) {
            const size_t start = at + static_cast<size_t>(__builtin_ctz(mask));
            if (auto index = patternAt(bytes, start, patterns))
                return { start, std::pair(start, *index) };
        }
    }
    return { at, std::nullopt };
}
#endif

/// The first index below `starts` in `bytes` where one of `patterns` lies wholly
/// inside `bytes`, and which pattern (the earliest listed when several do). Sixteen
/// (or thirty-two) starts at a time are kept only where a pattern's first and last
/// bytes both match, so the bytes are compared one by one only about once in
/// 65,536 starts.
std::optional<std::pair<size_t, size_t>> firstIn(std::span<const uint8_t> bytes, size_t starts, std::span<const std::span<const uint8_t>> patterns)
{
    size_t at = 0;
#if defined(__SSE2__)
    size_t longest = 0;
    for (const auto& pattern : patterns)
        longest = std::max(longest, pattern.size());
    constexpr size_t kBlock = sizeof(__m128i);
    if (patterns.size() <= kMostFilteredPatterns && bytes.size() >= longest - 1 + kBlock) {
#if defined(BRIGHTFOLD_WIDE_FILTER)
        static const bool wide = __builtin_cpu_supports("avx2");
        if (wide && bytes.size() >= longest - 1 + 2 * kBlock) {
            const size_t wideStarts = std::min(starts, bytes.size() - (longest - 1)) / (2 * kBlock) * (2 * kBlock);
            auto [stopped, hit] = firstInWide(bytes, wideStarts, patterns);
            if (hit)
                return hit;
            at = stopped;
        }
#endif
        __m128i firsts[kMostFilteredPatterns], lasts[kMostFilteredPatterns];
        for (size_t index = 0; index < patterns.size(); ++index) {
            firsts[index] = _mm_set1_epi8(static_cast<char>(patterns[index].front()));
            lasts[index] = _mm_set1_epi8(static_cast<char>(patterns[index].back()));
        }
        // Blocks whose every start, and every pattern's last byte from there, lie inside the bytes.
        const size_t blockedStarts = std::min(starts, bytes.size() - (longest - 1)) / kBlock * kBlock;
        for (; at < blockedStarts; at += kBlock) {
            __m128i kept = _mm_setzero_si128();
            for (size_t index = 0; index < patterns.size(); ++index) {
                const auto* firstBytes = reinterpret_cast<const __m128i*>(bytes.data() + at);
                const auto* lastBytes = reinterpret_cast<const __m128i*>(bytes.data() + at + patterns[index].size() - 1);
                kept = _mm_or_si128(kept, _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(firstBytes), firsts[index]),
                                              _mm_cmpeq_epi8(_mm_loadu_si128(lastBytes), lasts[index])));
            }
            for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(kept)); mask != 0; mask &= mask - 1) {
                const size_t start = at + static_cast<size_t>(__builtin_ctz(mask));
                if (auto index = patternAt(bytes, start, patterns))
                    return std::pair(start, *index);
            }
        }
    }
#endif
    for (; at < starts; ++at) {
        if (auto index = patternAt(bytes, at, patterns))
            return std::pair(at, *index);
    }
    return std::nullopt;
}

}

ReadContext::Scanned ReadContext::scan(std::span<const std::span<const uint8_t>> patterns, uint64_t from, uint64_t bound, uint64_t step, Grid grid)
{
    size_t longest = 0;
    for (const auto& pattern : patterns)
        longest = std::max(longest, pattern.size());
    const uint64_t total = size();
    for (uint64_t pos = from;;) {
        // Starts at or past the bound are not asked about: their bytes are not read.
        uint64_t decides = std::min(step, bound - pos);
        if (m_chunks && pos < m_chunks->heldStart()) {
            // A search going on from behind the chunks held (a candidate carved again):
            // a short piece up to them, read from the source, then pieces they hold.
            decides = std::min(decides, m_chunks->heldStart() - pos);
        } else if (m_chunks) {
            // A piece across two chunks would be a copy: the starts whose patterns end
            // before the boundary are decided by a piece inside the first chunk, those
            // whose patterns would cross it by a short piece around it.
            const uint64_t boundary = (pos / m_chunks->chunkSize() + 1) * m_chunks->chunkSize();
            if (pos + decides + (longest - 1) > boundary)
                decides = std::min(decides, boundary - pos >= longest ? boundary - pos - (longest - 1) : boundary - pos);
        }
        uint64_t wanted = std::min<uint64_t>(total - pos, decides + longest - 1);
        if (m_searchesWait && m_chunks && pos + wanted > m_chunks->readEnd()) {
            // Up to the end of the chunks read, then wait for the scan to read on.
            const uint64_t readEnd = m_chunks->readEnd();
            if (readEnd < pos + longest)
                return { std::nullopt, pos, pos + wanted };
            decides = readEnd - pos - (longest - 1);
            wanted = readEnd - pos;
        }
        auto bytes = piece(pos, wanted);
        // Starts in [pos, pos + decides) are decided by this piece; later ones only
        // when it reaches the end of what can be read.
        const bool sourceEnded = pos + bytes.size() == total;
        const bool lastPiece = bytes.size() < wanted || sourceEnded;
        const uint64_t searchedEnd = std::min(pos + (lastPiece ? bytes.size() : decides), bound);
        if (grid.spacing == 1) {
            if (auto hit = firstIn(bytes, static_cast<size_t>(searchedEnd - pos), patterns))
                return { Occurrence { pos + hit->first, hit->second }, pos + hit->first };
        } else {
            for (uint64_t at = pos + (grid.phase + grid.spacing - pos % grid.spacing) % grid.spacing; at < searchedEnd; at += grid.spacing) {
                if (auto index = patternAt(bytes, static_cast<size_t>(at - pos), patterns))
                    return { Occurrence { at, *index }, at };
            }
        }
        if (lastPiece && !sourceEnded) {
            // The source stopped delivering: a pattern that would run past what came
            // back is undecided, not absent.
            return { std::nullopt, std::min(searchedEnd, pos + bytes.size() - std::min<uint64_t>(bytes.size(), longest - 1)) };
        }
        if (lastPiece || searchedEnd >= bound)
            return { std::nullopt, searchedEnd };
        pos += decides;
    }
}

std::optional<ReadContext::Occurrence> ReadContext::firstOccurrence(std::span<const std::span<const uint8_t>> patterns, uint64_t from,
    uint64_t limit, int64_t chunk, uint64_t spacing)
{
    if (patterns.empty() || std::any_of(patterns.begin(), patterns.end(), [](const auto& pattern) { return pattern.empty(); }))
        return std::nullopt;
    const uint64_t total = size();
    if (from >= total)
        return std::nullopt;
    const uint64_t searchEnd = clippedEnd(from, limit, total);
    if (from >= searchEnd || chunk <= 0)
        return std::nullopt;
    if (spacing == 0)
        return std::nullopt;
    const Grid grid { spacing, from % spacing };
    std::string key = SearchMemo::keyOf(patterns);
    if (spacing > 1) {
        // Another question than the search of every position: a memo of its own.
        key += '@' + std::to_string(grid.spacing) + '+' + std::to_string(grid.phase);
    }
    for (uint64_t pos = from; pos < searchEnd;) {
        SearchMemo::Known known = m_searches.known(key, pos);
        if (known.next)
            return known.next->offset < searchEnd ? known.next : std::nullopt;
        pos = known.clearUntil;
        if (pos >= searchEnd)
            break;
        // Up to where the memo knows more, so the bytes it covers are not read again.
        const uint64_t bound = std::min(searchEnd, m_searches.nextKnownStart(key, pos));
        Scanned scanned = scan(patterns, pos, bound, static_cast<uint64_t>(chunk), grid);
        m_searches.learn(key, pos, scanned.clearUntil, scanned.found);
        if (scanned.waitUntil)
            throw SearchAheadOfScan { *scanned.waitUntil };
        if (scanned.found)
            return scanned.found;
        if (scanned.clearUntil < bound)
            break; // the source ended early
        pos = bound;
    }
    return std::nullopt;
}

std::optional<uint64_t> ReadContext::find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk)
{
    const std::span<const uint8_t> patterns[] { pattern };
    auto found = firstOccurrence(patterns, from, limit, chunk);
    return found ? std::optional(found->offset) : std::nullopt;
}

std::optional<uint64_t> ReadContext::findOnGrid(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk, uint64_t spacing)
{
    const std::span<const uint8_t> patterns[] { pattern };
    auto found = firstOccurrence(patterns, from, limit, chunk, spacing);
    return found ? std::optional(found->offset) : std::nullopt;
}

std::optional<ReadContext::Occurrence> ReadContext::findAny(std::span<const std::span<const uint8_t>> patterns, uint64_t from,
    uint64_t limit, int64_t chunk)
{
    return firstOccurrence(patterns, from, limit, chunk);
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
