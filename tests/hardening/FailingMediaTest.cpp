#include "HardeningFixtures.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kBlock = 512;

/// A card behind the block device calls: its bytes come from a CardImage, listed
/// blocks fail, and the whole device can vanish once a read reaches a given
/// offset (a card pulled out mid-scan), after which every read fails. A read that
/// meets a failing block returns what came before it, or fails when the block is
/// its first, as the kernel does.
class SimulatedCard final : public DeviceCalls {
public:
    explicit SimulatedCard(const CardImage& image) : m_image(image) { }

    /// Blocks [first, first + count) fail.
    void failBlocks(uint64_t first, uint64_t count) { m_badRuns[first] = count; }
    /// The device is gone from the first read that reaches `offset` on.
    void vanishAt(uint64_t offset) { m_vanishAt = offset; }

    uint64_t preadCalls() const { return m_preadCalls; }

    ssize_t pread(int, void* buffer, size_t count, off_t offset) override
    {
        ++m_preadCalls;
        auto at = static_cast<uint64_t>(offset);
        if (at + count > m_vanishAt)
            m_gone = true;
        if (m_gone) {
            errno = ENODEV;
            return -1;
        }
        if (at >= m_image.size())
            return 0;
        uint64_t end = std::min<uint64_t>(at + count, m_image.size());
        if (auto bad = firstBadBlockIn(at, end)) {
            if (*bad * kBlock <= at) {
                errno = EIO;
                return -1;
            }
            end = *bad * kBlock;
        }
        m_image.copy(at, { static_cast<uint8_t*>(buffer), static_cast<size_t>(end - at) });
        return static_cast<ssize_t>(end - at);
    }
    int logicalBlockSize(int, int& bytes) override
    {
        bytes = static_cast<int>(kBlock);
        return 0;
    }
    int deviceSize(int, uint64_t& bytes) override
    {
        bytes = m_image.size();
        return 0;
    }
    int fstat(int, struct stat& status) override
    {
        status = {};
        return 0;
    }

private:
    std::optional<uint64_t> firstBadBlockIn(uint64_t begin, uint64_t end) const
    {
        std::optional<uint64_t> first;
        for (auto [block, count] : m_badRuns) {
            uint64_t runBegin = block * kBlock, runEnd = (block + count) * kBlock;
            if (runBegin < end && runEnd > begin) {
                uint64_t hit = std::max(runBegin, begin - begin % kBlock) / kBlock;
                if (!first || hit < *first)
                    first = hit;
            }
        }
        return first;
    }

    const CardImage& m_image;
    std::map<uint64_t, uint64_t> m_badRuns;
    uint64_t m_vanishAt { UINT64_MAX };
    bool m_gone { false };
    uint64_t m_preadCalls { 0 };
};

std::shared_ptr<BlockDeviceSource> deviceOver(std::shared_ptr<SimulatedCard> card)
{
    // The calls never use the descriptor; it only has to be one the source can own.
    return std::make_shared<BlockDeviceSource>(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", std::move(card));
}

CarveReport scan(const ByteSourcePtr& source, const std::filesystem::path& folder)
{
    CarveEngine engine(source, { folder, { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::catalog,
                                   static_cast<int64_t>(16 * kMiB), 512, 0.3 });
    return engine.run();
}

struct Expected {
    uint64_t start;
    uint64_t length;
};

std::vector<Expected> startsAndLengths(const CarveReport& report)
{
    std::vector<Expected> found;
    for (const auto& file : report.files)
        found.push_back({ file.start, file.length });
    return found;
}

bool operator==(const Expected& a, const Expected& b) { return a.start == b.start && a.length == b.length; }

void PrintTo(const Expected& value, std::ostream* out) { *out << "{" << value.start << ", " << value.length << "}"; }

/// Puts a photo at each offset and returns what a scan should report for it.
std::vector<Expected> placePhotos(CardImage& card, std::initializer_list<uint64_t> offsets)
{
    std::vector<Expected> expected;
    uint8_t seed = 1;
    for (uint64_t offset : offsets) {
        auto photo = jpegPhoto(30'000 + seed * 1000, seed);
        expected.push_back({ offset, photo.size() });
        card.place(offset, std::move(photo));
        ++seed;
    }
    return expected;
}

}

// The photos below sit well inside the engine's 16 MiB chunks, so that every
// read of a carver is served from the chunk and each block is read exactly once:
// the bad-read counts are then exact.

TEST(FailingMediaTest, ScatteredBadSectorsAreCountedAndEveryPhotoAroundThemFound)
{
    // Guards against unreadable sectors stopping the scan, hiding the files between them, or being miscounted.
    TemporaryFolder folder;
    CardImage image(64 * kMiB);
    auto expected = placePhotos(image, { 0, 3 * kMiB, 17 * kMiB + 512, 40 * kMiB, 63 * kMiB - 64 * 1024 });
    auto card = std::make_shared<SimulatedCard>(image);
    // 100 single bad sectors spread over the card, outside the photos.
    uint64_t badSectors = 0;
    for (uint64_t block = 777; block < 64 * kMiB / kBlock && badSectors < 100; block += 1000) {
        bool insidePhoto = std::any_of(expected.begin(), expected.end(), [&](const Expected& photo) {
            return block * kBlock + kBlock > photo.start && block * kBlock < photo.start + photo.length;
        });
        if (insidePhoto)
            continue;
        card->failBlocks(block, 1);
        ++badSectors;
    }
    ASSERT_EQ(badSectors, 100u);

    auto report = scan(deviceOver(card), folder.path());

    EXPECT_EQ(startsAndLengths(report), expected);
    EXPECT_EQ(report.badReads, 100);
    EXPECT_EQ(report.scannedBytes, 64 * kMiB);
    EXPECT_FALSE(report.cancelled);
    // Bounded work: one read per chunk, and one more per block of a chunk that failed.
    EXPECT_LE(card->preadCalls(), 4 + 4 + 4 * 32 * kMiB / kBlock);
}

TEST(FailingMediaTest, BadSectorInsideAPhotoStillReportsIt)
{
    // Guards against a zero-filled sector in a file's data losing the file.
    TemporaryFolder folder;
    CardImage image(16 * kMiB);
    auto expected = placePhotos(image, { kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    card->failBlocks((kMiB + 8192) / kBlock, 2); // inside the entropy-coded data

    auto report = scan(deviceOver(card), folder.path());

    EXPECT_EQ(startsAndLengths(report), expected);
    EXPECT_EQ(report.badReads, 2);
}

TEST(FailingMediaTest, DeadRegionOf64MiBIsSkippedAndCounted)
{
    // Guards against a long unreadable stretch stopping the scan or losing the files after it.
    TemporaryFolder folder;
    CardImage image(128 * kMiB);
    auto expected = placePhotos(image, { 512, 20 * kMiB, 100 * kMiB, 127 * kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    card->failBlocks(32 * kMiB / kBlock, 64 * kMiB / kBlock);

    auto report = scan(deviceOver(card), folder.path());

    EXPECT_EQ(startsAndLengths(report), expected);
    EXPECT_EQ(report.badReads, static_cast<int64_t>(64 * kMiB / kBlock));
    EXPECT_EQ(report.scannedBytes, 128 * kMiB);
    EXPECT_LE(card->preadCalls(), 8 + 8 + 64 * kMiB / kBlock + 4 * 2);
}

TEST(FailingMediaTest, CardWhoseEveryReadFailsIsScannedToTheEndWithNothingFound)
{
    // Guards against a completely unreadable card hanging the scan or ending it with an error.
    TemporaryFolder folder;
    CardImage image(8 * kMiB);
    placePhotos(image, { 0, 4 * kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    card->failBlocks(0, 8 * kMiB / kBlock);

    auto report = scan(deviceOver(card), folder.path());

    EXPECT_TRUE(report.files.empty());
    EXPECT_EQ(report.badReads, static_cast<int64_t>(8 * kMiB / kBlock));
    EXPECT_EQ(report.scannedBytes, 8 * kMiB);
}

TEST(FailingMediaTest, CardPulledOutMidScanEndsTheScanWithWhatWasFoundBefore)
{
    // Guards against a vanished device hanging the scan or losing the files already found.
    TemporaryFolder folder;
    CardImage image(64 * kMiB);
    auto expected = placePhotos(image, { 0, 5 * kMiB, 20 * kMiB, 40 * kMiB, 60 * kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    card->vanishAt(32 * kMiB); // during the third chunk's read

    auto report = scan(deviceOver(card), folder.path());

    EXPECT_EQ(startsAndLengths(report), (std::vector<Expected> { expected[0], expected[1], expected[2] }));
    EXPECT_EQ(report.badReads, static_cast<int64_t>(32 * kMiB / kBlock));
    EXPECT_EQ(report.scannedBytes, 64 * kMiB);
}

TEST(FailingMediaTest, ImageFileCutShortAfterOpeningEndsTheScanWhereItEnds)
{
    // Guards against an image on a disk that goes away (its file cut short under an open source) making the scan read the same offset forever.
    TemporaryFolder folder;
    CardImage image(48 * kMiB);
    auto expected = placePhotos(image, { 0, 3 * kMiB, 18 * kMiB, 30 * kMiB });
    auto path = folder.path() / "card.img";
    auto bytes = image.bytes();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    auto source = std::make_shared<FileSource>(path.string());
    std::filesystem::resize_file(path, 20 * kMiB); // inside the second chunk

    auto report = scan(source, folder.path() / "scan");

    EXPECT_EQ(startsAndLengths(report), (std::vector<Expected> { expected[0], expected[1], expected[2] }));
    EXPECT_EQ(report.totalBytes, 48 * kMiB);
    EXPECT_EQ(report.scannedBytes, 20 * kMiB);
}

TEST(FailingMediaTest, ExportFromAFailingCardFailsOnlyTheUnreadableFiles)
{
    // Guards against one unreadable file stopping a save, or its zeros being saved as if verified.
    TemporaryFolder folder;
    CardImage image(64 * kMiB);
    auto expected = placePhotos(image, { 0, 3 * kMiB, 20 * kMiB, 40 * kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    auto device = deviceOver(card);
    auto report = scan(device, folder.path() / "scan");
    ASSERT_EQ(report.files.size(), 4u);

    // Since the scan the second photo's head and the third photo's data went bad.
    card->failBlocks(3 * kMiB / kBlock, 1);
    card->failBlocks((20 * kMiB + 16384) / kBlock, 1);
    auto result = CarveExporter().exportFiles(report.files, *device, folder.path() / "saved");

    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { report.files[0], report.files[2], report.files[3] }));
    EXPECT_EQ(result.failedFiles(), (std::vector<CarvedFile> { report.files[1] }));
    EXPECT_TRUE(result.changed.empty());
    auto saved = readWholeFile(folder.path() / "saved" / "JPG" / report.files[3].fileName());
    auto original = image.bytes();
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), original.begin() + static_cast<std::ptrdiff_t>(40 * kMiB)));
    EXPECT_EQ(saved.size(), expected[3].length);
}

TEST(FailingMediaTest, ExportAfterTheCardWasPulledOutSavesNothingAndSaysSo)
{
    // Guards against a save from a vanished card writing files of zeros, or reporting the card as changed.
    TemporaryFolder folder;
    CardImage image(16 * kMiB);
    placePhotos(image, { 0, 4 * kMiB });
    auto card = std::make_shared<SimulatedCard>(image);
    auto device = deviceOver(card);
    auto report = scan(device, folder.path() / "scan");
    ASSERT_EQ(report.files.size(), 2u);

    card->vanishAt(0);
    auto result = CarveExporter().exportFiles(report.files, *device, folder.path() / "saved");

    EXPECT_TRUE(result.saved.empty());
    EXPECT_TRUE(result.changed.empty());
    EXPECT_EQ(result.failedFiles(), report.files);
}
