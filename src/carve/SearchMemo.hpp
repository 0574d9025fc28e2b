#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace brightfold {

/// What the searches of one scan learnt about where a set of patterns occurs in
/// the source: ranges of positions known to start no occurrence, each possibly
/// closed by the occurrence its search stopped at. A search that starts inside
/// such a range goes on past it without reading it again, and one that reaches a
/// known occurrence returns it at once. So the walks of a run of junk headers of
/// one format, each searching forward for the same end marker, read the bytes
/// between them and that marker once.
///
/// The source's bytes do not change during a scan; that is all this relies on.
class SearchMemo {
public:
    struct Occurrence {
        uint64_t offset;
        size_t patternIndex; ///< which of the patterns starts there
        bool operator==(const Occurrence&) const = default;
    };

    /// What is known from `from` on: no occurrence starts in [from, clearUntil),
    /// and `next`, when known, is the one at clearUntil. clearUntil == from when
    /// nothing is known about `from` itself.
    struct Known {
        uint64_t clearUntil;
        std::optional<Occurrence> next;
    };

    /// A memo key naming a list of patterns (their order matters: it decides
    /// patternIndex).
    static std::string keyOf(std::span<const std::span<const uint8_t>> patterns);

    Known known(const std::string& key, uint64_t from) const;
    /// Where the next range known for `key` begins after `from`, or UINT64_MAX:
    /// a search from `from` need not look further before asking again.
    uint64_t nextKnownStart(const std::string& key, uint64_t from) const;
    /// Learns that no occurrence starts in [from, to), and that `found` (which
    /// starts at `to`) does when the search stopped at one.
    void learn(const std::string& key, uint64_t from, uint64_t to, std::optional<Occurrence> found);
    /// Forgets every range that ends before `offset` (no search starts there any more).
    void forgetBefore(uint64_t offset);

private:
    struct Range {
        uint64_t to;                     ///< positions [from, to) start no occurrence
        std::optional<Occurrence> found; ///< and this one starts at `to`
        uint64_t end() const { return to + (found ? 1 : 0); }
    };
    using Ranges = std::map<uint64_t, Range>; ///< by `from`; disjoint

    /// The range holding `offset`, if any.
    static const Range* rangeHolding(const Ranges& ranges, uint64_t offset, uint64_t* from);

    std::map<std::string, Ranges, std::less<>> m_ranges;
};

}
