#include "carve/formats/FormatBuilders.hpp"
#include "device/SimulatedDevice.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/export/CarveExporter.hpp"
#include "device/FileSource.hpp"

#include <mutex>

namespace brightfold::test {
namespace {

constexpr uint64_t kBlock = 512;

/// Photos at the given offsets of a card of `size` bytes, behind simulated device calls whose reads stop
/// at a bad block, as the kernel's do; the start and length of each photo.
std::pair<std::shared_ptr<SimulatedDevice>, std::vector<std::pair<uint64_t, uint64_t>>> cardWith(uint64_t size, std::initializer_list<uint64_t> offsets)
{
    auto card = std::make_shared<SimulatedDevice>(std::make_shared<SparseSource>(size), kBlock);
    card->wholeReadFails = false;
    card->failCost = 0.005; // seconds per failed read, as a card reader's failures cost at least
    std::vector<std::pair<uint64_t, uint64_t>> photos;
    for (uint64_t offset : offsets) {
        auto photo = jpegPhoto(30'000 + photos.size() * 1000, uint8_t(photos.size()));
        photos.push_back({ offset, photo.size() });
        card->image->place(offset, photo);
    }
    return { card, photos };
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

/// A device source read from two threads at once, as the engine reads ahead on a real card.
class SharedDevice final : public ByteSource {
public:
    explicit SharedDevice(std::shared_ptr<BlockDeviceSource> inner) : m_inner(std::move(inner)) { }
    uint64_t size() const override { return m_inner->size(); }
    int64_t badReads() const override { return m_inner->badReads(); }
    std::string descriptionForReport() const override { return m_inner->descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override { std::lock_guard lock(m_lock); return m_inner->readInto(offset, buffer); }
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override
    {
        std::lock_guard lock(m_lock);
        return m_inner->readIntoUncounted(offset, buffer, unreadable);
    }
    void countUnreadable(int64_t regions) override { m_inner->countUnreadable(regions); }
    bool allowsConcurrentReads() const override { return true; }
    void beginFirstPass(std::function<bool()> stop) override { m_inner->beginFirstPass(std::move(stop)); }
    BadAreaOutcome readPassedOver(const RescueLimits& limits, const std::function<void(RescuePass)>& onStep) override { return m_inner->readPassedOver(limits, onStep); }
    std::vector<UnreadableRegion> unreadAreas() const override { return m_inner->unreadAreas(); }

private:
    std::shared_ptr<BlockDeviceSource> m_inner;
    std::mutex m_lock;
};

/// Takes every "SKIPSKIP" for an exact file of `length` bytes, checked throughout, without reading it.
struct SkippingCarver final : FormatCarver {
    explicit SkippingCarver(uint64_t length) : FormatCarver("skip", { FormatCategory::photos }, { textSignature("SKIPSKIP") }, 0, { 0, 0 }), length(length) { }
    std::optional<CarveMatch> carve(uint64_t, ReadContext&) const override { return CarveMatch { length, "skp", FormatCategory::photos, CarveConfidence::exact }; }
    bool provesWholeBody() const override { return true; }
    uint64_t length;
};

TEST(FailingMediaTest, UnreadableSectorsAreCountedAndEveryPhotoAroundThemFound)
{
    // Guards against bad sectors stopping the scan, hiding files, being miscounted, or costing unbounded reads:
    // the healthy part is read first, each block that fails is tried a few times within the budget, and
    // counted once.
    struct Case {
        const char* name;
        uint64_t firstBad, badCount, vanishAt, photosFound;
    };
    const Case cases[] = {
        { "bad sectors inside a photo's data", (kMiB + 8192) / kBlock, 2, UINT64_MAX, 4 },
        { "bad sectors just before a photo", (20 * kMiB - 2 * kBlock) / kBlock, 2, UINT64_MAX, 4 },
        { "a dead region of 64 MiB", 32 * kMiB / kBlock, 64 * kMiB / kBlock, UINT64_MAX, 4 },
        { "every sector", 0, 128 * kMiB / kBlock, UINT64_MAX, 0 },
        { "card pulled out in the third chunk", 0, 0, 40 * kMiB, 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        auto [card, photos] = cardWith(128 * kMiB, { kMiB, 20 * kMiB, 100 * kMiB, 127 * kMiB });
        card->fail(c.firstBad, c.badCount);
        card->vanishAt = c.vanishAt;
        card->countReadsPerBlock();
        auto report = scan(SimulatedDevice::open(card), folder.path());
        EXPECT_EQ(found(report), (std::vector(photos.begin(), photos.begin() + c.photosFound)));
        const uint64_t unreadable = c.vanishAt == UINT64_MAX ? c.badCount * kBlock : 128 * kMiB - c.vanishAt;
        EXPECT_EQ(report.badReads, static_cast<int64_t>(unreadable / kBlock));
        EXPECT_EQ(report.unreadableBytes(), unreadable);
        EXPECT_EQ(report.scannedBytes, 128 * kMiB);
        // The budget for bad areas is a minute of the device's time, 12,000 failed reads at 5 ms.
        EXPECT_LE(card->clock, 62.0);
        const auto failed = std::ranges::count_if(card->reads, [&](const auto& read) { return card->failsNow(read.first / kBlock); });
        EXPECT_LE(failed, 12'200);
    }
}

TEST(FailingMediaTest, PhotosJustPastADeadRegionAreFoundWhenItsEdgeIsReadBack)
{
    // Guards against the healthy bytes the first pass skipped past a dead region's end
    // being read back, but never looked at for the files that start there.
    for (int readAhead : { 0, 1 }) for (bool wholeReadFails : { false, true }) {
        SCOPED_TRACE(wholeReadFails ? "a read touching a bad block fails whole" : "reads stop at a bad block");
        SCOPED_TRACE(readAhead ? "read ahead" : "one reader");
        TemporaryFolder folder;
        // The second photo runs into the dead region: a walk through its zeros must not hide the photos past it.
        auto [card, photos] = cardWith(128 * kMiB, { kMiB, 32 * kMiB - 20 * 1024, 96 * kMiB + 24 * 1024, 97 * kMiB + 4096, 100 * kMiB });
        card->wholeReadFails = wholeReadFails;
        card->fail(32 * kMiB / kBlock, 64 * kMiB / kBlock);
        ByteSourcePtr source = SimulatedDevice::open(card);
        if (readAhead)
            source = std::make_shared<SharedDevice>(SimulatedDevice::open(card));
        auto report = scan(source, folder.path());
        auto files = found(report);
        for (size_t i = 0; i < photos.size(); ++i) {
            SCOPED_TRACE(photos[i].first);
            auto at = std::ranges::find(files, photos[i].first, &std::pair<uint64_t, uint64_t>::first);
            ASSERT_NE(at, files.end());
            if (i != 1) { // the one running into the region ends where its walk can tell
                EXPECT_EQ(*at, photos[i]);
            }
        }
        EXPECT_EQ(report.unreadableBytes(), 64 * kMiB);
    }
}

TEST(FailingMediaTest, BlockFoundFailingByAReadAheadIsCountedOnce)
{
    // Guards against an unreadable block being counted once per read that met it (the read-ahead, the chunk, a carver).
    constexpr uint64_t kChunk = 64 * 1024;
    for (bool fileSkipsTheBadChunk : { false, true }) {
        SCOPED_TRACE(fileSkipsTheBadChunk);
        TemporaryFolder folder;
        auto card = std::make_shared<SimulatedDevice>(std::make_shared<SparseSource>(4 * kChunk), kBlock);
        card->fail((kChunk + kChunk / 2) / kBlock, 1); // in the second chunk, read ahead while the first is scanned
        if (fileSkipsTheBadChunk)
            card->image->place(0, { 'S', 'K', 'I', 'P', 'S', 'K', 'I', 'P' }); // an exact file over the first three chunks
        auto device = SimulatedDevice::open(card);
        CarveEngine engine(std::make_shared<SharedDevice>(device), { .outputDirectory = folder.path(), .enabledCategories = { FormatCategory::photos }, .chunkSize = static_cast<int64_t>(kChunk) },
            { std::make_shared<SkippingCarver>(3 * kChunk) });
        auto report = engine.run();
        EXPECT_EQ(report.badReads, 1);
        EXPECT_EQ(report.unreadableAreas, (std::vector<UnreadableRegion> { { kChunk + kChunk / 2, kBlock } }));
        EXPECT_EQ(device->badReads(), 1);
    }
}

TEST(FailingMediaTest, ExportFromAFailingCardFailsOnlyTheUnreadableFiles)
{
    // Guards against one unreadable file stopping a save, its zeros being saved as verified, or a vanished card looking changed.
    TemporaryFolder folder;
    auto card = cardWith(64 * kMiB, { 0, 3 * kMiB, 20 * kMiB, 40 * kMiB }).first;
    auto device = SimulatedDevice::open(card);
    auto files = scan(device, folder.path() / "scan").files;
    ASSERT_EQ(files.size(), 4u);
    card->fail(3 * kMiB / kBlock, 1);            // the second photo's head
    card->fail((20 * kMiB + 16384) / kBlock, 1); // the third photo's data
    auto result = CarveExporter().exportFiles(files, *device, folder.path() / "saved");
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { files[0], files[2], files[3] }));
    EXPECT_EQ(result.failedFiles(), std::vector<CarvedFile> { files[1] });
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / files[3].fileName()), card->image->read(40 * kMiB, static_cast<int64_t>(files[3].length)));
    card->vanishAt = 0;
    result = CarveExporter().exportFiles(files, *device, folder.path() / "after");
    EXPECT_TRUE(result.saved.empty() && result.changed.empty());
    EXPECT_EQ(result.failedFiles(), files);
}

}
}
