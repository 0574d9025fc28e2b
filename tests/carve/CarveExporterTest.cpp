#include "TestSupport.hpp"

#include "carve/CarveError.hpp"
#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>

namespace brightfold::test {
namespace {

const std::vector<uint8_t> kCard = patterned(20 << 20);

/// A record of `length` bytes at `start`, with the digest of those bytes in `digested` unless that is empty.
CarvedFile recordOf(uint64_t start, uint64_t length, std::string ext = "jpg", const std::vector<uint8_t>& digested = kCard)
{
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt };
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
    std::vector<std::pair<int64_t, int64_t>> progress;
    auto result = CarveExporter().exportFiles({ large, sameName, changed, undigested, copyFails, headFails, atEnd, beyond, wraps, runsOver }, card,
        folder.path() / "saved", [&](int64_t done, int64_t total) { progress.push_back({ done, total }); });
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { large, sameName, undigested }));
    EXPECT_EQ(result.changed, std::vector<CarvedFile> { changed });
    EXPECT_EQ(result.failed, (std::vector<CarvedFile> { copyFails, headFails, atEnd, beyond, wraps, runsOver }));
    EXPECT_EQ(progress.size(), 11u) << "progress from 0 of 10 to 10 of 10";
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048.jpg"), card.read(1'048'576, 9'000'000)) << "spans several copy pieces";
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048-1.jpg"), card.read(1'048'700, 2000));
    EXPECT_EQ(CarveReport::readFile(folder.path() / "saved" / CarveReport::kFileName).files, result.saved);
    int asked = 0;
    result = CarveExporter().exportFiles({ large, sameName }, card, folder.path() / "cancelled", {}, [&] { return ++asked == 2; });
    EXPECT_EQ(result.saved, std::vector<CarvedFile> { large }) << "cancelled before the second file";

    SmallFileSystem full(folder.path() / "small", "size=1m,mode=0755"), readOnly(folder.path() / "readonly", "size=1m", MS_RDONLY);
    if (!full.mounted || !readOnly.mounted)
        GTEST_SKIP() << "cannot mount a small file system here";
    result = CarveExporter().exportFiles({ recordOf(1 << 20, 200'000), recordOf(2 << 20, 2'000'000, "png") }, card, full.path);
    EXPECT_EQ(std::pair(result.saved.size(), result.failed.size()), std::pair(size_t { 1 }, size_t { 1 })) << "a write error fails the file that does not fit";
    EXPECT_EQ(readWholeFile(full.path / "JPG" / "f2048.jpg"), card.read(1 << 20, 200'000));
    EXPECT_THROW(CarveExporter().exportFiles({ large }, card, readOnly.path), CarveError) << "a read-only destination is refused before anything is copied";
}

}
}
