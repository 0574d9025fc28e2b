#include "carve/formats/FormatBuilders.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/FileSource.hpp"

#include <fcntl.h>

#include <set>

namespace brightfold::test {
namespace {

constexpr uint64_t kBlock = 512;

/// A card behind the block device calls: its bytes come from a sparse image, listed
/// blocks fail, and the whole device can vanish once a read reaches a given offset
/// (a card pulled out mid-scan). A read that meets a failing block returns what came
/// before it, or fails when the block is its first, as the kernel does.
class SimulatedCard final : public DeviceCalls {
public:
    explicit SimulatedCard(std::shared_ptr<SparseSource> image) : m_image(std::move(image)) { }

    void failBlocks(uint64_t first, uint64_t count)
    {
        for (uint64_t block = first; block < first + count; ++block)
            m_bad.insert(block);
    }
    uint64_t vanishAt { UINT64_MAX }, preadCalls { 0 };

    ssize_t pread(int, void* buffer, size_t count, off_t offset) override
    {
        ++preadCalls;
        auto at = static_cast<uint64_t>(offset);
        m_gone = m_gone || at + count > vanishAt;
        errno = m_gone ? ENODEV : EIO;
        auto bad = m_bad.lower_bound(at / kBlock);
        if (m_gone || (bad != m_bad.end() && *bad * kBlock <= at))
            return -1;
        uint64_t end = std::min({ at + count, m_image->size(), bad == m_bad.end() ? UINT64_MAX : *bad * kBlock });
        return static_cast<ssize_t>(m_image->readInto(at, { static_cast<uint8_t*>(buffer), static_cast<size_t>(end - std::min(at, end)) }));
    }
    int logicalBlockSize(int, int& bytes) override { bytes = int(kBlock); return 0; }
    int deviceSize(int, uint64_t& bytes) override { bytes = m_image->size(); return 0; }
    int fstat(int, struct stat& status) override { status = {}; return 0; }

private:
    std::shared_ptr<SparseSource> m_image;
    std::set<uint64_t> m_bad;
    bool m_gone { false };
};

struct Card {
    std::shared_ptr<SparseSource> image;
    std::vector<std::pair<uint64_t, uint64_t>> photos; ///< start and length of each
    std::shared_ptr<SimulatedCard> calls;
    std::shared_ptr<BlockDeviceSource> device;
};

/// A card of `size` bytes with a photo at each offset, behind simulated device calls.
Card cardWith(uint64_t size, std::initializer_list<uint64_t> offsets)
{
    Card card { std::make_shared<SparseSource>(size), {}, nullptr, nullptr };
    uint8_t seed = 1;
    for (uint64_t offset : offsets) {
        auto photo = jpegPhoto(30'000 + seed * 1000, seed);
        ++seed;
        card.photos.push_back({ offset, photo.size() });
        card.image->place(offset, photo);
    }
    card.calls = std::make_shared<SimulatedCard>(card.image);
    // The calls never use the descriptor; it only has to be one the source can own.
    card.device = std::make_shared<BlockDeviceSource>(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", card.calls);
    return card;
}

CarveReport scan(const ByteSourcePtr& source, const std::filesystem::path& folder)
{
    return CarveEngine(source, { folder, { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::catalog, static_cast<int64_t>(16 * kMiB), 512, 0.3 }).run();
}

/// Start and length of each file found.
std::vector<std::pair<uint64_t, uint64_t>> found(const CarveReport& report)
{
    std::vector<std::pair<uint64_t, uint64_t>> files;
    std::transform(report.files.begin(), report.files.end(), std::back_inserter(files), [](const CarvedFile& file) { return std::pair(file.start, file.length); });
    return files;
}

// The photos sit well inside the engine's 16 MiB chunks, so every carver read is served
// from the chunk and each block is read once: the bad-read counts are then exact.
TEST(FailingMediaTest, UnreadableSectorsAreCountedAndEveryPhotoAroundThemFound)
{
    // Guards against bad sectors stopping the scan, hiding files, being miscounted, or costing unbounded reads.
    struct Case {
        const char* name;
        uint64_t firstBad, badCount, vanishAt, photosFound, failedChunks;
    };
    const Case cases[] = {
        { "bad sectors inside a photo's data", (kMiB + 8192) / kBlock, 2, UINT64_MAX, 4, 1 },
        { "a dead region of 64 MiB", 32 * kMiB / kBlock, 64 * kMiB / kBlock, UINT64_MAX, 4, 4 },
        { "every sector", 0, 128 * kMiB / kBlock, UINT64_MAX, 0, 8 },
        { "card pulled out in the third chunk", 0, 0, 40 * kMiB, 2, 6 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        auto card = cardWith(128 * kMiB, { kMiB, 20 * kMiB, 100 * kMiB, 127 * kMiB });
        card.calls->failBlocks(c.firstBad, c.badCount);
        card.calls->vanishAt = c.vanishAt;
        auto report = scan(card.device, folder.path());
        EXPECT_EQ(found(report), (std::vector(card.photos.begin(), card.photos.begin() + c.photosFound)));
        EXPECT_EQ(report.badReads, static_cast<int64_t>(c.vanishAt == UINT64_MAX ? c.badCount : 96 * kMiB / kBlock));
        EXPECT_EQ(report.scannedBytes, 128 * kMiB);
        EXPECT_LE(card.calls->preadCalls, 16 + c.failedChunks * 16 * kMiB / kBlock) << "one read per chunk, and one more per block of a chunk that failed";
    }
}

TEST(FailingMediaTest, ImageFileCutShortAfterOpeningEndsTheScanWhereItEnds)
{
    // Guards against an image whose file is cut short under an open source making the scan read the same offset for ever.
    TemporaryFolder folder;
    auto card = cardWith(48 * kMiB, { 0, 3 * kMiB, 18 * kMiB, 30 * kMiB });
    writeWholeFile(folder.path() / "card.img", card.image->read(0, 48 * kMiB));
    auto source = std::make_shared<FileSource>((folder.path() / "card.img").string());
    std::filesystem::resize_file(folder.path() / "card.img", 20 * kMiB); // inside the second chunk
    auto report = scan(source, folder.path() / "scan");
    EXPECT_EQ(found(report), (std::vector(card.photos.begin(), card.photos.begin() + 3)));
    EXPECT_EQ(report.scannedBytes, 20 * kMiB);
}

TEST(FailingMediaTest, ExportFromAFailingCardFailsOnlyTheUnreadableFiles)
{
    // Guards against one unreadable file stopping a save, its zeros being saved as verified, or a vanished card looking changed.
    TemporaryFolder folder;
    auto card = cardWith(64 * kMiB, { 0, 3 * kMiB, 20 * kMiB, 40 * kMiB });
    auto files = scan(card.device, folder.path() / "scan").files;
    ASSERT_EQ(files.size(), 4u);
    card.calls->failBlocks(3 * kMiB / kBlock, 1);                // the second photo's head
    card.calls->failBlocks((20 * kMiB + 16384) / kBlock, 1);     // the third photo's data
    auto result = CarveExporter().exportFiles(files, *card.device, folder.path() / "saved");
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { files[0], files[2], files[3] }));
    EXPECT_EQ(result.failed, std::vector<CarvedFile> { files[1] });
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / files[3].fileName()), card.image->read(40 * kMiB, static_cast<int64_t>(files[3].length)));
    card.calls->vanishAt = 0;
    result = CarveExporter().exportFiles(files, *card.device, folder.path() / "after");
    EXPECT_TRUE(result.saved.empty() && result.changed.empty());
    EXPECT_EQ(result.failed, files);
}

}
}
