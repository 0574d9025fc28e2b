#include "carve/KeptRuns.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace brightfold {

KeptRuns::KeptRuns(std::vector<SourceRun> runs, uint64_t budget)
{
    std::map<uint64_t, uint64_t> chosen; // offset to length, disjoint
    for (const SourceRun& run : runs) {
        if (run.length == 0 || run.length > budget)
            continue;
        // Runs that share bytes (a damaged FAT, or guesses about the same clusters): the first is kept.
        auto after = chosen.lower_bound(run.offset);
        if (after != chosen.end() && after->first - run.offset < run.length)
            continue;
        if (after != chosen.begin() && run.offset - std::prev(after)->first < std::prev(after)->second)
            continue;
        chosen.emplace(run.offset, run.length);
        budget -= run.length;
    }
    for (const auto& [offset, length] : chosen) {
        m_runs.push_back({ offset, length, m_total });
        m_total += length;
    }
    if (m_total > 0)
        m_bytes = HugePageBlock(static_cast<size_t>(m_total));
}

void KeptRuns::prepare(uint64_t from, uint64_t to) const
{
#ifdef MADV_POPULATE_WRITE
    auto first = std::partition_point(m_runs.begin(), m_runs.end(), [&](const Run& kept) { return kept.offset + kept.length <= from; });
    auto last = std::partition_point(first, m_runs.end(), [&](const Run& kept) { return kept.offset < to; });
    if (first == last)
        return;
    const uint64_t begin = first->at + (from > first->offset ? from - first->offset : 0);
    const auto& final = *std::prev(last);
    const uint64_t end = final.at + std::min(final.length, to - final.offset);
    const uint64_t page = 4096;
    const uint64_t alignedBegin = begin / page * page;
    ::madvise(m_bytes.data() + alignedBegin, static_cast<size_t>(end - alignedBegin), MADV_POPULATE_WRITE);
#endif
}

void KeptRuns::keep(uint64_t offset, std::span<const uint8_t> bytes)
{
    const uint64_t end = offset + bytes.size();
    // The first run that ends after `offset`.
    auto run = std::partition_point(m_runs.begin(), m_runs.end(), [&](const Run& kept) { return kept.offset + kept.length <= offset; });
    for (; run != m_runs.end() && run->offset < end; ++run) {
        const uint64_t next = run->offset + run->filled; // the run's first byte not kept yet
        if (run->filled == run->length || next < offset || next >= end)
            continue; // whole, or a gap before these bytes
        const uint64_t until = std::min(end, run->offset + run->length);
        std::memcpy(m_bytes.data() + run->at + run->filled, bytes.data() + (next - offset), static_cast<size_t>(until - next));
        run->filled += until - next;
    }
}

std::optional<std::span<const uint8_t>> KeptRuns::find(uint64_t offset, uint64_t count) const
{
    // The last run that starts at or before `offset`.
    auto after = std::partition_point(m_runs.begin(), m_runs.end(), [&](const Run& kept) { return kept.offset <= offset; });
    if (after == m_runs.begin())
        return std::nullopt;
    const Run& run = *std::prev(after);
    const uint64_t into = offset - run.offset;
    if (into > run.filled || count > run.filled - into)
        return std::nullopt;
    return std::span<const uint8_t>(m_bytes.data() + run.at + into, static_cast<size_t>(count));
}

}
