#include "HardeningFixtures.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct FileState {
    std::vector<uint8_t> bytes;
    struct timespec modified {};
    struct timespec changed {};
    mode_t mode {};

    bool operator==(const FileState& other) const
    {
        return bytes == other.bytes && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec && mode == other.mode;
    }
};

FileState stateOf(const std::filesystem::path& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return { readWholeFile(path), status.st_mtim, status.st_ctim, status.st_mode };
}

/// Watches one file for anything that writes to it or changes its attributes,
/// including an open for writing that writes nothing (seen when it is closed).
class WriteWatch {
public:
    /// Where inotify is not available the watch sees nothing; the file's bytes,
    /// times and mode are still compared.
    explicit WriteWatch(const std::filesystem::path& path)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            ::inotify_add_watch(m_fd, path.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF);
    }
    ~WriteWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    WriteWatch(const WriteWatch&) = delete;
    WriteWatch& operator=(const WriteWatch&) = delete;

    /// The events seen so far (IN_MODIFY, IN_CLOSE_WRITE, ...), or 0.
    uint32_t events() const
    {
        alignas(struct inotify_event) char buffer[4096];
        uint32_t seen = 0;
        if (m_fd < 0)
            return seen;
        for (;;) {
            ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                return seen;
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                seen |= event->mask;
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
    }

private:
    int m_fd;
};

/// A card image file holding a few photos on sector boundaries, some of them
/// across the engine's chunk ends.
std::filesystem::path writeCardImage(const std::filesystem::path& folder)
{
    CardImage card(6 * kMiB);
    card.place(0, jpegPhoto(20'000, 1));
    card.place(kMiB - 4096, jpegPhoto(10'000, 2)); // crosses the first 1 MiB chunk's end
    card.place(3 * kMiB + 512, jpegPhoto(300'000, 3));
    card.place(6 * kMiB - 2048, jpegPhoto(100, 4));
    auto path = folder / "card.img";
    auto bytes = card.bytes();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    // Make the times distinguishable from any later change.
    struct timespec past[2] { { 1'000'000'000, 0 }, { 1'000'000'000, 0 } };
    ::utimensat(AT_FDCWD, path.c_str(), past, 0);
    return path;
}

}

TEST(SourceNeverWrittenTest, ScanningAndSavingLeaveTheImageUntouched)
{
    // Guards against any part of a scan or a save opening the scanned image for writing or changing it.
    TemporaryFolder folder;
    const auto image = writeCardImage(folder.path());
    const FileState before = stateOf(image);
    WriteWatch watch(image);

    std::vector<CarvedFile> found;
    for (auto mode : { CarveEngine::Config::OutputMode::catalog, CarveEngine::Config::OutputMode::files }) {
        SCOPED_TRACE(mode == CarveEngine::Config::OutputMode::files ? "files" : "catalog");
        auto source = SourceOpener::open(image.string());
        auto outputFolder = folder.path() / (mode == CarveEngine::Config::OutputMode::files ? "scan-files" : "scan-catalog");
        CarveEngine engine(source, { outputFolder, { kAllFormatCategories.begin(), kAllFormatCategories.end() }, mode, static_cast<int64_t>(kMiB), 512, 0.0 });
        CarveReport report = engine.run();
        ASSERT_EQ(report.files.size(), 4u);
        found = report.files;
    }

    auto source = SourceOpener::open(image.string());
    auto result = CarveExporter().exportFiles(found, *source, folder.path() / "saved");
    EXPECT_EQ(result.saved.size(), 4u);
    // Saving twice into the same folder adds copies, never touching the image.
    CarveExporter().exportFiles(found, *source, folder.path() / "saved");
    source.reset();

    EXPECT_EQ(watch.events(), 0u);
    EXPECT_TRUE(stateOf(image) == before) << "the image's bytes, times or mode changed";
}

TEST(SourceNeverWrittenTest, SavingIntoTheImagesOwnFolderLeavesTheImageUntouched)
{
    // Guards against a copy whose name collides with the image replacing it.
    TemporaryFolder folder;
    const auto image = writeCardImage(folder.path());
    const FileState before = stateOf(image);
    WriteWatch watch(image);

    auto source = SourceOpener::open(image.string());
    // A record named like the image itself: "card.img" cannot come out of a
    // sector name, so only the folder is shared.
    CarvedFile file { 0, 4096, "img", FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
    auto result = CarveExporter().exportFiles({ file }, *source, folder.path());
    EXPECT_EQ(result.saved.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "IMG" / "f0.img"));
    source.reset();

    EXPECT_EQ(watch.events(), 0u);
    EXPECT_TRUE(stateOf(image) == before);
}
