#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// MPEG program streams (.mpg, DVD .vob): walks the pack headers and the
/// packets between them by their own lengths to the end code. A stream that
/// stops without the end code (a DVD's VOB files are pieces of one stream) ends
/// at the last whole packet before bytes that are none.
class MPEGPSCarver final : public FormatCarver {
public:
    MPEGPSCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every pack and packet header is checked, one after the other, to the end.
    bool provesWholeBody() const override { return true; }
};

}
