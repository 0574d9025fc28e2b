#include "carve/SampleDigests.hpp"

#include <xxhash.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace brightfold {

std::vector<SampleDigests::Range> SampleDigests::ranges(uint64_t length)
{
    std::vector<Range> ranges;
    if (length <= kSampleBytes)
        return ranges;
    ranges.reserve(static_cast<size_t>(length / kStep) + 1);
    for (uint64_t at = kStep; at < length; at += kStep)
        ranges.push_back({ at, std::min(kSampleBytes, length - at) });
    ranges.push_back({ length - kSampleBytes, kSampleBytes });
    return ranges;
}

std::string SampleDigests::digestOf(std::span<const uint8_t> bytes)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, static_cast<uint64_t>(XXH3_64bits(bytes.data(), bytes.size())));
    return text;
}

SampleDigests::SampleDigests(uint64_t length)
    : m_ranges(ranges(length))
    , m_partial(m_ranges.size())
    , m_digests(m_ranges.size())
{
}

void SampleDigests::add(uint64_t offset, std::span<const uint8_t> bytes)
{
    const uint64_t end = offset + bytes.size();
    for (size_t i = m_firstOpen; i < m_ranges.size() && m_ranges[i].offset < end; ++i) {
        const Range& range = m_ranges[i];
        uint64_t from = std::max(range.offset, offset);
        uint64_t to = std::min(range.offset + range.count, end);
        if (from >= to || !m_digests[i].empty())
            continue;
        auto piece = bytes.subspan(static_cast<size_t>(from - offset), static_cast<size_t>(to - from));
        std::vector<uint8_t>& partial = m_partial[i];
        if (partial.empty() && piece.size() == range.count) {
            m_digests[i] = digestOf(piece); // the usual case: the whole sample inside one piece
            continue;
        }
        partial.insert(partial.end(), piece.begin(), piece.end());
        if (partial.size() == range.count) {
            m_digests[i] = digestOf(partial);
            std::vector<uint8_t>().swap(partial);
        }
    }
    while (m_firstOpen < m_ranges.size() && !m_digests[m_firstOpen].empty())
        ++m_firstOpen;
}

std::vector<std::string> SampleDigests::digests() const
{
    std::vector<std::string> digests = m_digests;
    for (size_t i = 0; i < digests.size(); ++i) {
        if (digests[i].empty())
            digests[i] = digestOf(m_partial[i]);
    }
    return digests;
}

}
