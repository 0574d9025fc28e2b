#pragma once

#include <optional>
#include <string_view>

namespace brightfold {

/// The families of files the thumbnail worker draws, each through its own
/// library, and each given its own time by the application: a picture or a
/// document page takes a moment, a video's container and first key frame longer.
enum class PreviewFamily {
    picture,  // Qt's image readers: JPEG, PNG, GIF, BMP, WebP, TIFF
    rawPhoto, // libraw: the camera's embedded preview
    heif,     // libheif: HEIC and AVIF
    video,    // FFmpeg: MP4, MOV, M4V, 3GP, AVI, TS, MTS, MPG, MKV, WebM, WMV, FLV, OGV (and PSD, a clip of one frame to FFmpeg)
    document, // poppler: page 1 of a PDF
};

/// The family that draws files with the lower-case extension `ext`; nothing for
/// files the worker has no decoder for.
std::optional<PreviewFamily> previewFamilyFor(std::string_view ext);

}
