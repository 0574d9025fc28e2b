#include "carve/FormatCategory.hpp"

namespace brightfold {

namespace {

struct CategoryNames {
    FormatCategory category;
    std::string_view raw;
    std::string_view display;
    std::string_view symbol;
};

constexpr std::array<CategoryNames, 6> kNames { {
    { FormatCategory::photos, "photos", "Photos", "photo" },
    { FormatCategory::rawPhotos, "rawPhotos", "Camera RAW", "camera.aperture" },
    { FormatCategory::video, "video", "Video", "film" },
    { FormatCategory::audio, "audio", "Audio", "waveform" },
    { FormatCategory::documents, "documents", "Documents", "doc.text" },
    { FormatCategory::archives, "archives", "Archives", "shippingbox" },
} };

const CategoryNames& namesOf(FormatCategory category)
{
    return kNames[static_cast<size_t>(category)];
}

}

std::string_view rawValue(FormatCategory category) { return namesOf(category).raw; }
std::string_view displayName(FormatCategory category) { return namesOf(category).display; }
std::string_view symbolName(FormatCategory category) { return namesOf(category).symbol; }

std::optional<FormatCategory> formatCategoryFromRawValue(std::string_view raw)
{
    for (const auto& names : kNames) {
        if (names.raw == raw)
            return names.category;
    }
    return std::nullopt;
}

}
