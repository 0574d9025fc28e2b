#include "carve/CarvedFile.hpp"
#include "carve/CarverRegistry.hpp"

#include <gtest/gtest.h>

namespace brightfold {
namespace {

TEST(CarverRegistryTest, SelectionByCategoryKeepsRegistryOrder)
{
    using enum FormatCategory;
    const std::pair<CategorySet, std::string> cases[] { { { kAllFormatCategories.begin(), kAllFormatCategories.end() }, "png jpeg gif bmp isobmff riff tiff pdf zip ole2 mp3 " },
        { { photos }, "png jpeg gif bmp isobmff riff tiff " }, { { rawPhotos, archives }, "isobmff tiff zip " }, { { documents, audio }, "isobmff riff pdf zip ole2 mp3 " },
        { { video }, "isobmff riff " }, { {}, "" } };
    for (const auto& [categories, expected] : cases) {
        std::string ids;
        for (const auto& carver : CarverRegistry::carvers(categories))
            ids += carver->id() + " ";
        EXPECT_EQ(ids, expected);
    }
}

TEST(CarvedFileTest, NamesAndDigestsAreThoseOfEarlierScans)
{
    // Saved reports and copies made by earlier versions must keep matching.
    CarvedFile file { 2'000'000'000'000, 10, "cr2", FormatCategory::rawPhotos, CarveConfidence::exact, "", std::nullopt };
    EXPECT_EQ(file.fileName(), "f3906250000.cr2");
    file.start = 511;
    EXPECT_EQ(file.fileName() + " " + file.folderName(), "f0.cr2 CR2");
    const uint8_t foobar[] = { 'f', 'o', 'o', 'b', 'a', 'r' };
    EXPECT_EQ(CarvedFile::headDigestOf(foobar), "85944171f73967e8"); // FNV-1a test vector
}

}
}
