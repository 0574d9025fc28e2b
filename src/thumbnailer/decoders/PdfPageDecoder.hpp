#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// PDF through poppler: page 1, rendered at the resolution that makes its longer
/// side the target's (the smallest picture and the full one are the same).
/// Locked (password-protected) documents get nothing.
class PdfPageDecoder final : public ThumbnailDecoder {
public:
    PreviewFamily family() const override { return PreviewFamily::document; }
    void prepare() override;
    std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) override;
};

}
