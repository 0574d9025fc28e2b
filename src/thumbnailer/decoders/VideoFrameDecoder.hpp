#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// MP4, MOV, M4V, 3GP, AVI, MPEG transport and program streams, Matroska and
/// WebM, WMV and FLV through FFmpeg, scaled by libswscale straight to
/// the target size and turned by the stream's display matrix. The smallest
/// picture is the container's cover art when it has one, else the key frame at
/// or before one second in (half way through shorter clips, since first frames
/// are often black), decoded alone: no frame before or after it. The full
/// picture is the frame at that moment, decoded from its key frame on. A key
/// frame that is all but black (a fade-in) gives way to the full picture.
/// Photoshop documents (PSD) too: FFmpeg decodes their merged image, a clip of
/// one frame.
class VideoFrameDecoder final : public ThumbnailDecoder {
public:
    VideoFrameDecoder();

    PreviewFamily family() const override { return PreviewFamily::video; }
    void prepare() override;
    std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) override;
};

}
