#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Photoshop documents (PSD, and PSB for large documents). Walks the header
/// and the three length-prefixed sections (colour mode data, image resources,
/// layer and mask information) to the merged image data, whose size follows
/// from the header (raw) or from its table of row byte counts (RLE).
///
/// Bad input: header fields out of their documented ranges, a section running
/// past the walk window, or image data compressed with ZIP (whose end only a
/// decoder knows) or an unknown method is no match.
class PSDCarver final : public FormatCarver {
public:
    PSDCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
