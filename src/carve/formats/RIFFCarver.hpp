#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Files made of one outer chunk with a declared length: RIFF (WAV, AVI, WebP,
/// little-endian size) and IFF FORM (AIFF, AIFF-C, big-endian size). The outer
/// length is trusted and the inner chunks are not read (the engine cuts a chunk
/// that runs past the source end there, as heuristic). Any other form
/// type, or a form type under the wrong kind of chunk, is no match.
class RIFFCarver final : public FormatCarver {
public:
    RIFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
