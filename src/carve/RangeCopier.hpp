#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace brightfold {

/// Hands a byte range of a source on, one piece at a time.
class RangeCopier {
public:
    RangeCopier() = delete;

    /// Largest piece held in memory at once (4 MiB).
    static constexpr uint64_t kPieceSize = 4 * 1024 * 1024;

    /// Gives the bytes at an offset, at most `count` of them; the span stays valid
    /// until the next call. An empty span means the source has nothing more.
    using PieceReader = std::function<std::span<const uint8_t>(uint64_t offset, uint64_t count)>;

    /// Takes each piece as it was read, with its offset.
    using PieceWriter = std::function<void(uint64_t offset, std::span<const uint8_t> piece)>;

    /// Hands the range [start, start + length) from `read` to `write` piece by
    /// piece; a piece that comes back empty ends the copy early. Throws whatever
    /// either throws. Returns the number of bytes handed over.
    static uint64_t copy(uint64_t start, uint64_t length, const PieceReader& read, const PieceWriter& write);
};

}
