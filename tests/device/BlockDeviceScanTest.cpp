#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

namespace fs = std::filesystem;

// The scan settings of the application.
constexpr int64_t kChunkSize = 16 * 1024 * 1024;
constexpr int64_t kStride = 512;

/// Builds the sample card image (a FAT16 file system with deleted photos, made by
/// scripts/make-sample-image) in `folder`; no value where its tools are missing.
std::optional<fs::path> sampleCard(const fs::path& folder)
{
    auto bash = ChildProcess::findProgram("bash");
    if (!bash)
        return std::nullopt;
    auto made = ChildProcess::run({ *bash, (fs::path(BRIGHTFOLD_SOURCE_DIR) / "scripts/make-sample-image").string(), folder.string() });
    if (!made || made->exitStatus != 0 || !fs::exists(folder / "card.img"))
        return std::nullopt;
    return folder / "card.img";
}

CarveReport scan(const ByteSourcePtr& source, const fs::path& out)
{
    CategorySet every(kAllFormatCategories.begin(), kAllFormatCategories.end());
    CarveEngine engine(source, { out, every, CarveEngine::Config::OutputMode::catalog, kChunkSize, kStride, 0.3 });
    return engine.run();
}

struct FileState {
    std::vector<uint8_t> bytes;
    timespec modified {};
    timespec changed {};
};

FileState stateOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return { std::move(bytes), status.st_mtim, status.st_ctim };
}

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}

TEST(BlockDeviceScanTest, LoopDeviceOfTheSampleCardGivesTheImagesReport)
{
    TemporaryFolder folder;
    auto image = sampleCard(folder.path() / "sample");
    if (!image)
        GTEST_SKIP() << "the sample card image cannot be made here (needs mkfs.vfat and mtools)";
    auto loop = LoopDevice::attach(*image);
    if (!loop)
        GTEST_SKIP() << "losetup is not available or refused here (it needs root)";

    CarveReport fromImage = scan(SourceOpener::open(image->string()), folder.path() / "image-scan");
    auto device = SourceOpener::open(loop->path());
    ASSERT_NE(dynamic_cast<BlockDeviceSource*>(device.get()), nullptr);
    CarveReport fromDevice = scan(device, folder.path() / "device-scan");

    ASSERT_FALSE(fromImage.files.empty()) << "the sample card holds deleted photos";
    EXPECT_EQ(fromDevice.files, fromImage.files);
    EXPECT_EQ(fromDevice.totalBytes, fromImage.totalBytes);
    EXPECT_EQ(fromDevice.scannedBytes, fromImage.scannedBytes);
    EXPECT_EQ(fromDevice.badReads, 0);
    EXPECT_EQ(fromDevice.sourceDescription, loop->path());
}

TEST(BlockDeviceScanTest, ScanningAndSavingFromADeviceLeaveItsBytesAndTimesUnchanged)
{
    // Guards against anything in a scan, a save or a read writing to the card. The
    // loop device is attached for writing, so a write would reach the image.
    TemporaryFolder folder;
    auto image = sampleCard(folder.path() / "sample");
    if (!image)
        GTEST_SKIP() << "the sample card image cannot be made here (needs mkfs.vfat and mtools)";
    timespec past[2] { { 1'000'000'000, 0 }, { 1'000'000'000, 0 } };
    ASSERT_EQ(::utimensat(AT_FDCWD, image->c_str(), past, 0), 0);
    FileState before = stateOf(*image);
    {
        auto loop = LoopDevice::attach(*image, 512, LoopDevice::Access::readWrite);
        if (!loop)
            GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
        auto source = SourceOpener::open(loop->path());
        CarveReport report = scan(source, folder.path() / "scan");
        ASSERT_FALSE(report.files.empty());
        auto saved = CarveExporter().exportFiles(report.files, *source, folder.path() / "saved");
        EXPECT_EQ(saved.saved.size(), report.files.size());
        for (const auto& file : saved.saved) {
            SCOPED_TRACE(file.fileName());
            std::string extensionFolder = file.ext;
            std::transform(extensionFolder.begin(), extensionFolder.end(), extensionFolder.begin(), [](unsigned char c) { return std::toupper(c); });
            auto copy = readWholeFile(saved.folder / extensionFolder / file.fileName());
            auto original = source->read(file.start, static_cast<int64_t>(file.length));
            EXPECT_EQ(copy, original);
        }
        // A preview reads the same way: whole files through a fresh source.
        auto reopened = SourceOpener::open(loop->path());
        EXPECT_EQ(reopened->read(0, 4096), source->read(0, 4096));
    }
    FileState after = stateOf(*image);
    EXPECT_TRUE(after.bytes == before.bytes) << "the card's bytes changed";
    EXPECT_TRUE(sameTime(after.modified, before.modified)) << "the card's modification time changed";
    EXPECT_TRUE(sameTime(after.changed, before.changed)) << "the card's status changed";
}
