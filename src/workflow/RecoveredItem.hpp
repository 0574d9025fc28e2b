#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/FormatCategory.hpp"
#include "workflow/ScanSession.hpp"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace brightfold {

/// One cell of the browser's grid: a file carved by a stored scan (its bytes
/// still on the card) or a file in a folder saved earlier. A plain value.
struct RecoveredItem {
    /// Session: the carved file's start offset in decimal. Folder: the full path.
    QString id;
    /// Session: the name its file system kept, else CarvedFile::fileName(). Folder: the file's name.
    QString displayName;
    /// Lower case, without the dot.
    QString ext;
    uint64_t sizeBytes { 0 };
    /// Session: the carved file's. Folder: from categoryByExt, none when unknown.
    std::optional<FormatCategory> category;
    /// Session: start / 512. Folder: N of a name "fN.ext", else 0.
    uint64_t sector { 0 };
    /// Folder only: the file on disk.
    std::optional<QString> fileURL;
    /// Session only: the preview JPEG, when one was made.
    std::optional<QString> previewURL;
    /// Session only: what saving the file needs.
    std::optional<CarvedFile> carved;

    bool operator==(const RecoveredItem&) const = default;

    /// The category of a lower-case extension from the 32 known ones
    /// (jpg → photos, dng → rawPhotos, …); none for any other.
    static std::optional<FormatCategory> categoryByExt(const QString& ext);
    /// One item per carved file of the session's report, in report order. Looks
    /// on disk for each preview, so it belongs off the interface thread.
    static std::vector<RecoveredItem> items(const ScanSession& session);
    /// One item per regular file under `folder`, at any depth, leaving out "json"
    /// files (the scan report lives beside saved files); sorted by sector, then by
    /// path. Entries that cannot be read are passed over; a folder that cannot be
    /// listed gives no items.
    static std::vector<RecoveredItem> scanFolder(const QString& folder);
    /// The sector a saved file's name carries: "f1234.jpg" → 1234; 0 for any
    /// other name, and for a number past 64 bits.
    static uint64_t sectorFromFileName(const QString& fileName);
};

}
