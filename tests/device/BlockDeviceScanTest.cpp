#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace brightfold::test {
namespace {

CarveReport scan(const ByteSourcePtr& source, const std::filesystem::path& out)
{
    return CarveEngine(source, { out, { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::catalog, 16 * 1024 * 1024, 512, 0.3 }).run();
}

TEST(BlockDeviceScanTest, LoopDeviceOfTheSampleCardScansLikeItsImageAndIsNeverWritten)
{
    // Guards against a device scan differing from the image's, and against anything in a scan or a save
    // writing to the card: the loop device is attached for writing, so a write would reach the image.
    TemporaryFolder folder;
    auto made = ChildProcess::run({ ChildProcess::findProgram("bash").value_or("bash"), std::string(BRIGHTFOLD_SOURCE_DIR) + "/scripts/make-sample-image", folder.path().string() });
    if (!made || made->exitStatus != 0)
        GTEST_SKIP() << "the sample card image cannot be made here (needs mkfs.vfat and mtools)";
    const auto image = folder.path() / "card.img";
    const struct timespec past[2] { { 1'000'000'000, 0 }, { 1'000'000'000, 0 } };
    ::utimensat(AT_FDCWD, image.c_str(), past, 0);
    const std::string before = fileState(image);
    CarveReport fromImage = scan(SourceOpener::open(image.string()), folder.path() / "image-scan");
    {
        auto loop = LoopDevice::attach(image, 512, LoopDevice::Access::readWrite);
        if (!loop)
            GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
        auto device = SourceOpener::open(loop->path());
        ASSERT_NE(dynamic_cast<BlockDeviceSource*>(device.get()), nullptr);
        CarveReport fromDevice = scan(device, folder.path() / "device-scan");
        ASSERT_FALSE(fromImage.files.empty()) << "the sample card holds deleted photos";
        EXPECT_EQ(fromDevice.files, fromImage.files);
        EXPECT_EQ(fromDevice.sourceDescription, loop->path());
        auto saved = CarveExporter().exportFiles(fromDevice.files, *device, folder.path() / "saved");
        EXPECT_EQ(saved.saved, fromDevice.files);
        for (const auto& file : saved.saved)
            EXPECT_EQ(readWholeFile(saved.folder / file.folderName() / file.fileName()), device->read(file.start, int64_t(file.length))) << file.fileName();
    }
    EXPECT_TRUE(fileState(image) == before) << "the card's bytes or times changed";
}

}
}
