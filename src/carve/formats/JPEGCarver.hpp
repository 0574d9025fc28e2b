#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// JPEG images. Walks the header segments to the first scan, then the
/// entropy-coded data (stuffed bytes, restart markers in sequence, the segments
/// between scans) to the EOI: only that is exact, and then the images an MPF
/// index lists after it and a phone's "SEFT" trailer belong to the file too.
/// Another image's SOI or a byte sequence no encoder writes ends the file as an
/// estimate; no end within 256 MiB gives at most 16 MiB, heuristic.
class JPEGCarver final : public FormatCarver {
public:
    JPEGCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// The entropy-coded data is walked byte by byte to the last EOI.
    bool provesWholeBody() const override { return true; }
};

}
