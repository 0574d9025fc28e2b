#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteSource.hpp"

#include <QString>

#include <cstdint>
#include <optional>

namespace brightfold {

class ThumbnailService;

/// Small JPEG previews of carved files, written into a scan session's folder so
/// that the browser can show what was found without copying files off the card.
class PreviewMaker {
public:
    static constexpr uint64_t kLargestPreviewedBytes = 314'572'800; // 300 MiB
    static constexpr uint64_t kCopyPieceBytes = 4'194'304;          // 4 MiB
    static constexpr int kPreviewSide = 512;                        // pixels
    static constexpr int kJpegQuality = 72;
    /// A picture the file embeds (a HEIF thumbnail, a camera's preview, cover
    /// art) serves when its longer side reaches this: a 150-point grid cell on
    /// a 2× screen.
    static constexpr int kEnoughSide = 300; // pixels

    PreviewMaker() = delete;

    /// Photos, RAW photos, video and documents; never audio or archives.
    static bool previewable(FormatCategory category);
    /// A file of those categories of at most 300 MiB: one make() tries.
    static bool previewable(const CarvedFile& file);

    /// Hands `file`'s bytes, read once from `source`, straight to the thumbnail
    /// worker (no temporary file), and writes its picture as
    /// "previews"/f<N>.jpg. True when the preview was written. Never throws: a
    /// file of another category or over 300 MiB, a source failing part-way
    /// (what was read is still offered), a worker failing or passing its
    /// deadline all give false. Blocks for up to the worker's deadline for the
    /// file's family.
    static bool make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder, ThumbnailService& service);

    /// Where the preview of `file` lives in the session folder: "previews"/f<N>.jpg,
    /// N being the file's start in 512-byte sectors. Says nothing about whether
    /// it exists.
    static QString previewPath(const QString& sessionFolder, const CarvedFile& file);
    /// previewPath when a preview is there (its existence is the only record that it was made).
    static std::optional<QString> existingPreview(const QString& sessionFolder, const CarvedFile& file);
};

}
