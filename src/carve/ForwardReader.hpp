#pragma once

#include "carve/ReadContext.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

namespace brightfold {

/// Reads a walk over a dense chain of small structures (packets, frames, pages)
/// ahead in pieces, so the chain costs one source read per piece rather than one
/// per header. Never reads at or past `limit` (the walk's window, clamped to the
/// source); bytes inside the read context's window are not copied.
class ForwardReader {
public:
    static constexpr uint64_t kPieceBytes = 0x100000; // 1 MiB

    ForwardReader(ReadContext& context, uint64_t limit)
        : m_context(context)
        , m_limit(std::min(limit, context.size()))
    {
    }

    uint64_t limit() const { return m_limit; }

    /// The bytes [at, at + count) for count <= kPieceBytes; fewer (or none) where
    /// the limit comes first. Valid until the next call.
    std::span<const uint8_t> bytes(uint64_t at, uint64_t count)
    {
        if (at >= m_limit || count == 0)
            return {};
        count = std::min({ count, kPieceBytes, m_limit - at });
        const uint64_t pieceEnd = m_pieceStart + m_piece.size();
        if (at < m_pieceStart || at >= pieceEnd || count > pieceEnd - at) {
            m_piece = m_context.bytes(at, static_cast<int64_t>(std::min(kPieceBytes, m_limit - at)));
            m_pieceStart = at;
        }
        const std::span<const uint8_t> piece = m_piece.span();
        const uint64_t offset = at - m_pieceStart;
        if (offset >= piece.size())
            return {};
        return piece.subspan(offset, std::min<uint64_t>(count, piece.size() - offset));
    }

private:
    ReadContext& m_context;
    uint64_t m_limit;
    uint64_t m_pieceStart { 0 };
    ByteRun m_piece;
};

}
