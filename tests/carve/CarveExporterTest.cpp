#include "TestSupport.hpp"

#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "device/DeviceError.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::vector<uint8_t> patterned(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
    return bytes;
}

CarvedFile recordOf(const std::vector<uint8_t>& source, uint64_t start, uint64_t length, std::string ext = "jpg", bool withDigest = true)
{
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
    if (withDigest)
        file.headDigest = CarvedFile::headDigestOf(std::span(source).subspan(start, std::min<uint64_t>(length, 4096)));
    return file;
}

/// A memory source that fails every read touching [failFrom, failTo).
class FailingSource final : public ByteSource {
public:
    FailingSource(std::vector<uint8_t> bytes, uint64_t failFrom, uint64_t failTo)
        : m_inner(std::move(bytes)), m_failFrom(failFrom), m_failTo(failTo) { }
    uint64_t size() const override { return m_inner.size(); }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "failing"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (offset < m_failTo && offset + buffer.size() > m_failFrom)
            throw DeviceError::readFailed(offset, EIO);
        return m_inner.readInto(offset, buffer);
    }

private:
    MemorySource m_inner;
    uint64_t m_failFrom, m_failTo;
};

}

TEST(CarveExporterTest, EmptyListCreatesTheFolderReportsProgressAndWritesAReport)
{
    TemporaryFolder folder;
    auto destination = folder.path() / "a" / "b";
    std::vector<std::pair<int64_t, int64_t>> calls;
    MemorySource source(patterned(100));
    auto result = CarveExporter().exportFiles({}, source, destination, [&](int64_t done, int64_t total) { calls.push_back({ done, total }); });
    EXPECT_TRUE(std::filesystem::is_directory(destination));
    EXPECT_EQ(calls, (std::vector<std::pair<int64_t, int64_t>> { { 0, 0 } }));
    EXPECT_EQ(result.folder, destination);
    EXPECT_TRUE(CarveReport::readFile(destination / CarveReport::kFileName).files.empty());
}

TEST(CarveExporterTest, SavesByteIdenticalCopiesWithUniqueNames)
{
    TemporaryFolder folder;
    auto bytes = patterned(20 * 1024 * 1024);
    MemorySource source(bytes);
    // The large file spans several 4 MiB pieces; the two small ones share a name.
    std::vector<CarvedFile> files { recordOf(bytes, 1'048'576, 9'000'000), recordOf(bytes, 1'048'576, 1000, "png"),
        recordOf(bytes, 1'048'700, 2000, "png", false) };
    std::vector<std::pair<int64_t, int64_t>> calls;
    auto result = CarveExporter().exportFiles(files, source, folder.path(), [&](int64_t done, int64_t total) { calls.push_back({ done, total }); });
    ASSERT_EQ(result.saved.size(), 3u);
    EXPECT_TRUE(result.changed.empty());
    EXPECT_TRUE(result.failed.empty());
    EXPECT_EQ(calls, (std::vector<std::pair<int64_t, int64_t>> { { 0, 3 }, { 1, 3 }, { 2, 3 }, { 3, 3 } }));
    auto slice = [&](uint64_t start, uint64_t length) { return std::vector<uint8_t>(bytes.begin() + start, bytes.begin() + start + length); };
    EXPECT_EQ(readWholeFile(folder.path() / "JPG" / "f2048.jpg"), slice(1'048'576, 9'000'000));
    EXPECT_EQ(readWholeFile(folder.path() / "PNG" / "f2048.png"), slice(1'048'576, 1000));
    EXPECT_EQ(readWholeFile(folder.path() / "PNG" / "f2048-1.png"), slice(1'048'700, 2000));

    CarveReport report = CarveReport::readFile(folder.path() / CarveReport::kFileName);
    EXPECT_EQ(report.files, result.saved);
    EXPECT_FALSE(report.cancelled);
    EXPECT_EQ(report.duration, 0);
    EXPECT_EQ(report.totalBytes, bytes.size());
}

TEST(CarveExporterTest, ChangedHeadIsSkippedUnlessThereIsNoDigest)
{
    TemporaryFolder folder;
    auto original = patterned(64 * 1024);
    std::vector<CarvedFile> files { recordOf(original, 0, 8192), recordOf(original, 16384, 8192, "jpg", false), recordOf(original, 32768, 100) };
    auto overwritten = original;
    std::fill(overwritten.begin(), overwritten.begin() + 4096, 0xEE);
    std::fill(overwritten.begin() + 16384, overwritten.begin() + 16384 + 4096, 0xEE);
    MemorySource source(overwritten);
    auto result = CarveExporter().exportFiles(files, source, folder.path());
    ASSERT_EQ(result.changed.size(), 1u);
    EXPECT_EQ(result.changed[0].start, 0u);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "JPG" / "f0.jpg"));
    ASSERT_EQ(result.saved.size(), 2u);
    EXPECT_EQ(result.saved[0].start, 16384u);
}

TEST(CarveExporterTest, CancellationStopsBeforeTheThirdFile)
{
    TemporaryFolder folder;
    auto bytes = patterned(8192);
    MemorySource source(bytes);
    std::vector<CarvedFile> files { recordOf(bytes, 0, 100), recordOf(bytes, 512, 100), recordOf(bytes, 1024, 100), recordOf(bytes, 1536, 100) };
    int asked = 0;
    std::vector<std::pair<int64_t, int64_t>> calls;
    auto result = CarveExporter().exportFiles(files, source, folder.path(),
        [&](int64_t done, int64_t total) { calls.push_back({ done, total }); }, [&] { return ++asked == 3; });
    EXPECT_EQ(result.saved.size(), 2u);
    EXPECT_EQ(calls.back(), (std::pair<int64_t, int64_t> { 4, 4 }));
    EXPECT_FALSE(CarveReport::readFile(folder.path() / CarveReport::kFileName).cancelled);
}

TEST(CarveExporterTest, UnreadableFilesFailAndTheRestAreSaved)
{
    TemporaryFolder folder;
    auto bytes = patterned(64 * 1024);
    auto source = FailingSource(bytes, 20000, 21000);
    std::vector<CarvedFile> files { recordOf(bytes, 0, 4096), recordOf(bytes, 16384, 8192, "jpg", false),
        recordOf(bytes, 20480, 100), recordOf(bytes, 32768, 100) };
    auto result = CarveExporter().exportFiles(files, source, folder.path());
    ASSERT_EQ(result.failed.size(), 2u); // the copy read fails for one, the head read for the other
    EXPECT_EQ(result.failed[0].file.start, 16384u);
    EXPECT_EQ(result.failed[1].file.start, 20480u);
    EXPECT_EQ(result.saved.size(), 2u);
}

TEST(CarveExporterTest, RangeThatRunsPastTheSourceIsNotReportedAsSaved)
{
    // A card that shrank or a report from another source: the copy would be cut short.
    TemporaryFolder folder;
    auto bytes = patterned(8192);
    MemorySource source(bytes);
    std::vector<CarvedFile> files { recordOf(bytes, 4096, 4096, "jpg", false), recordOf(bytes, 0, 100) };
    files[0].length = 10'000;
    auto result = CarveExporter().exportFiles(files, source, folder.path());
    ASSERT_EQ(result.failed.size(), 1u);
    EXPECT_EQ(result.failed[0].file.start, 4096u);
    EXPECT_EQ(result.saved.size(), 1u);
}

TEST(CarveExporterTest, UniqueUrlCountsUpFromOne)
{
    TemporaryFolder folder;
    auto location = folder.path() / "f2048.jpg";
    EXPECT_EQ(CarveExporter::uniqueURL(location), location);
    readWholeFile(location);
    std::filesystem::create_directory(location);
    std::filesystem::create_directory(folder.path() / "f2048-1.jpg");
    EXPECT_EQ(CarveExporter::uniqueURL(location), folder.path() / "f2048-2.jpg");
}
