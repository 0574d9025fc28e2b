#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace brightfold {

/// The kinds of files a user can ask for, in the order the application lists them.
enum class FormatCategory {
    photos,
    rawPhotos,
    video,
    audio,
    documents,
    archives,
};

inline constexpr std::array<FormatCategory, 6> kAllFormatCategories {
    FormatCategory::photos, FormatCategory::rawPhotos, FormatCategory::video,
    FormatCategory::audio, FormatCategory::documents, FormatCategory::archives,
};

using CategorySet = std::set<FormatCategory>;

/// The stored form: "photos", "rawPhotos", "video", "audio", "documents", "archives".
std::string_view rawValue(FormatCategory category);
/// The user-facing title ("Photos", "Camera RAW", ...).
std::string_view displayName(FormatCategory category);
/// The icon name shown beside the category.
std::string_view symbolName(FormatCategory category);
/// Parses a raw value exactly (case-sensitive); no value for anything else.
std::optional<FormatCategory> formatCategoryFromRawValue(std::string_view raw);
/// Parses a comma-separated list of raw values as a user types it ("photos,VIDEO"):
/// names are compared without regard to case, and an empty text means every
/// category. Throws CarveError::unknownCategory for the first name that is none.
CategorySet parseCategoryList(std::string_view text);

}
