#include "carve/CarveError.hpp"
#include "carve/export/FolderTimestamp.hpp"
#include "scan/ScanError.hpp"
#include "scan/ScanRunner.hpp"
#include "scan/ScanTestSupport.hpp"

#include "TestSupport.hpp"
#include "device/TemporaryMount.hpp"

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
    FakeDevices devices;
    ScanRunner scan({ .sourcePath = writeImage(folder.path(), 4096).string(),
                        .categories = { FormatCategory::photos },
                        .outputFolder = folder.path() / "scan",
                        .unmount = UnmountChoice::unmountFirst },
        devices, [&](const ScanNotice& notice) { notices.push_back(notice); });
    EXPECT_TRUE(devices.unmounted.empty());
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
    FakeDevices devices;
    ScanRunner scan({ .sourcePath = image.string(), .categories = { FormatCategory::photos }, .outputFolder = image / "out" }, devices);
    try {
        scan.run();
        FAIL() << "scanned into a folder under a file";
    } catch (const ScanError& error) {
        EXPECT_EQ(error.kind(), ScanError::Kind::outputFolderNotCreated);
        EXPECT_NE(std::string(error.what()).find((image / "out").string()), std::string::npos) << error.what();
    }
}

TEST(ScanRunnerTest, NeverWritesOverAnEarlierReport)
{
    // Guards against a second scan into the same folder replacing the first one's report.
    TemporaryFolder folder;
    std::filesystem::path image = writeImage(folder.path(), 4096);
    ScanRequest request { .sourcePath = image.string(), .categories = { FormatCategory::photos }, .outputFolder = folder.path() / "scan" };
    FakeDevices devices;
    ScanRunner(request, devices).run();
    auto first = readWholeFile(folder.path() / "scan" / CarveReport::kFileName);
    try {
        ScanRunner again(request, devices);
        FAIL() << "a folder holding a report was accepted";
    } catch (const ScanError& error) {
        EXPECT_EQ(error.kind(), ScanError::Kind::reportExists);
    }
    EXPECT_EQ(readWholeFile(folder.path() / "scan" / CarveReport::kFileName), first);

    // Fresh folders started in the same second get the -1, -2 names, each its own report.
    request.folderRule = OutputFolderRule::freshFolder;
    for (const char* name : { "scan-1", "scan-2" }) {
        ScanRunner fresh(request, devices);
        EXPECT_EQ(fresh.request().outputFolder, folder.path() / name);
        fresh.run();
        EXPECT_FALSE(fresh.reportWriteError().has_value());
    }
    EXPECT_EQ(readWholeFile(folder.path() / "scan" / CarveReport::kFileName), first);
}

TEST(ScanRunnerTest, AFreshFolderIsRemovedWhenTheScanFailsAtOnce)
{
    TemporaryFolder folder;
    FakeDevices devices;
    ScanRunner scan({ .sourcePath = writeImage(folder.path(), 0).string(), .categories = { FormatCategory::photos },
                        .outputFolder = folder.path() / "Brightfold Scan", .folderRule = OutputFolderRule::freshFolder },
        devices);
    EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "Brightfold Scan"));
    EXPECT_THROW(scan.run(), CarveError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "Brightfold Scan"));
}

TEST(ScanRunnerTest, AReportThatDoesNotFitIsNamedAndLeavesNothing)
{
    // Guards against a scan on a full disk saying "Report: …" over a cut-off report.
    TemporaryFolder folder;
    auto disk = TemporaryMount::tmpfs(folder.path() / "full", "size=64k,mode=0755");
    if (!disk.mounted())
        SKIP_WITHOUT_CAPABILITY(disk.reason());
    std::ofstream(disk.path() / "filler", std::ios::binary) << std::string(1024 * 1024, 'x');
    FakeDevices devices;
    ScanRunner scan({ .sourcePath = writeImage(folder.path(), 4096).string(), .categories = { FormatCategory::photos }, .outputFolder = disk.path() },
        devices);
    EXPECT_EQ(scan.run().scannedBytes, 4096u);
    ASSERT_TRUE(scan.reportWriteError().has_value());
    EXPECT_EQ(scan.reportWriteError()->code(), std::errc::no_space_on_device);
    EXPECT_FALSE(std::filesystem::exists(scan.reportFile()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disk.path()), {}), 1) << "only the filler";
}

TEST(FolderTimestampTest, IsUtcWithoutColons)
{
    // 2026-01-31 09:15:02 UTC
    EXPECT_EQ(folderTimestamp(std::chrono::system_clock::from_time_t(1769850902)), "2026-01-31T09-15-02Z");
}

TEST(ScanRunnerTest, ACardIsUnmountedAndOpenedThroughTheDeviceAccessGiven)
{
    // The command and the application scan through one runner: a listed card named
    // by its device path is unmounted and opened through the same device access.
    TemporaryFolder folder;
    FakeDevices devices;
    devices.physical = { card("sdq", 4096, "SD") };
    devices.devices["/dev/sdq"] = writeImage(folder.path(), 4096).string();
    std::vector<ScanNotice> notices;
    ScanRunner scan({ .sourcePath = "/dev/sdq",
                        .categories = { FormatCategory::photos },
                        .outputFolder = folder.path() / "scan",
                        .unmount = UnmountChoice::unmountFirst },
        devices, [&](const ScanNotice& notice) { notices.push_back(notice); });
    EXPECT_EQ(devices.unmounted, std::vector<std::string> { "sdq" });
    ASSERT_EQ(notices.size(), 1u); // the stand-in leaves a volume mounted
    EXPECT_EQ(notices[0].kind, ScanNotice::Kind::unmountIncomplete);
    EXPECT_EQ(scan.run().scannedBytes, 4096u);
}

TEST(ScanRunnerTest, ARefusalToReadADeviceIsAdvisedOrPassedOnAsAsked)
{
    const std::pair<RefusalText, bool> cases[] = { { RefusalText::withAdvice, true }, { RefusalText::asReported, false } };
    for (const auto& [refusal, advised] : cases) {
        SCOPED_TRACE(advised);
        TemporaryFolder folder;
        FakeDevices devices;
        devices.openError = DeviceError::authorizationDenied("/dev/null");
        const ScanRequest request { .sourcePath = "/dev/null",
            .categories = { FormatCategory::photos },
            .outputFolder = folder.path() / "scan",
            .refusal = refusal };
        try {
            ScanRunner scan(request, devices);
            FAIL() << "a refused device was opened";
        } catch (const ScanError& error) {
            EXPECT_TRUE(advised);
            EXPECT_EQ(error.kind(), ScanError::Kind::readingRefused);
            EXPECT_TRUE(std::string(error.what()).starts_with(devices.openError->what())) << error.what();
        } catch (const DeviceError& error) {
            EXPECT_FALSE(advised);
            EXPECT_STREQ(error.what(), devices.openError->what());
        }
    }
}
