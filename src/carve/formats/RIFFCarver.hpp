#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Files made of one outer chunk with a declared length: RIFF (WAV, AVI, WebP,
/// little-endian size) and IFF FORM (AIFF, AIFF-C, big-endian size). The outer
/// length is exact only when every chunk inside (LIST sub-chunks too) walks to
/// it; otherwise it is kept as an estimate (and the engine cuts a chunk that runs
/// past the source end there, as heuristic). A form type under the wrong kind of
/// chunk, or without its identifying first chunk (a valid "fmt " or "COMM", the
/// AVI header list, a WebP bitstream), is no match.
class RIFFCarver final : public FormatCarver {
public:
    RIFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
