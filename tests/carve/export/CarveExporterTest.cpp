#include "TestSupport.hpp"

#include "carve/CarveError.hpp"
#include "carve/export/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "carve/SampleDigests.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/mount.h>
#include <sys/stat.h>

#include <ctime>

namespace brightfold::test {
namespace {

const std::vector<uint8_t> kCard = patterned(20 << 20);

/// A record of `length` bytes at `start`, with the digest of those bytes in `digested` unless that is empty.
CarvedFile recordOf(uint64_t start, uint64_t length, std::string ext = "jpg", const std::vector<uint8_t>& digested = kCard)
{
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
    if (!digested.empty())
        file.headDigest = CarvedFile::headDigestOf(std::span(digested).subspan(start, std::min<uint64_t>(length, 4096)));
    return file;
}

/// A small tmpfs mounted over `where` for the life of the object, when this process may mount.
struct SmallFileSystem {
    SmallFileSystem(const std::filesystem::path& where, const char* options, unsigned long flags = 0)
        : path(where), mounted(std::filesystem::create_directories(where) && ::mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0) { }
    ~SmallFileSystem() { if (mounted) ::umount2(path.c_str(), MNT_DETACH); }
    std::filesystem::path path;
    bool mounted;
};

/// Every regular file under `folder`, relative to it, sorted: a partial copy or report would show here.
std::vector<std::string> filesUnder(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            names.push_back(entry.path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CarveExporterTest, EachFileIsSavedChangedOrFailed)
{
    TemporaryFolder folder;
    SparseSource card(20 << 20);
    card.place(0, kCard).place(16384, std::vector<uint8_t>(4096, 0xEE)); // written over since the scan
    std::tie(card.failFrom, card.failTo) = std::pair(40000, 41000);
    auto large = recordOf(1'048'576, 9'000'000), sameName = recordOf(1'048'700, 2000, "jpg", {}), changed = recordOf(16384, 8192);
    auto undigested = recordOf(16384, 8192, "png", {}), copyFails = recordOf(32768, 10000, "gif", {}), headFails = recordOf(40960, 100);
    auto atEnd = recordOf(0, 100), beyond = atEnd, wraps = atEnd, runsOver = recordOf((20 << 20) - 4096, 4096);
    std::tie(atEnd.start, beyond.start, wraps.start, runsOver.length) = std::tuple(20 << 20, 10'000'000'000, UINT64_MAX - 50, UINT64_MAX);
    auto written = recordOf(12 << 20, 4 << 20, "mov"); // head intact, one MiB written over its middle since the scan
    written.sampleDigests.emplace();
    for (const auto& range : SampleDigests::ranges(written.length))
        written.sampleDigests->push_back(SampleDigests::digestOf(std::span(kCard).subspan(written.start + range.offset, range.count)));
    card.place((12 << 20) + 1'500'000, std::vector<uint8_t>(1 << 20, 0xE5));
    std::vector<std::pair<int64_t, int64_t>> progress;
    auto result = CarveExporter().exportFiles({ large, sameName, changed, written, undigested, copyFails, headFails, atEnd, beyond, wraps, runsOver }, card,
        folder.path() / "saved", [&](int64_t done, int64_t total) { progress.push_back({ done, total }); });
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { large, sameName, undigested }));
    EXPECT_EQ(result.changed, (std::vector<CarvedFile> { changed, written }));
    EXPECT_EQ(result.failedFiles(), (std::vector<CarvedFile> { copyFails, headFails, atEnd, beyond, wraps, runsOver }));
    EXPECT_EQ(progress.size(), 12u) << "progress from 0 of 11 to 11 of 11";
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048.jpg"), card.read(1'048'576, 9'000'000)) << "spans several copy pieces";
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048-1.jpg"), card.read(1'048'700, 2000));
    EXPECT_EQ(CarveReport::readFile(folder.path() / "saved" / CarveReport::kFileName).files, result.saved);
    int asked = 0;
    result = CarveExporter().exportFiles({ sameName, large }, card, folder.path() / "cancelled", {}, [&] { return ++asked == 3; });
    EXPECT_EQ(std::tuple(result.saved, result.outcome()), std::tuple(std::vector<CarvedFile> { sameName }, ExportOutcome::cancelled)) << "cancelled inside the second copy";
    EXPECT_EQ(filesUnder(folder.path() / "cancelled"), (std::vector<std::string> { "JPG/f2048.jpg", CarveReport::kFileName })) << "no partial copy is left";

    SmallFileSystem full(folder.path() / "small", "size=1m,mode=0755"), readOnly(folder.path() / "readonly", "size=1m", MS_RDONLY);
    if (!full.mounted || !readOnly.mounted)
        SKIP_WITHOUT_CAPABILITY("cannot mount a small file system here");
    auto fits = recordOf(1 << 20, 200'000), tooLarge = recordOf(2 << 20, 2'000'000, "png"), fitsLater = recordOf(3 << 20, 1000, "gif");
    result = CarveExporter().exportFiles({ fits, tooLarge, fitsLater }, card, full.path);
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { fits, fitsLater }));
    EXPECT_EQ(result.failed, (std::vector<CarveExporter::FailedFile> { { tooLarge, "No space left on device", true } }));
    EXPECT_EQ(result.outcome(), ExportOutcome::partial);
    EXPECT_EQ(filesUnder(full.path), (std::vector<std::string> { "GIF/f6144.gif", "JPG/f2048.jpg", CarveReport::kFileName })) << "no partial copy is left";
    EXPECT_EQ(readWholeFile(full.path / "JPG" / "f2048.jpg"), card.read(1 << 20, 200'000));
    std::ofstream(full.path / "filler", std::ios::binary) << std::string(1 << 20, 'x');
    result = CarveExporter().exportFiles({}, card, full.path);
    ASSERT_TRUE(result.reportError.has_value()) << "a full disk under the report is named";
    EXPECT_NE(std::string(result.reportError->what()).find("No space left on device"), std::string::npos) << result.reportError->what();
    EXPECT_NE(result.outcome(), ExportOutcome::complete);
    EXPECT_EQ(filesUnder(full.path).size(), 4u) << "no partial report is left";
    EXPECT_THROW(CarveExporter().exportFiles({ large }, card, readOnly.path), CarveError) << "a read-only destination is refused before anything is copied";
}

TEST(CarveExporterTest, NamedFilesGoUnderTheirFoldersWithTheirTimesAndRunsAreReadInOrder)
{
    TemporaryFolder folder;
    SparseSource card(20 << 20);
    card.place(0, kCard);
    auto fragmented = recordOf(8192, 6000);
    fragmented.runs = std::vector<SourceRun> { { 8192, 4096 }, { 65536, 1904 } };
    std::vector<uint8_t> joined(kCard.begin() + 8192, kCard.begin() + 8192 + 4096);
    joined.insert(joined.end(), kCard.begin() + 65536, kCard.begin() + 65536 + 1904);
    fragmented.headDigest = CarvedFile::headDigestOf(std::span(joined).first(4096));
    fragmented.sampleDigests = std::vector<std::string> { SampleDigests::digestOf(std::span(joined).subspan(6000 - 4096)) };
    std::tie(fragmented.name, fragmented.folder, fragmented.modified) = std::tuple("Beach.jpg", "DCIM/100CANON", "2024-05-01T12:34:56");
    auto sameName = recordOf(100'000, 10);
    std::tie(sameName.name, sameName.folder, sameName.modified) = std::tuple("Beach.jpg", "DCIM/100CANON", "2024-05-01T12:34:56+02:00");
    auto hostile = recordOf(200'000, 10);
    std::tie(hostile.name, hostile.folder, hostile.modified) = std::tuple("x.jpg", "../../..//./escape", "not a time");
    auto unnamable = recordOf(300'000, 10);
    unnamable.name = "..";
    auto changedRun = fragmented;
    changedRun.runs = std::vector<SourceRun> { { 8192, 4096 }, { 131072, 1904 } }; // its second piece holds other bytes now
    changedRun.folder = "TRIP/DAY1";

    auto result = CarveExporter().exportFiles({ fragmented, sameName, hostile, unnamable, changedRun }, card, folder.path());
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { fragmented, sameName, hostile, unnamable }));
    EXPECT_EQ(result.changed, (std::vector<CarvedFile> { changedRun }));
    EXPECT_EQ(filesUnder(folder.path()), (std::vector<std::string> { "DCIM/100CANON/Beach-1.jpg", "DCIM/100CANON/Beach.jpg", "JPG/f390.jpg",
                                             "JPG/f585.jpg", CarveReport::kFileName }))
        << "a name or folder that cannot be a path gives way to the sector name";
    EXPECT_EQ(readWholeFile(folder.path() / "DCIM/100CANON/Beach.jpg"), joined);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "TRIP")) << "no folders are left for a file not saved";
    std::tm when {};
    when.tm_year = 124, when.tm_mon = 4, when.tm_mday = 1, when.tm_hour = 12, when.tm_min = 34, when.tm_sec = 56, when.tm_isdst = -1;
    struct stat status {};
    ASSERT_EQ(::stat((folder.path() / "DCIM/100CANON/Beach.jpg").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, std::mktime(&when)) << "the original time, as local time";
    ASSERT_EQ(::stat((folder.path() / "DCIM/100CANON/Beach-1.jpg").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, ::timegm(&when) - 2 * 3600) << "a time with its offset from UTC";
}

TEST(CarveExporterTest, NothingIsWrittenOutsideTheDestinationWhateverWaitsThere)
{
    // Guards against a link planted in the destination (or a folder another program swaps for one) leading
    // a save outside it, and against a path too deep to make losing the file.
    TemporaryFolder folder;
    SparseSource card(20 << 20);
    card.place(0, kCard);
    const auto destination = folder.path() / "saved", outside = folder.path() / "outside";
    std::filesystem::create_directories(destination / "DCIM");
    std::filesystem::create_directories(outside);
    std::filesystem::create_directory_symlink(outside, destination / "JPG");
    std::filesystem::create_directory_symlink(outside, destination / "DCIM" / "100CANON");
    auto unnamed = recordOf(1 << 20, 1000), linked = recordOf(2 << 20, 1000), named = recordOf(3 << 20, 1000, "png"), deep = recordOf(4 << 20, 1000, "png");
    std::tie(linked.name, linked.folder) = std::tuple("IMG_0001.JPG", "DCIM/100CANON");
    std::tie(named.name, named.folder) = std::tuple("Beach.png", "TRIP");
    deep.name = "deep.png";
    deep.folder = "";
    for (int level = 0; level < 40; ++level)
        *deep.folder += (level ? "/" : "") + std::string(120, 'd');

    auto result = CarveExporter().exportFiles({ unnamed, linked, named, deep }, card, destination);
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing went through the links";
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { named, deep }));
    EXPECT_EQ(result.failedFiles(), (std::vector<CarvedFile> { unnamed, linked })) << "the folder of their kind is a link";
    EXPECT_EQ(filesUnder(destination), (std::vector<std::string> { "PNG/f8192.png", "TRIP/Beach.png", CarveReport::kFileName }))
        << "a folder too deep to make gives way to the folder of the file's kind";
    EXPECT_EQ(readWholeFile(destination / "PNG" / "f8192.png"), card.read(4 << 20, 1000));
}

}
}
