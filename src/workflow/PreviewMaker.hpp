#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteSource.hpp"

#include <QString>

#include <cstdint>

namespace brightfold {

struct ScanSession;
class ThumbnailService;

/// Small JPEG previews of carved files, written into a scan session's folder so
/// that the browser can show what was found without copying files off the card.
class PreviewMaker {
public:
    static constexpr uint64_t kLargestPreviewedBytes = 314'572'800; // 300 MiB
    static constexpr uint64_t kCopyPieceBytes = 4'194'304;          // 4 MiB
    static constexpr int kPreviewSide = 512;                        // pixels
    static constexpr int kJpegQuality = 72;

    PreviewMaker() = delete;

    /// Photos, RAW photos, video and documents; never audio or archives.
    static bool previewable(FormatCategory category);

    /// Copies `file` out of `source` into the session's "tmp" folder, has the
    /// thumbnail worker draw it, and writes the picture as "previews"/f<N>.jpg.
    /// True when the preview was written. Never throws: a file of another
    /// category or over 300 MiB, a source failing part-way (what was read is
    /// still offered), a worker failing or passing its deadline all give false.
    /// The temporary copy is gone on return, whatever the outcome. Blocks for up
    /// to the worker's deadline.
    static bool make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder);
    /// The same into the stored session's folder.
    static bool make(const CarvedFile& file, ByteSource& source, const ScanSession& session);
    /// The same with a given service (tests use one over a stand-in worker).
    static bool make(const CarvedFile& file, ByteSource& source, const QString& sessionFolder, ThumbnailService& service);

    /// Where the preview of `file` lives in the session folder: "previews"/f<N>.jpg,
    /// N being the file's start in 512-byte sectors. Says nothing about whether
    /// it exists.
    static QString previewPath(const QString& sessionFolder, const CarvedFile& file);
};

}
