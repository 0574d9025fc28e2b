#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// PNG images: walks the chunk chain from IHDR to IEND, reading only the 8-byte
/// chunk headers. Reports an exact length or nothing: a chain that is cut off,
/// malformed, or longer than the walk window is no match.
class PNGCarver final : public FormatCarver {
public:
    PNGCarver();

    /// No match unless the first chunk is a 13-byte IHDR and every chunk up to
    /// IEND has a letter-only type and a length below 2^31 within the window.
    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
