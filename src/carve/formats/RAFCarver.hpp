#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Fujifilm RAF raw files. The header's offset table gives the embedded JPEG
/// preview, the CFA header and the CFA (the raw data); the file ends where the
/// furthest of them ends. A second sensor's CFA header and CFA (the S5 Pro's)
/// count when they follow the first ones directly.
///
/// Bad input: a header whose version fields are not digits, a preview that is
/// not a JPEG, an empty CFA or a section ending past the walk window is no match.
class RAFCarver final : public FormatCarver {
public:
    RAFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
