#pragma once

#include "carve/ByteRun.hpp"
#include "carve/SearchMemo.hpp"
#include "device/ByteSource.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brightfold {

class ChunkReader;

/// The order of a multi-byte integer's bytes in a file.
enum class ByteOrder {
    little,
    big,
};

/// The unsigned integer of T's width stored at `at` in `bytes`, in `order`. The
/// caller has checked that its bytes lie inside `bytes`.
template<typename T>
T integerAt(std::span<const uint8_t> bytes, size_t at, ByteOrder order)
{
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        const size_t index = order == ByteOrder::big ? i : sizeof(T) - 1 - i;
        value = static_cast<T>((value << 8) | bytes[at + index]);
    }
    return value;
}

/// Thrown out of a search that may wait for the scan (ReadContext::letSearchesWait)
/// when its next piece lies past the chunks the engine's reader holds or is
/// reading ahead (more would be read on the scanning thread, or read again): the
/// engine carves at the same start again once the scan holds the bytes up to
/// `until`, and the search goes on from where it stopped (its memo kept that).
/// It passes through carvers untouched, like a read error.
struct SearchAheadOfScan {
    uint64_t until;
};

/// The carvers' only view of the source. Reads that lie wholly inside the
/// current window (the engine's chunk) are served from memory without a copy;
/// during a scan, reads past it are served from the chunks the engine's reader
/// holds ahead of it, and only reads beyond those go to the source. Searches
/// remember what they found (SearchMemo), so a range searched once for a set of
/// patterns is not searched again. All positions are absolute offsets. Every
/// read throws exactly what the source throws.
class ReadContext {
public:
    explicit ReadContext(ByteSourcePtr source);

    /// The search step every carver passes to find() (1 MiB).
    static constexpr int64_t kSearchChunk = 0x100000;
    /// How far past the last start it may report a search may read: its last
    /// piece is one step plus the pattern less one byte (patterns of up to 9 bytes).
    static constexpr uint64_t kSearchOverrun = kSearchChunk + 8;

    const ByteSourcePtr& source() const { return m_source; }
    uint64_t size() const { return m_source->size(); }

    uint64_t windowStart() const { return m_windowStart; }
    std::span<const uint8_t> window() const { return m_window; }
    /// Called by the engine when it has read a new chunk; the bytes must stay
    /// alive and unchanged until the next call.
    void setWindow(uint64_t start, std::span<const uint8_t> window)
    {
        m_windowStart = start;
        m_window = window;
    }
    /// Serves reads outside the window from the chunks `chunks` holds, while it
    /// lives (the engine's reader during a run); nullptr reads the source again.
    void readThrough(ChunkReader* chunks) { m_chunks = chunks; }
    /// While set (and reading through the engine's chunks), a search whose next
    /// piece lies past the chunks held or being read ahead throws SearchAheadOfScan
    /// instead of reading the source: those bytes are read once, when the scan
    /// gets there, and on the reader's thread.
    /// The engine sets it for carvers whose answer it can wait for.
    void letSearchesWait(bool wait) { m_searchesWait = wait; }
    /// Drops what searches learnt about ranges before `offset`: the engine calls
    /// it as it moves on, since no walk starts behind its chunk.
    void forgetSearchesBefore(uint64_t offset) { m_searches.forgetBefore(offset); }

    /// The bytes at `offset`, at most `count`, clipped to the source's end;
    /// empty without reading when count < 1 or offset >= size.
    ByteRun bytes(uint64_t offset, int64_t count);
    std::optional<uint8_t> byte(uint64_t offset);

    /// An integer of 2, 4 or 8 bytes at `offset`; no value unless all its bytes
    /// lie inside the source. The order is given where the file itself says it
    /// (TIFF's "II"/"MM"); formats with a fixed order use the named reads below.
    std::optional<uint16_t> u16(uint64_t offset, ByteOrder order) { return integer<uint16_t>(offset, order); }
    std::optional<uint32_t> u32(uint64_t offset, ByteOrder order) { return integer<uint32_t>(offset, order); }
    std::optional<uint64_t> u64(uint64_t offset, ByteOrder order) { return integer<uint64_t>(offset, order); }
    std::optional<uint16_t> u16le(uint64_t offset) { return integer<uint16_t>(offset, ByteOrder::little); }
    std::optional<uint16_t> u16be(uint64_t offset) { return integer<uint16_t>(offset, ByteOrder::big); }
    std::optional<uint32_t> u32le(uint64_t offset) { return integer<uint32_t>(offset, ByteOrder::little); }
    std::optional<uint32_t> u32be(uint64_t offset) { return integer<uint32_t>(offset, ByteOrder::big); }
    std::optional<uint64_t> u64le(uint64_t offset) { return integer<uint64_t>(offset, ByteOrder::little); }
    std::optional<uint64_t> u64be(uint64_t offset) { return integer<uint64_t>(offset, ByteOrder::big); }

    /// First occurrence of `pattern` starting in [from, from + limit), reading
    /// `chunk` + pattern length − 1 bytes at a time. No value for an empty
    /// pattern, from >= size, or no hit before the source ends.
    std::optional<uint64_t> find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk);

    /// The first occurrence of `pattern` in [from, from + limit) that starts a
    /// whole number of `spacing` bytes after `from` (a file start on a sector grid,
    /// say): find() looking at those starts alone, reading the same pieces.
    std::optional<uint64_t> findOnGrid(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, int64_t chunk, uint64_t spacing);

    using Occurrence = SearchMemo::Occurrence;
    /// The first position in [from, from + limit) where any of `patterns` starts,
    /// and which one (the earliest in the list when several start there): one
    /// pass where separate find() calls would read the range once per pattern.
    std::optional<Occurrence> findAny(std::span<const std::span<const uint8_t>> patterns, uint64_t from, uint64_t limit, int64_t chunk);

    /// Follows a chain of occurrences: the first one in [from, from + limit),
    /// then each next one starting within `slack` bytes after the end of the
    /// previous; returns the last link.
    std::optional<uint64_t> findLast(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit, uint64_t slack);

private:
    template<typename T>
    std::optional<T> integer(uint64_t offset, ByteOrder order);
    /// The end of [from, from + count) cut at `end` (from <= end), without the
    /// sum wrapping: every range a read or search covers is clipped here.
    static uint64_t clippedEnd(uint64_t from, uint64_t count, uint64_t end) { return count > end - from ? end : from + count; }
    /// The window's bytes [offset, offset + count) when they lie wholly inside it.
    std::optional<std::span<const uint8_t>> fromWindow(uint64_t offset, uint64_t count) const;
    /// A search piece: from the window or the reader's chunks when they hold it,
    /// else read into m_scratch (reused, so a long search allocates once). Valid
    /// until the next call.
    std::span<const uint8_t> piece(uint64_t offset, uint64_t count);

    /// What one pass over [from, bound) found: the first occurrence, or how far
    /// it is known that none starts (short of `bound` when the source ended early).
    struct Scanned {
        std::optional<Occurrence> found;
        uint64_t clearUntil;
        /// Set when the search stopped at clearUntil to wait for the scan to hold
        /// the bytes up to here.
        std::optional<uint64_t> waitUntil {};
    };
    /// Where a search looks: every `spacing`-th position, those whose remainder
    /// by `spacing` is `phase`.
    struct Grid {
        uint64_t spacing;
        uint64_t phase;
    };
    /// The first occurrence of any of `patterns` starting on the grid in
    /// [from, bound), reading `step` + longest − 1 bytes at a time.
    Scanned scan(std::span<const std::span<const uint8_t>> patterns, uint64_t from, uint64_t bound, uint64_t step, Grid grid);
    /// find(), findAny() and findOnGrid(): the memo's answer where it has one, scan() elsewhere.
    std::optional<Occurrence> firstOccurrence(std::span<const std::span<const uint8_t>> patterns, uint64_t from, uint64_t limit, int64_t chunk, uint64_t spacing = 1);

    ByteSourcePtr m_source;
    uint64_t m_windowStart { 0 };
    std::span<const uint8_t> m_window;
    ChunkReader* m_chunks { nullptr };
    bool m_searchesWait { false };
    SearchMemo m_searches;
    std::vector<uint8_t> m_scratch;
    ByteRun m_heldPiece; ///< a search piece the chunks hold across a chunk boundary
};

}
