#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// MP4, MOV, M4V, 3GP, AVI, MPEG transport and program streams, Matroska and
/// WebM, WMV and FLV through FFmpeg: the frame about one second in (half
/// way through shorter clips), since first frames are often black, scaled by
/// libswscale straight to the target size and turned by the stream's display
/// matrix. Photoshop documents (PSD) too: FFmpeg decodes their merged image,
/// a clip of one frame.
class VideoFrameDecoder final : public ThumbnailDecoder {
public:
    VideoFrameDecoder();

    void prepare() override;
    bool reads(const QString& ext) const override;
    std::optional<QImage> decode(const QString& path, QSize target) override;
};

}
