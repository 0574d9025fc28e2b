#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Advanced Systems Format files (.wmv video, .wma audio): the header object's
/// size and its file properties, the data object and its fixed-size packets,
/// then the index objects. Exact when the objects walked end where the file
/// properties say the file ends; a file with a video stream is .wmv, else .wma.
class ASFCarver final : public FormatCarver {
public:
    ASFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
