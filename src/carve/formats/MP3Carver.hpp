#pragma once

#include "carve/FormatCarver.hpp"

#include <span>

namespace brightfold {

/// MPEG audio that begins with an ID3v2 tag, or with a Layer III frame at a
/// sector start: skips the tag by its own size, walks the chain of frames by
/// the lengths their headers give, and adds a trailing APE and ID3v1 tag. Audio
/// without a tag needs a long chain of frames that keep the first one's version,
/// layer and sample rate; a chain that long proves the file, a shorter one after
/// a tag is an estimate.
class MP3Carver final : public FormatCarver {
public:
    MP3Carver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every frame header is checked, frame after frame, to the last one.
    bool provesWholeBody() const override { return true; }

    /// The length in bytes of the MPEG audio frame whose header starts with
    /// `header` (at least its first three bytes); no value for fewer bytes or
    /// for anything that is not a valid Layer I, II or III frame header (no
    /// sync, reserved version or layer, free-format or bad bitrate index,
    /// reserved sample rate). Every valid header gives at least 24 bytes.
    static std::optional<uint32_t> frameLength(std::span<const uint8_t> header);
};

}
