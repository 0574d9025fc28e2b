#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// HEIC and AVIF through libheif, turned and mirrored as the file says. The
/// smallest picture is the primary image's smallest thumbnail item that serves,
/// else the primary image itself; the full picture is always the primary image.
class HeifDecoder final : public ThumbnailDecoder {
public:
    PreviewFamily family() const override { return PreviewFamily::heif; }
    std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) override;
};

}
