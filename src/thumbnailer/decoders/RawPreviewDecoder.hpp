#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// Camera RAW files (CR2, CR3, CRW, NEF, NRW, ARW, SR2, SRF, DNG, RAF, ORF,
/// RW2, RWL, MRW, X3F, PEF, SRW) through libraw, turned by the
/// orientation recorded in the RAW file. The smallest picture is the preview
/// the camera embedded (a JPEG, decoded by DCT scaling, or an RGB bitmap); RAW
/// files without one get nothing, since demosaicing the sensor data costs
/// seconds a file. The full picture is the demosaiced sensor data, at half
/// size.
class RawPreviewDecoder final : public ThumbnailDecoder {
public:
    PreviewFamily family() const override { return PreviewFamily::rawPhoto; }
    std::optional<QImage> decode(const ThumbnailInput& input, const DecodeTarget& target) override;
};

}
