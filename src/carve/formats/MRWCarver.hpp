#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Minolta MRW raw files: an MRM block holding the PRD, TTW, WBG, RIF and PAD
/// blocks, then the raw data, whose size the PRD block gives (sensor height ×
/// width at 12 bits packed or 16 bits unpacked). The file ends after the raw data.
///
/// Bad input: a block name that is not a zero and three capitals, a block
/// running past the MRM block, no PRD block, or a storage method other than
/// packed or unpacked is no match.
class MRWCarver final : public FormatCarver {
public:
    MRWCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
