#pragma once

#include "carve/FormatCategory.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace brightfold {

/// What each category holds, written once: the extensions its files are saved
/// under (from which a saved file's category is told again) and the formats a
/// person reads in the lists of what a scan looks for.
class FormatCatalogue {
public:
    FormatCatalogue() = delete;

    /// The category of files saved with extension `ext` (lower case, no dot);
    /// no value for one no carver writes.
    static std::optional<FormatCategory> categoryOfExtension(std::string_view ext);
    /// The category's extensions, lower case, separated by spaces: "jpg png heic …".
    static std::string_view extensions(FormatCategory category);
    /// The category's formats as a person names them: "JPEG, PNG, HEIC, …".
    static std::string_view formatNames(FormatCategory category);
    /// Every category with its formats, as the setup screen lists them:
    /// "Photos: JPEG, PNG, … · RAW: CR2, … · … · Archives: ZIP, 7z, RAR, gzip".
    static std::string formatsLine();
    /// The categories a user may type, for the command's help:
    /// "photos,rawPhotos,video,audio,documents,archives".
    static std::string categoryChoices();
};

}
