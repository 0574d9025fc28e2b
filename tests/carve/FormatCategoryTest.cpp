#include "carve/CarveError.hpp"
#include "carve/FormatCategory.hpp"

#include <gtest/gtest.h>

namespace brightfold {
namespace {

TEST(FormatCategoryTest, ListParsingIgnoresCaseAndNamesTheFirstUnknownEntry)
{
    using enum FormatCategory;
    EXPECT_EQ(parseCategoryList(""), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()));
    EXPECT_EQ(parseCategoryList("VIDEO,rawphotos,video"), (CategorySet { video, rawPhotos }));
    for (auto [text, named] : { std::pair { "photos,pictures,x", "\"pictures\"" }, { "photos,", "\"\"" }, { "photo", "\"photo\"" } }) {
        try {
            parseCategoryList(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const CarveError& error) {
            EXPECT_EQ(error.kind(), CarveError::Kind::unknownCategory);
            EXPECT_NE(std::string(error.what()).find(named), std::string::npos) << error.what();
        }
    }
}

}
}
