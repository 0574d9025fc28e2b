#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// JPEG, PNG, GIF, BMP, WebP and TIFF through Qt's image readers. Images are read
/// at the reduced size (JPEG is decoded at a fraction of its scale by libjpeg,
/// never at full size first) and turned upright by their EXIF orientation.
class QtImageDecoder final : public ThumbnailDecoder {
public:
    bool reads(const QString& ext) const override;
    void prepare() override;
    std::optional<QImage> decode(const QString& path, QSize target) override;
};

}
