#include "carve/SearchMemo.hpp"

#include <iterator>

namespace brightfold {

namespace {

constexpr size_t kMostRangesPerKey = 4096; // beyond this the lowest ranges are forgotten

}

std::string SearchMemo::keyOf(std::span<const std::span<const uint8_t>> patterns)
{
    std::string key;
    for (const auto& pattern : patterns) {
        // Each pattern's length, then its bytes: no two lists share a key.
        const uint64_t length = pattern.size();
        key.append(reinterpret_cast<const char*>(&length), sizeof(length));
        key.append(reinterpret_cast<const char*>(pattern.data()), pattern.size());
    }
    return key;
}

const SearchMemo::Range* SearchMemo::rangeHolding(const Ranges& ranges, uint64_t offset, uint64_t* from)
{
    auto after = ranges.upper_bound(offset);
    if (after == ranges.begin())
        return nullptr;
    auto holding = std::prev(after);
    if (offset >= holding->second.end())
        return nullptr;
    *from = holding->first;
    return &holding->second;
}

SearchMemo::Known SearchMemo::known(const std::string& key, uint64_t from) const
{
    auto entry = m_ranges.find(key);
    if (entry == m_ranges.end())
        return { from, std::nullopt };
    uint64_t position = from;
    uint64_t rangeFrom = 0;
    while (const Range* range = rangeHolding(entry->second, position, &rangeFrom)) {
        if (range->found)
            return { range->to, range->found };
        if (range->to == position)
            break; // an empty range: nothing more is known
        position = range->to;
    }
    return { position, std::nullopt };
}

uint64_t SearchMemo::nextKnownStart(const std::string& key, uint64_t from) const
{
    auto entry = m_ranges.find(key);
    if (entry == m_ranges.end())
        return UINT64_MAX;
    auto next = entry->second.upper_bound(from);
    return next == entry->second.end() ? UINT64_MAX : next->first;
}

void SearchMemo::learn(const std::string& key, uint64_t from, uint64_t to, std::optional<Occurrence> found)
{
    if (to < from || (to == from && !found))
        return;
    Ranges& ranges = m_ranges[key];
    // Every range holds only true facts about the same bytes, so ranges that
    // overlap or touch are joined: the clear part is their union, closed by the
    // occurrence of the one that reaches furthest.
    Range joined { to, found };
    auto absorb = [&](const Range& other) {
        if (other.to > joined.to || (other.to == joined.to && other.found))
            joined = other;
    };
    auto after = ranges.upper_bound(from);
    if (after != ranges.begin()) {
        auto before = std::prev(after);
        if (before->second.end() > from || (before->second.to == from && !before->second.found)) {
            from = before->first;
            absorb(before->second);
            ranges.erase(before);
        }
    }
    for (auto next = ranges.lower_bound(from); next != ranges.end() && (next->first < joined.end() || (next->first == joined.to && !joined.found));) {
        absorb(next->second);
        next = ranges.erase(next);
    }
    ranges[from] = joined;
    while (ranges.size() > kMostRangesPerKey)
        ranges.erase(ranges.begin());
}

void SearchMemo::forgetBefore(uint64_t offset)
{
    for (auto entry = m_ranges.begin(); entry != m_ranges.end();) {
        Ranges& ranges = entry->second;
        while (!ranges.empty() && ranges.begin()->second.end() <= offset)
            ranges.erase(ranges.begin());
        entry = ranges.empty() ? m_ranges.erase(entry) : std::next(entry);
    }
}

}
