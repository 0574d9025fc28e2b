#include "carve/FolderTimestamp.hpp"
#include "carve/ScanError.hpp"
#include "carve/ScanRunner.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::filesystem::path writeImage(const std::filesystem::path& folder, size_t size)
{
    std::filesystem::path image = folder / "card.img";
    std::ofstream(image, std::ios::binary) << std::string(size, '\0');
    return image;
}

}

TEST(ScanRunnerTest, UnmountOfAnImageIsANoticeAndTheScanStillRuns)
{
    TemporaryFolder folder;
    std::vector<ScanNotice> notices;
    ScanRunner scan({ .sourcePath = writeImage(folder.path(), 4096).string(),
                        .categories = { FormatCategory::photos },
                        .outputFolder = folder.path() / "scan",
                        .unmount = UnmountChoice::unmountFirst },
        [&](const ScanNotice& notice) { notices.push_back(notice); });
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, ScanNotice::Kind::nothingToUnmount);

    CarveReport report = scan.run();
    EXPECT_EQ(report.scannedBytes, 4096u);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "scan" / CarveReport::kFileName));
    EXPECT_EQ(scan.source()->size(), 4096u) << "the source stays open for previews";
}

TEST(ScanRunnerTest, OutputFolderThatCannotBeMadeIsATypedErrorNamingIt)
{
    TemporaryFolder folder;
    std::filesystem::path image = writeImage(folder.path(), 512);
    ScanRunner scan({ .sourcePath = image.string(), .categories = { FormatCategory::photos }, .outputFolder = image / "out" });
    try {
        scan.run();
        FAIL() << "scanned into a folder under a file";
    } catch (const ScanError& error) {
        EXPECT_EQ(error.kind(), ScanError::Kind::outputFolderNotCreated);
        EXPECT_NE(std::string(error.what()).find((image / "out").string()), std::string::npos) << error.what();
    }
}

TEST(FolderTimestampTest, IsUtcWithoutColons)
{
    // 2026-01-31 09:15:02 UTC
    EXPECT_EQ(folderTimestamp(std::chrono::system_clock::from_time_t(1769850902)), "2026-01-31T09-15-02Z");
}
