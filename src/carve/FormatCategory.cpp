#include "carve/FormatCategory.hpp"

#include "carve/CarveError.hpp"

#include <algorithm>
#include <cctype>

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

bool equalIgnoringCase(std::string_view left, std::string_view right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
        [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
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

CategorySet parseCategoryList(std::string_view text)
{
    if (text.empty())
        return CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end());
    CategorySet categories;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = std::min(text.find(',', begin), text.size());
        std::string_view name = text.substr(begin, end - begin);
        auto known = std::find_if(kNames.begin(), kNames.end(), [&](const CategoryNames& names) { return equalIgnoringCase(names.raw, name); });
        if (known == kNames.end()) {
            std::string choices;
            for (const auto& names : kNames)
                choices += (choices.empty() ? "" : ", ") + std::string(names.raw);
            throw CarveError::unknownCategory(std::string(name), choices);
        }
        categories.insert(known->category);
        begin = end + 1;
    }
    return categories;
}

}
