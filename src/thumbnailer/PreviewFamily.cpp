#include "PreviewFamily.hpp"

#include <array>
#include <utility>

namespace brightfold {

namespace {

constexpr std::array<std::pair<std::string_view, PreviewFamily>, 42> kFamilyByExtension { {
    { "jpg", PreviewFamily::picture },
    { "jpeg", PreviewFamily::picture },
    { "png", PreviewFamily::picture },
    { "gif", PreviewFamily::picture },
    { "bmp", PreviewFamily::picture },
    { "webp", PreviewFamily::picture },
    { "tif", PreviewFamily::picture },
    { "tiff", PreviewFamily::picture },
    { "cr2", PreviewFamily::rawPhoto },
    { "nef", PreviewFamily::rawPhoto },
    { "arw", PreviewFamily::rawPhoto },
    { "dng", PreviewFamily::rawPhoto },
    { "cr3", PreviewFamily::rawPhoto },
    { "crw", PreviewFamily::rawPhoto },
    { "nrw", PreviewFamily::rawPhoto },
    { "sr2", PreviewFamily::rawPhoto },
    { "srf", PreviewFamily::rawPhoto },
    { "raf", PreviewFamily::rawPhoto },
    { "orf", PreviewFamily::rawPhoto },
    { "rw2", PreviewFamily::rawPhoto },
    { "rwl", PreviewFamily::rawPhoto },
    { "mrw", PreviewFamily::rawPhoto },
    { "x3f", PreviewFamily::rawPhoto },
    { "pef", PreviewFamily::rawPhoto },
    { "srw", PreviewFamily::rawPhoto },
    { "heic", PreviewFamily::heif },
    { "avif", PreviewFamily::heif },
    { "mp4", PreviewFamily::video },
    { "mov", PreviewFamily::video },
    { "m4v", PreviewFamily::video },
    { "3gp", PreviewFamily::video },
    { "avi", PreviewFamily::video },
    { "ts", PreviewFamily::video },
    { "mts", PreviewFamily::video },
    { "mpg", PreviewFamily::video },
    { "mkv", PreviewFamily::video },
    { "webm", PreviewFamily::video },
    { "wmv", PreviewFamily::video },
    { "flv", PreviewFamily::video },
    { "ogv", PreviewFamily::video },
    { "psd", PreviewFamily::video }, // FFmpeg decodes a Photoshop document's merged image
    { "pdf", PreviewFamily::document },
} };

}

std::optional<PreviewFamily> previewFamilyFor(std::string_view ext)
{
    for (const auto& [known, family] : kFamilyByExtension) {
        if (known == ext)
            return family;
    }
    return std::nullopt;
}

}
