#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

/// What is known of an area of a source being rescued.
enum class AreaState : uint8_t {
    untried,    ///< not read yet
    skipped,    ///< passed over after a failed read; its edges are looked for later
    unscraped,  ///< between the failing edges of a skipped area: read block by block later
    unreadable, ///< failed every try; delivered as zeros
    read,       ///< read once, successfully
};

/// The word a map file uses for `state` ("untried", "skipped", …).
std::string_view areaStateName(AreaState state);

/// One run of bytes in one state.
struct Area {
    uint64_t start;
    uint64_t length;
    AreaState state;

    uint64_t end() const { return start + length; }
    bool operator==(const Area&) const = default;
};

/// A map file that cannot be used; `what()` is the user-facing text.
class AreaMapError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The state of every byte of a source of `size` bytes, as runs: neighbouring runs
/// in the same state are always joined, so the map stays as small as what is known.
class AreaMap {
public:
    /// The whole source in one state.
    explicit AreaMap(uint64_t size = 0, AreaState initial = AreaState::untried);

    uint64_t size() const { return m_size; }

    /// Puts [start, start + length) in `state`; clipped to the source.
    void mark(uint64_t start, uint64_t length, AreaState state);
    AreaState stateAt(uint64_t offset) const;
    /// The run holding `offset` (offset below size()).
    Area areaAt(uint64_t offset) const;
    /// The first run at or after `from` in `state`, cut to begin no earlier than `from`; none past the end.
    std::optional<Area> next(AreaState state, uint64_t from) const;
    /// The last run in `state` ending at or before `before`, cut to end there.
    std::optional<Area> previous(AreaState state, uint64_t before) const;
    /// Every run, in order; together they cover [0, size()).
    std::vector<Area> areas() const;
    /// Bytes in `state`.
    uint64_t bytesIn(AreaState state) const;
    /// Whether any byte is in `state`.
    bool holds(AreaState state) const;

    /// The map file: comment lines naming the source, then one line per run:
    /// start and length in bytes (decimal), and the state's word.
    std::string text(std::string_view sourceDescription) const;
    /// A map file's runs and the source it names. Throws AreaMapError when a line
    /// does not parse, the runs leave a gap or overlap, or they do not end at `size`.
    struct Parsed;
    static Parsed parse(std::string_view text);

    bool operator==(const AreaMap&) const = default;

private:
    uint64_t m_size;
    std::map<uint64_t, AreaState> m_runs; ///< each run lasts until the next key, the last until m_size
};

struct AreaMap::Parsed {
    AreaMap map;
    std::string source; ///< the source's description as the map names it
};

}
