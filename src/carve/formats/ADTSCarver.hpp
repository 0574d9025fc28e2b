#pragma once

#include "carve/FormatCarver.hpp"

#include <span>

namespace brightfold {

/// AAC audio in ADTS frames (.aac, as recorders and encoders write raw AAC):
/// walks the chain of frames by the length each header gives, while every frame
/// keeps the first one's profile, sample rate and channels. A long chain that
/// ends at bytes that are no frame proves the file; a short one is no file.
class ADTSCarver final : public FormatCarver {
public:
    ADTSCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every frame header is checked, frame after frame, to the last one.
    bool provesWholeBody() const override { return true; }

    /// The length in bytes of the ADTS frame whose header starts `header` (at
    /// least 7 bytes); no value for anything that is not a valid header (no
    /// sync, a layer other than 0, a reserved sample rate, a length shorter
    /// than the header).
    static std::optional<uint32_t> frameLength(std::span<const uint8_t> header);
};

}
