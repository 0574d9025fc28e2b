#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// PDF through poppler: page 1, rendered at the resolution that makes its longer
/// side the target's. Locked (password-protected) documents get nothing.
class PdfPageDecoder final : public ThumbnailDecoder {
public:
    bool reads(const QString& ext) const override;
    void prepare() override;
    std::optional<QImage> decode(const QString& path, QSize target) override;
};

}
