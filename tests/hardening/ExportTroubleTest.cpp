#include "HardeningFixtures.hpp"
#include "device/TemporaryMount.hpp"

#include "carve/CarveError.hpp"
#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "carve/SampleDigests.hpp"

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
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
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
    EXPECT_EQ(result.failedFiles(), (std::vector<CarvedFile> { startsAtEnd, startsBeyond, wraps, runsOver, undigested }));
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
    EXPECT_EQ(result.failedFiles(), (std::vector<CarvedFile> { badHead }));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "JPG" / "f16.jpg"));
    // An unreadable block inside a verified file is saved as the zeros the card gave.
    auto expected = slice(bytes, 16384, 20000);
    std::fill_n(expected.begin() + (48 * 512 - 16384), 512, uint8_t { 0 });
    EXPECT_EQ(readWholeFile(folder.path() / "JPG" / "f32.jpg"), expected);
}

/// Every regular file under `folder`, relative to it, sorted.
std::vector<std::string> filesUnder(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            names.push_back(entry.path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ExportTroubleTest, FullFileSystemLeavesNoPartialFileNamesTheReasonAndSavesWhatFitsLater)
{
    // Guards against a full disk leaving truncated copies under their final names, without a reason, reported as success.
    TemporaryFolder folder;
    auto disk = TemporaryMount::tmpfs(folder.path() / "small", "size=1m,mode=0755");
    if (!disk.mounted())
        GTEST_SKIP() << disk.reason();

    auto bytes = patterned(4 * 1024 * 1024, 7);
    MemorySource source(bytes);
    std::vector<CarvedFile> files {
        recordOf(bytes, 0, 200'000),
        recordOf(bytes, 1024 * 1024, 2'000'000), // cannot fit
        recordOf(bytes, 512 * 1024, 300'000, "png"),
        recordOf(bytes, 3584 * 1024, 1000, "gif"),
    };
    auto destination = disk.path() / "Brightfold Recover now";
    auto result = CarveExporter().exportFiles(files, source, destination);

    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { files[0], files[2], files[3] }));
    EXPECT_EQ(result.failed, (std::vector<CarveExporter::FailedFile> { { files[1], "No space left on device" } }));
    EXPECT_EQ(result.outcome(), ExportOutcome::partial);
    EXPECT_EQ(filesUnder(destination), (std::vector<std::string> { "GIF/f7168.gif", "JPG/f0.jpg", "PNG/f1024.png", "brightfold-report.json" }));
    for (size_t i = 0; i < result.saved.size(); ++i)
        EXPECT_EQ(readWholeFile(result.savedPaths[i]), slice(bytes, result.saved[i].start, result.saved[i].length));
}

TEST(ExportTroubleTest, FullDiskUnderTheReportIsNamedAndLeavesNoPartialReport)
{
    // Guards against a report cut off by a full disk being left behind, unnoticed, for a later save to reject.
    TemporaryFolder folder;
    auto disk = TemporaryMount::tmpfs(folder.path() / "full", "size=64k,mode=0755");
    if (!disk.mounted())
        GTEST_SKIP() << disk.reason();
    std::ofstream(disk.path() / "filler", std::ios::binary) << std::string(1024 * 1024, 'x');

    auto bytes = patterned(8192);
    MemorySource source(bytes);
    auto result = CarveExporter().exportFiles({}, source, disk.path());
    ASSERT_TRUE(result.reportError.has_value());
    EXPECT_EQ(std::string(result.reportError->what()),
        "Could not write the report " + (disk.path() / CarveReport::kFileName).string() + ": No space left on device.");
    EXPECT_NE(result.outcome(), ExportOutcome::complete);
    EXPECT_EQ(filesUnder(disk.path()), (std::vector<std::string> { "filler" }));
}

TEST(ExportTroubleTest, AWriteOfOneMebibyteAnywhereInAFileIsCaught)
{
    // Guards against a card written to after the scan (a camera's new photo over old free space) being saved as recovered.
    TemporaryFolder folder;
    auto original = patterned(12 * 1024 * 1024, 3);
    std::vector<CarvedFile> files;
    for (uint64_t start : { 0ull, 4ull << 20, 8ull << 20 }) {
        CarvedFile file = recordOf(original, start, 4 * 1024 * 1024 - 512);
        std::vector<std::string> samples;
        for (const auto& range : SampleDigests::ranges(file.length))
            samples.push_back(SampleDigests::digestOf(std::span(original).subspan(start + range.offset, range.count)));
        file.sampleDigests = samples;
        files.push_back(file);
    }
    // One MiB written at an odd place inside each of the first two files; its head untouched.
    auto card = original;
    for (uint64_t at : { 1'500'000ull, (4ull << 20) + 2'621'440 })
        std::fill_n(card.begin() + static_cast<std::ptrdiff_t>(at), 1024 * 1024, uint8_t { 0xE5 });
    MemorySource source(card);

    auto result = CarveExporter().exportFiles(files, source, folder.path());
    EXPECT_EQ(result.changed, (std::vector<CarvedFile> { files[0], files[1] }));
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { files[2] }));
    EXPECT_EQ(filesUnder(folder.path()), (std::vector<std::string> { "JPG/f16384.jpg", "brightfold-report.json" }));
}

TEST(ExportTroubleTest, CancellingDuringACopyRemovesItAndKeepsWhatWasSaved)
{
    // Guards against an interrupted save leaving a half-written copy under its final name.
    TemporaryFolder folder;
    auto bytes = patterned(12 * 1024 * 1024);
    MemorySource source(bytes);
    std::vector<CarvedFile> files { recordOf(bytes, 0, 1000), recordOf(bytes, 1024 * 1024, 10 * 1024 * 1024), recordOf(bytes, 512, 100) };
    int asked = 0;
    // Asked before file 0, before file 1, then between its first and second pieces.
    auto result = CarveExporter().exportFiles(files, source, folder.path(), {}, [&] { return ++asked == 3; });
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.outcome(), ExportOutcome::cancelled);
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { files[0] }));
    EXPECT_TRUE(result.failed.empty());
    EXPECT_EQ(filesUnder(folder.path()), (std::vector<std::string> { "JPG/f0.jpg", "brightfold-report.json" }));
}

TEST(ExportTroubleTest, ReadOnlyDestinationIsRefusedBeforeAnythingIsCopied)
{
    // Guards against an export into a read-only file system failing file by file instead of saying so once.
    TemporaryFolder folder;
    auto destination = folder.path() / "readonly";
    auto disk = TemporaryMount::tmpfs(destination, "size=1m", MS_RDONLY);
    if (!disk.mounted())
        GTEST_SKIP() << disk.reason();

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
