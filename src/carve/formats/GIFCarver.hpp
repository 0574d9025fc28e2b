#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// GIF images (87a and 89a): walks the blocks (extensions, images and their
/// data sub-blocks) to the trailer byte without reading pixel data. Reports an
/// exact length or nothing: a zero width or height, an unknown block
/// introducer, or blocks running past the source or the walk window are no match.
class GIFCarver final : public FormatCarver {
public:
    GIFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every block is walked to the trailer.
    bool provesWholeBody() const override { return true; }
};

}
