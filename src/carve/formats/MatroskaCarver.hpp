#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Matroska and WebM (.mkv, .webm): reads the EBML header's document type, then
/// the Segment. A Segment of known size ends the file, exact when its top-level
/// elements fill it to the byte; a Segment of unknown size (a recording never
/// finished) is walked element by element, clusters of unknown size block by
/// block, to the first element that cannot stand there.
class MatroskaCarver final : public FormatCarver {
public:
    MatroskaCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
