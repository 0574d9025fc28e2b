#include "carve/FormatCatalogue.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace brightfold;

TEST(FormatCatalogueTest, EachExtensionBelongsToOneCategoryAndIsFoundAgain)
{
    std::map<std::string, FormatCategory> seen;
    for (FormatCategory category : kAllFormatCategories) {
        std::istringstream words { std::string(FormatCatalogue::extensions(category)) };
        std::string ext;
        int count = 0;
        while (words >> ext) {
            SCOPED_TRACE(ext);
            ++count;
            EXPECT_TRUE(seen.emplace(ext, category).second) << "listed under two categories";
            EXPECT_EQ(FormatCatalogue::categoryOfExtension(ext), category);
            EXPECT_EQ(ext.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"), std::string::npos);
        }
        EXPECT_GT(count, 0) << rawValue(category);
    }
}

TEST(FormatCatalogueTest, OtherNamesHaveNoCategory)
{
    // Only whole items of the lists count, in the case files are saved with.
    for (const char* ext : { "", "json", "txt", "JPG", "jp", "pg", "jpg png", " jpg", "tar.gz", "g" }) {
        SCOPED_TRACE(ext);
        EXPECT_EQ(FormatCatalogue::categoryOfExtension(ext), std::nullopt);
    }
}

TEST(FormatCatalogueTest, TheListsOfFormatsReadAsShown)
{
    EXPECT_EQ(FormatCatalogue::formatsLine(),
        "Photos: JPEG, PNG, HEIC, GIF, BMP, WebP, TIFF, PSD · "
        "RAW: CR2, CR3, CRW, NEF, ARW, DNG, RAF, ORF, RW2, PEF, SRW, MRW, X3F · "
        "Video: MP4, MOV, AVI, M4V, 3GP, MTS, TS, MPG, MKV, WebM, WMV, FLV · "
        "Audio: MP3, M4A, WAV, AIFF, FLAC, Ogg, Opus, AAC, WMA · "
        "Documents: PDF, Word, Excel, PowerPoint, EPUB, OpenDocument · "
        "Archives: ZIP, 7z, RAR, gzip");
    EXPECT_EQ(FormatCatalogue::categoryChoices(), "photos,rawPhotos,video,audio,documents,archives");
    // Every choice offered is one the command accepts.
    EXPECT_EQ(parseCategoryList(FormatCatalogue::categoryChoices()).size(), kAllFormatCategories.size());
}
