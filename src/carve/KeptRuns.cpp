#include "carve/KeptRuns.hpp"

#include <algorithm>
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
    for (const auto& [offset, length] : chosen)
        m_runs.push_back({ offset, length, {} });
}

void KeptRuns::keep(uint64_t offset, std::span<const uint8_t> bytes)
{
    const uint64_t end = offset + bytes.size();
    // The first run that ends after `offset`.
    auto run = std::partition_point(m_runs.begin(), m_runs.end(), [&](const Run& kept) { return kept.offset + kept.length <= offset; });
    for (; run != m_runs.end() && run->offset < end; ++run) {
        const uint64_t next = run->offset + run->bytes.size(); // the run's first byte not kept yet
        if (run->bytes.size() == run->length || next < offset || next >= end)
            continue; // whole, or a gap before these bytes
        const uint64_t until = std::min(end, run->offset + run->length);
        if (run->bytes.capacity() < run->length)
            run->bytes.reserve(static_cast<size_t>(run->length));
        run->bytes.insert(run->bytes.end(), bytes.begin() + static_cast<ptrdiff_t>(next - offset), bytes.begin() + static_cast<ptrdiff_t>(until - offset));
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
    if (into > run.bytes.size() || count > run.bytes.size() - into)
        return std::nullopt;
    return std::span<const uint8_t>(run.bytes).subspan(static_cast<size_t>(into), static_cast<size_t>(count));
}

}
