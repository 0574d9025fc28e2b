#pragma once

#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

/// Camera RAW files (CR2, CR3, CRW, NEF, NRW, ARW, SR2, SRF, DNG, RAF, ORF,
/// RW2, RWL, MRW, X3F, PEF, SRW) through libraw: the preview the
/// camera embedded (a JPEG, decoded at reduced scale, or an RGB bitmap), turned
/// by the orientation recorded in the RAW file. RAW files without an embedded
/// preview get nothing; demosaicing the sensor data would cost seconds a file.
class RawPreviewDecoder final : public ThumbnailDecoder {
public:
    bool reads(const QString& ext) const override;
    std::optional<QImage> decode(const QString& path, QSize target) override;
};

}
