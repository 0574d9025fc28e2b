#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// JPEG, PNG, GIF, BMP, WebP and TIFF through Qt's image readers, turned upright
/// by their EXIF orientation. The smallest picture is read at the reduced size:
/// a JPEG is decoded by libjpeg's DCT scaling at the smallest scale at or above
/// the target, never at full size first.
class QtImageDecoder final : public ThumbnailDecoder {
public:
    PreviewFamily family() const override { return PreviewFamily::picture; }
    void prepare() override;
    std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) override;

    /// Reads an image (a whole file, or a JPEG a RAW file embeds) from `device`,
    /// at the target's size when `choice` is the smallest. `autoTransform`
    /// applies the image's own EXIF orientation.
    static std::optional<QImage> read(QIODevice& device, const QByteArray& format, QSize target,
        PictureChoice choice, bool autoTransform);
};

}
