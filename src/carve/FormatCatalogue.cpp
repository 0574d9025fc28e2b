#include "carve/FormatCatalogue.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

struct CatalogueRow {
    FormatCategory category;
    std::string_view shortTitle; ///< the category in the list of formats
    std::string_view formats;    ///< as a person names them
    std::string_view extensions; ///< as files are saved, space-separated
};

// In the order of FormatCategory.
constexpr std::array<CatalogueRow, 6> kCatalogue { {
    { FormatCategory::photos, "Photos", "JPEG, PNG, HEIC, GIF, BMP, WebP, TIFF, PSD", "jpg png heic avif gif bmp webp tif psd psb" },
    { FormatCategory::rawPhotos, "RAW", "CR2, CR3, CRW, NEF, ARW, DNG, RAF, ORF, RW2, PEF, SRW, MRW, X3F",
        "cr2 cr3 nef nrw arw sr2 srf dng raf orf rw2 rwl crw mrw x3f pef srw" },
    { FormatCategory::video, "Video", "MP4, MOV, AVI, M4V, 3GP, MTS, TS, MPG, MKV, WebM, WMV, FLV",
        "mp4 mov m4v 3gp avi ts mts mpg mkv webm wmv flv ogv" },
    { FormatCategory::audio, "Audio", "MP3, M4A, WAV, AIFF, FLAC, Ogg, Opus, AAC, WMA", "mp3 m4a wav aiff flac ogg opus aac wma" },
    { FormatCategory::documents, "Documents", "PDF, Word, Excel, PowerPoint, EPUB, OpenDocument",
        "pdf docx xlsx pptx doc xls ppt ole epub odt ods odp" },
    { FormatCategory::archives, "Archives", "ZIP, 7z, RAR, gzip", "zip 7z rar gz" },
} };

const CatalogueRow& rowOf(FormatCategory category)
{
    return kCatalogue[static_cast<size_t>(category)];
}

/// Whether the space-separated `list` holds `word` as one of its items.
bool listHolds(std::string_view list, std::string_view word)
{
    size_t begin = 0;
    while (begin <= list.size()) {
        const size_t end = std::min(list.find(' ', begin), list.size());
        if (list.substr(begin, end - begin) == word)
            return true;
        begin = end + 1;
    }
    return false;
}

}

std::optional<FormatCategory> FormatCatalogue::categoryOfExtension(std::string_view ext)
{
    if (ext.empty())
        return std::nullopt;
    for (const CatalogueRow& row : kCatalogue) {
        if (listHolds(row.extensions, ext))
            return row.category;
    }
    return std::nullopt;
}

std::string_view FormatCatalogue::extensions(FormatCategory category)
{
    return rowOf(category).extensions;
}

std::string_view FormatCatalogue::formatNames(FormatCategory category)
{
    return rowOf(category).formats;
}

std::string FormatCatalogue::formatsLine()
{
    std::string line;
    for (const CatalogueRow& row : kCatalogue) {
        if (!line.empty())
            line += " · ";
        line += std::string(row.shortTitle) + ": " + std::string(row.formats);
    }
    return line;
}

std::string FormatCatalogue::categoryChoices()
{
    std::string choices;
    for (FormatCategory category : kAllFormatCategories) {
        if (!choices.empty())
            choices += ',';
        choices += rawValue(category);
    }
    return choices;
}

}
