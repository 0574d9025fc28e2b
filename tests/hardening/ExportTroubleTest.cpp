#include "HardeningFixtures.hpp"

#include "carve/CarveError.hpp"
#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::vector<uint8_t> patterned(size_t size, uint8_t seed = 0)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + seed) ^ (i >> 9));
    return bytes;
}

CarvedFile recordOf(const std::vector<uint8_t>& source, uint64_t start, uint64_t length, std::string ext = "jpg")
{
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt };
    file.headDigest = CarvedFile::headDigestOf(std::span(source).subspan(start, std::min<uint64_t>(length, 4096)));
    return file;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, uint64_t start, uint64_t length)
{
    return { bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.begin() + static_cast<std::ptrdiff_t>(start + length) };
}

/// A card as a failing block device delivers it: 512-byte blocks, those listed
/// as bad come back as zeros and are counted once per read that touches them.
class ZeroFillingCard final : public ByteSource {
public:
    ZeroFillingCard(std::vector<uint8_t> bytes, std::vector<uint64_t> badBlocks)
        : m_bytes(std::move(bytes)), m_badBlocks(std::move(badBlocks)) { }

    uint64_t size() const override { return m_bytes.size(); }
    int64_t badReads() const override { return m_badReads; }
    std::string descriptionForReport() const override { return "failing card"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (offset >= m_bytes.size())
            return 0;
        size_t count = std::min<uint64_t>(buffer.size(), m_bytes.size() - offset);
        std::memcpy(buffer.data(), m_bytes.data() + offset, count);
        for (uint64_t block : m_badBlocks) {
            uint64_t begin = std::max(offset, block * 512), end = std::min(offset + count, block * 512 + 512);
            if (begin < end) {
                std::memset(buffer.data() + (begin - offset), 0, end - begin);
                ++m_badReads;
            }
        }
        return count;
    }

private:
    std::vector<uint8_t> m_bytes;
    std::vector<uint64_t> m_badBlocks;
    int64_t m_badReads { 0 };
};

/// A small tmpfs mounted over a fresh folder for the life of the object; not
/// mounted when the process may not mount (then the test skips).
class SmallFileSystem {
public:
    SmallFileSystem(const std::filesystem::path& where, const char* options, unsigned long flags = 0)
        : m_path(where)
    {
        std::filesystem::create_directories(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0;
        if (!m_mounted)
            m_reason = std::strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& reason() const { return m_reason; }

private:
    std::filesystem::path m_path;
    bool m_mounted { false };
    std::string m_reason;
};

}

TEST(ExportTroubleTest, RangesBeyondTheSourceFailWithoutTouchingTheRest)
{
    // Guards against a report from a larger card listing files as "changed" (or saving empty copies) when exported from a smaller one.
    TemporaryFolder folder;
    auto bytes = patterned(64 * 1024);
    MemorySource source(bytes);
    CarvedFile inside = recordOf(bytes, 4096, 8192);
    CarvedFile startsAtEnd = inside;
    startsAtEnd.start = bytes.size();
    CarvedFile startsBeyond = inside;
    startsBeyond.start = 10'000'000'000;
    CarvedFile wraps = inside;
    wraps.start = UINT64_MAX - 100;
    wraps.length = 1000;
    CarvedFile runsOver = recordOf(bytes, 60 * 1024, 4096);
    runsOver.length = UINT64_MAX;
    CarvedFile undigested = startsBeyond;
    undigested.headDigest.reset();
    CarvedFile last = recordOf(bytes, 32768, 100, "png");

    auto result = CarveExporter().exportFiles({ inside, startsAtEnd, startsBeyond, wraps, runsOver, undigested, last }, source, folder.path());

    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { inside, last }));
    EXPECT_TRUE(result.changed.empty());
    EXPECT_EQ(result.failed, (std::vector<CarvedFile> { startsAtEnd, startsBeyond, wraps, runsOver, undigested }));
    EXPECT_EQ(readWholeFile(folder.path() / "JPG" / "f8.jpg"), slice(bytes, 4096, 8192));
    EXPECT_EQ(readWholeFile(folder.path() / "PNG" / "f64.png"), slice(bytes, 32768, 100));
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName).files, result.saved);
}

TEST(ExportTroubleTest, HeadOnUnreadableBlocksFailsInsteadOfLookingChanged)
{
    // Guards against zeros delivered for bad blocks in a file's head being reported as a card that was written to.
    TemporaryFolder folder;
    auto bytes = patterned(64 * 1024);
    CarvedFile healthy = recordOf(bytes, 0, 4096);
    CarvedFile badHead = recordOf(bytes, 8192, 4096);
    CarvedFile badBody = recordOf(bytes, 16384, 20000);
    CarvedFile last = recordOf(bytes, 40960, 100);
    // Block 18 lies in the second head's first 4096 bytes; block 48 in the third file, after its head.
    ZeroFillingCard card(bytes, { 18, 48 });

    auto result = CarveExporter().exportFiles({ healthy, badHead, badBody, last }, card, folder.path());

    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { healthy, badBody, last }));
    EXPECT_TRUE(result.changed.empty());
    EXPECT_EQ(result.failed, (std::vector<CarvedFile> { badHead }));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "JPG" / "f16.jpg"));
    // An unreadable block inside a verified file is saved as the zeros the card gave.
    auto expected = slice(bytes, 16384, 20000);
    std::fill_n(expected.begin() + (48 * 512 - 16384), 512, uint8_t { 0 });
    EXPECT_EQ(readWholeFile(folder.path() / "JPG" / "f32.jpg"), expected);
}

TEST(ExportTroubleTest, FullFileSystemFailsTheFilesThatDoNotFitAndKeepsTheOthers)
{
    // Guards against a write error on a full disk stopping the export or damaging copies already saved.
    TemporaryFolder folder;
    auto destination = folder.path() / "small";
    SmallFileSystem disk(destination, "size=1m,mode=0755");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here: " << disk.reason();

    auto bytes = patterned(4 * 1024 * 1024, 7);
    MemorySource source(bytes);
    std::vector<CarvedFile> files {
        recordOf(bytes, 0, 200'000),
        recordOf(bytes, 512 * 1024, 300'000, "png"),
        recordOf(bytes, 1024 * 1024, 2'000'000), // cannot fit
        recordOf(bytes, 3584 * 1024, 1000, "gif"),
    };
    auto result = CarveExporter().exportFiles(files, source, destination / "Brightfold Recover now");

    ASSERT_EQ(result.saved.size() + result.changed.size() + result.failed.size(), files.size());
    EXPECT_TRUE(result.changed.empty());
    EXPECT_EQ((std::vector<CarvedFile> { result.saved.begin(), result.saved.begin() + std::min<size_t>(2, result.saved.size()) }),
        (std::vector<CarvedFile> { files[0], files[1] }));
    ASSERT_FALSE(result.failed.empty());
    EXPECT_EQ(result.failed.front(), files[2]);
    // What was saved before the disk filled up is intact.
    EXPECT_EQ(readWholeFile(destination / "Brightfold Recover now" / "JPG" / "f0.jpg"), slice(bytes, 0, 200'000));
    EXPECT_EQ(readWholeFile(destination / "Brightfold Recover now" / "PNG" / "f1024.png"), slice(bytes, 512 * 1024, 300'000));
    for (const auto& saved : result.saved) {
        SCOPED_TRACE(saved.start);
        std::string folderName = saved.ext;
        for (auto& c : folderName)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(readWholeFile(destination / "Brightfold Recover now" / folderName / saved.fileName()), slice(bytes, saved.start, saved.length));
    }
}

TEST(ExportTroubleTest, ReadOnlyDestinationIsRefusedBeforeAnythingIsCopied)
{
    // Guards against an export into a read-only file system failing file by file instead of saying so once.
    TemporaryFolder folder;
    auto destination = folder.path() / "readonly";
    SmallFileSystem disk(destination, "size=1m", MS_RDONLY);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here: " << disk.reason();

    auto bytes = patterned(8192);
    MemorySource source(bytes);
    EXPECT_THROW(CarveExporter().exportFiles({ recordOf(bytes, 0, 100) }, source, destination / "Saved"), std::filesystem::filesystem_error);
    try {
        CarveExporter().exportFiles({ recordOf(bytes, 0, 100) }, source, destination);
        ADD_FAILURE() << "exported into a read-only folder";
    } catch (const CarveError& error) {
        EXPECT_EQ(error.kind(), CarveError::Kind::outputNotWritable);
        EXPECT_EQ(std::string(error.what()), "Cannot write to output folder " + destination.string() + ".");
    }
}
