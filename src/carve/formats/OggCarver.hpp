#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Ogg files (.ogg Vorbis, .opus, .ogv Theora): walks the pages, each checked
/// by its CRC-32 and its stream's page sequence, from the beginning-of-stream
/// pages to the page that ends the last open stream, which ends the file
/// exactly. The first packet names the codec, and so the extension.
class OggCarver final : public FormatCarver {
public:
    OggCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every byte of every page is checked by the pages' CRCs.
    bool provesWholeBody() const override { return true; }
};

}
