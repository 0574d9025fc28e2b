#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/FormatCategory.hpp"
#include "scan/ScanSession.hpp"

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
    /// Session: the carved file's. Folder: from FormatCatalogue::categoryOfExtension, none when unknown.
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
    /// One item per carved file of the session's report, in report order. Looks
    /// on disk for each preview, so it belongs off the interface thread.
    static std::vector<RecoveredItem> items(const ScanSession& session);
    /// One item per file a save wrote into `folder`: each regular file (not a
    /// link) at the place where a save puts a file its reports list (see
    /// CarveExporter::placeOf), at any depth; nothing else the folder holds, so
    /// the user's own files are never offered for the Trash. Sorted by sector,
    /// then by path. Entries and reports that cannot be read are passed over; a
    /// folder without a report gives no items.
    static std::vector<RecoveredItem> scanFolder(const QString& folder);
    /// Whether `folder` holds a report a save wrote (brightfold-report.json, or
    /// brightfold-report-N.json beside an earlier one): a folder of saved files.
    static bool isRecoveryFolder(const QString& folder);
    /// The sector a saved file's name carries: "f1234.jpg" → 1234; 0 for any
    /// other name, and for a number past 64 bits.
    static uint64_t sectorFromFileName(const QString& fileName);
};

}
