#pragma once

#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <QString>

namespace brightfold {

/// Small JPEG previews of carved files, written into a scan session's folder.
class PreviewMaker {
public:
    PreviewMaker() = delete;

    /// Writes the preview of one carved file, read from `source`, into the
    /// session folder's "previews". True when a preview was written; never throws.
    static bool make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder);
};

}
