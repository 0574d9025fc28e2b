#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// HEIC and AVIF through libheif: the primary image, decoded with its rotation
/// and mirroring applied (libheif's default), then shrunk to the target.
class HeifDecoder final : public ThumbnailDecoder {
public:
    bool reads(const QString& ext) const override;
    std::optional<QImage> decode(const QString& path, QSize target) override;
};

}
