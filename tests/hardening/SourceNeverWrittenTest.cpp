#include "carve/formats/FormatBuilders.hpp"
#include "device/LoopDevice.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/export/CarveExporter.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/SourceOpener.hpp"

#include <fcntl.h>
#include <sys/inotify.h>

namespace brightfold::test {

TEST(SourceNeverWrittenTest, ScanningAndSavingLeaveTheImageAndItsDeviceUntouched)
{
    // Guards against any part of a scan or a save opening the scanned image for writing or changing it,
    // also when a copy is saved into the image's own folder. The loop device is attached for writing,
    // so a write through it would reach the image.
    TemporaryFolder folder;
    SparseSource card(6 * kMiB);
    card.place(0, jpegPhoto(20'000, 1)).place(kMiB - 4096, jpegPhoto(10'000, 2)).place(3 * kMiB + 512, jpegPhoto(300'000, 3)).place(6 * kMiB - 2048, jpegPhoto(100, 4));
    const auto image = folder.path() / "card.img";
    writeWholeFile(image, card.read(0, 6 * kMiB));
    const struct timespec past[2] { { 1'000'000'000, 0 }, { 1'000'000'000, 0 } };
    ::utimensat(AT_FDCWD, image.c_str(), past, 0); // times that any change would move
    auto state = [&] { // bytes, modification and change times, mode
        struct stat status {};
        ::stat(image.c_str(), &status);
        return std::tuple(readWholeFile(image), status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec, status.st_ctim.tv_nsec, status.st_mode);
    };
    const auto before = state();
    // inotify also sees an open for writing that writes nothing; where it is missing, the state still counts.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(watch, image.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF);
    std::vector<CarvedFile> fromImage;
    for (auto mode : { CarveEngine::Config::OutputMode::catalog, CarveEngine::Config::OutputMode::files }) {
        auto source = SourceOpener::open(image.string());
        auto out = folder.path() / (mode == CarveEngine::Config::OutputMode::files ? "files" : "catalog");
        fromImage = CarveEngine(source, { out, { FormatCategory::photos }, mode, static_cast<int64_t>(kMiB), 512, 0.0 }).run().files;
        ASSERT_EQ(fromImage.size(), 4u);
        EXPECT_EQ(CarveExporter().exportFiles(fromImage, *source, out / "saved").saved.size(), 4u);
        // "card.img" cannot come out of a sector name: only the folder is shared.
        EXPECT_EQ(CarveExporter().exportFiles({ { 0, 4096, "img", FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} } }, *source, folder.path()).saved.size(), 1u);
    }
    alignas(struct inotify_event) char events[4096];
    EXPECT_LE(::read(watch, events, sizeof events), 0) << "the image was written to or opened for writing";
    ::close(watch);
    if (auto loop = LoopDevice::attach(image, 512, LoopDevice::Access::readWrite)) {
        auto device = SourceOpener::open(loop->path());
        ASSERT_NE(dynamic_cast<BlockDeviceSource*>(device.get()), nullptr);
        auto report = CarveEngine(device, { folder.path() / "device", { FormatCategory::photos }, CarveEngine::Config::OutputMode::catalog, 16 * static_cast<int64_t>(kMiB), 512, 0.0 }).run();
        ASSERT_EQ(report.files.size(), 4u) << "the device scans like its image";
        auto saved = CarveExporter().exportFiles(report.files, *device, folder.path() / "device" / "saved");
        EXPECT_EQ(readWholeFile(saved.folder / "JPG" / report.files[2].fileName()), card.read(3 * kMiB + 512, static_cast<int64_t>(report.files[2].length)));
    }
    EXPECT_TRUE(state() == before) << "the image's bytes, times or mode changed";
}

}
