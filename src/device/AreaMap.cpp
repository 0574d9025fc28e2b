#include "device/AreaMap.hpp"

#include <charconv>
#include <iterator>

namespace brightfold {

namespace {

constexpr AreaState kAllStates[] = { AreaState::untried, AreaState::skipped, AreaState::unscraped, AreaState::unreadable, AreaState::read };

constexpr std::string_view kTitle = "# Brightfold Recover image map: start and length in bytes, then the state of each area";
constexpr std::string_view kSourceKey = "# source: ";
constexpr std::string_view kSizeKey = "# size: ";

std::optional<uint64_t> parseNumber(std::string_view text)
{
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::optional<AreaState> parseState(std::string_view word)
{
    for (AreaState state : kAllStates) {
        if (areaStateName(state) == word)
            return state;
    }
    return std::nullopt;
}

/// The words of a line, split at single spaces.
std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    while (!line.empty()) {
        size_t space = line.find(' ');
        result.push_back(line.substr(0, space));
        line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    return result;
}

}

std::string_view areaStateName(AreaState state)
{
    switch (state) {
    case AreaState::untried:
        return "untried";
    case AreaState::skipped:
        return "skipped";
    case AreaState::unscraped:
        return "unscraped";
    case AreaState::unreadable:
        return "unreadable";
    case AreaState::read:
        return "read";
    }
    return "untried";
}

AreaMap::AreaMap(uint64_t size, AreaState initial)
    : m_size(size)
{
    if (size > 0)
        m_runs.emplace(0, initial);
}

void AreaMap::mark(uint64_t start, uint64_t length, AreaState state)
{
    if (start >= m_size || length == 0)
        return;
    const uint64_t end = length > m_size - start ? m_size : start + length;
    // The state that resumes at `end`, before the runs inside are dropped.
    const AreaState after = stateAt(end == m_size ? start : end);
    auto first = m_runs.lower_bound(start);
    auto last = m_runs.lower_bound(end);
    const bool runAtEnd = last != m_runs.end() && last->first == end;
    m_runs.erase(first, last);
    m_runs[start] = state;
    if (end < m_size && !runAtEnd)
        m_runs[end] = after;
    // Join with the neighbours in the same state.
    auto here = m_runs.find(start);
    if (auto next = std::next(here); next != m_runs.end() && next->second == state)
        m_runs.erase(next);
    if (here != m_runs.begin() && std::prev(here)->second == state)
        m_runs.erase(here);
}

AreaState AreaMap::stateAt(uint64_t offset) const
{
    auto run = m_runs.upper_bound(offset);
    return run == m_runs.begin() ? AreaState::untried : std::prev(run)->second;
}

Area AreaMap::areaAt(uint64_t offset) const
{
    auto after = m_runs.upper_bound(offset);
    auto run = std::prev(after);
    const uint64_t end = after == m_runs.end() ? m_size : after->first;
    return { run->first, end - run->first, run->second };
}

std::optional<Area> AreaMap::next(AreaState state, uint64_t from) const
{
    if (from >= m_size)
        return std::nullopt;
    for (auto run = std::prev(m_runs.upper_bound(from)); run != m_runs.end(); ++run) {
        if (run->second != state)
            continue;
        const uint64_t start = std::max(run->first, from);
        const uint64_t end = std::next(run) == m_runs.end() ? m_size : std::next(run)->first;
        return Area { start, end - start, state };
    }
    return std::nullopt;
}

std::optional<Area> AreaMap::previous(AreaState state, uint64_t before) const
{
    if (m_runs.empty() || before == 0)
        return std::nullopt;
    for (auto after = m_runs.lower_bound(std::min(before, m_size)); after != m_runs.begin(); --after) {
        auto run = std::prev(after);
        if (run->second != state)
            continue;
        const uint64_t end = std::min(before, after == m_runs.end() ? m_size : after->first);
        return Area { run->first, end - run->first, state };
    }
    return std::nullopt;
}

std::vector<Area> AreaMap::areas() const
{
    std::vector<Area> result;
    for (auto run = m_runs.begin(); run != m_runs.end(); ++run) {
        const uint64_t end = std::next(run) == m_runs.end() ? m_size : std::next(run)->first;
        result.push_back({ run->first, end - run->first, run->second });
    }
    return result;
}

uint64_t AreaMap::bytesIn(AreaState state) const
{
    uint64_t bytes = 0;
    for (const Area& area : areas())
        bytes += area.state == state ? area.length : 0;
    return bytes;
}

bool AreaMap::holds(AreaState state) const
{
    for (const auto& [start, runState] : m_runs) {
        if (runState == state)
            return true;
    }
    return false;
}

std::string AreaMap::text(std::string_view sourceDescription) const
{
    std::string text;
    text.append(kTitle).append("\n");
    text.append(kSourceKey).append(sourceDescription).append("\n");
    text.append(kSizeKey).append(std::to_string(m_size)).append("\n");
    for (const Area& area : areas())
        text.append(std::to_string(area.start)).append(" ").append(std::to_string(area.length)).append(" ").append(areaStateName(area.state)).append("\n");
    return text;
}

AreaMap::Parsed AreaMap::parse(std::string_view text)
{
    Parsed parsed;
    std::optional<uint64_t> size;
    bool named = false;
    std::vector<Area> runs;
    int lineNumber = 0;
    while (!text.empty()) {
        size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        ++lineNumber;
        auto broken = [&](const std::string& why) {
            return AreaMapError("The map file is damaged (line " + std::to_string(lineNumber) + ": " + why + ").");
        };
        if (line.starts_with(kSourceKey)) {
            parsed.source = std::string(line.substr(kSourceKey.size()));
            named = true;
            continue;
        }
        if (line.starts_with(kSizeKey)) {
            size = parseNumber(line.substr(kSizeKey.size()));
            if (!size)
                throw broken("the size is not a number");
            continue;
        }
        if (line.starts_with("#") || line.empty())
            continue;
        auto fields = words(line);
        if (fields.size() != 3)
            throw broken("expected a start, a length and a state");
        auto start = parseNumber(fields[0]);
        auto length = parseNumber(fields[1]);
        auto state = parseState(fields[2]);
        if (!start || !length || *length == 0)
            throw broken("the start or length is not a number above 0");
        if (!state)
            throw broken("unknown state \"" + std::string(fields[2]) + "\"");
        const uint64_t expected = runs.empty() ? 0 : runs.back().end();
        if (*start != expected)
            throw broken(*start < expected ? "areas overlap" : "areas leave a gap");
        if (*length > UINT64_MAX - *start)
            throw broken("the area runs past the largest offset");
        runs.push_back({ *start, *length, *state });
    }
    if (!named || !size)
        throw AreaMapError("The map file is damaged (it does not name its source and size).");
    const uint64_t covered = runs.empty() ? 0 : runs.back().end();
    if (covered != *size)
        throw AreaMapError("The map file is damaged (its areas cover " + std::to_string(covered) + " of " + std::to_string(*size) + " bytes).");
    parsed.map = AreaMap(*size);
    for (const Area& run : runs)
        parsed.map.mark(run.start, run.length, run.state);
    return parsed;
}

}
