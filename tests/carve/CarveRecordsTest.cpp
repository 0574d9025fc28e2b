#include "carve/CarveError.hpp"
#include "carve/CarveProgress.hpp"
#include "carve/CarvedFile.hpp"
#include "carve/CarverRegistry.hpp"

#include <gtest/gtest.h>

using namespace brightfold;

namespace {

std::vector<std::string> idsOf(const std::vector<FormatCarverPtr>& carvers)
{
    std::vector<std::string> ids;
    for (const auto& carver : carvers)
        ids.push_back(carver->id());
    return ids;
}

using Ids = std::vector<std::string>;

}

TEST(CarverRegistryTest, AllListsElevenCarversInRegistryOrder)
{
    EXPECT_EQ(idsOf(CarverRegistry::all()), (Ids { "png", "jpeg", "gif", "bmp", "isobmff", "riff", "tiff", "pdf", "zip", "ole2", "mp3" }));
    for (const auto& carver : CarverRegistry::all()) {
        SCOPED_TRACE(carver->id());
        EXPECT_FALSE(carver->signatures().empty());
        for (const auto& signature : carver->signatures())
            EXPECT_FALSE(signature.empty());
    }
}

TEST(CarverRegistryTest, SelectionByCategoryKeepsRegistryOrder)
{
    using enum FormatCategory;
    EXPECT_TRUE(CarverRegistry::carvers({}).empty());
    EXPECT_EQ(CarverRegistry::carvers({ kAllFormatCategories.begin(), kAllFormatCategories.end() }).size(), 11u);
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ archives })), (Ids { "zip" }));
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ rawPhotos })), (Ids { "isobmff", "tiff" }));
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ documents })), (Ids { "pdf", "zip", "ole2" }));
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ audio })), (Ids { "isobmff", "riff", "mp3" }));
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ video })), (Ids { "isobmff", "riff" }));
    EXPECT_EQ(idsOf(CarverRegistry::carvers({ photos })), (Ids { "png", "jpeg", "gif", "bmp", "isobmff", "riff", "tiff" }));
}

TEST(FormatCategoryTest, RawValuesRoundTripAndUnknownIsRejected)
{
    for (auto category : kAllFormatCategories)
        EXPECT_EQ(formatCategoryFromRawValue(rawValue(category)), category);
    EXPECT_EQ(formatCategoryFromRawValue("Photos"), std::nullopt);
    EXPECT_EQ(formatCategoryFromRawValue("raw"), std::nullopt);
    EXPECT_EQ(displayName(FormatCategory::rawPhotos), "Camera RAW");
}

TEST(FormatCategoryTest, ListParsingIgnoresCaseAndNamesTheFirstUnknownEntry)
{
    using enum FormatCategory;
    EXPECT_EQ(parseCategoryList(""), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()));
    EXPECT_EQ(parseCategoryList("VIDEO,rawphotos,video"), (CategorySet { video, rawPhotos }));
    struct Case {
        const char* text;
        const char* named;
    };
    for (auto [text, named] : { Case { "photos,pictures,x", "\"pictures\"" }, Case { "photos,", "\"\"" }, Case { "photo", "\"photo\"" } }) {
        SCOPED_TRACE(text);
        try {
            parseCategoryList(text);
            ADD_FAILURE() << "accepted";
        } catch (const CarveError& error) {
            EXPECT_EQ(error.kind(), CarveError::Kind::unknownCategory);
            EXPECT_NE(std::string(error.what()).find(named), std::string::npos) << error.what();
        }
    }
}

TEST(CarvedFileTest, FileNameUsesTheSectorOfTheStart)
{
    CarvedFile file { 511, 10, "jpg", FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
    EXPECT_EQ(file.fileName(), "f0.jpg");
    file.start = 512;
    EXPECT_EQ(file.fileName(), "f1.jpg");
    file.start = 1'048'576;
    EXPECT_EQ(file.fileName(), "f2048.jpg");
    file.start = 2'000'000'000'000;
    EXPECT_EQ(file.fileName(), "f3906250000.jpg");
}

TEST(CarvedFileTest, HeadDigestIsFnv1aInHexWithoutLeadingZeros)
{
    EXPECT_EQ(CarvedFile::headDigestOf({}), "cbf29ce484222325");
    const uint8_t a[] = { 'a' };
    EXPECT_EQ(CarvedFile::headDigestOf(a), "af63dc4c8601ec8c");
    const uint8_t foobar[] = { 'f', 'o', 'o', 'b', 'a', 'r' };
    EXPECT_EQ(CarvedFile::headDigestOf(foobar), "85944171f73967e8");
}

TEST(CarveProgressTest, DerivedValuesNeverDivideByZero)
{
    CarveProgress progress;
    EXPECT_EQ(progress.fraction(), 0.0);
    EXPECT_EQ(progress.throughputBytesPerSec(), 0.0);
    progress.bytesScanned = 50;
    progress.totalBytes = 200;
    progress.elapsed = 2;
    EXPECT_DOUBLE_EQ(progress.fraction(), 0.25);
    EXPECT_DOUBLE_EQ(progress.throughputBytesPerSec(), 25.0);
}
