#include "TestSupport.hpp"

#include "carve/CarveError.hpp"
#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>

namespace brightfold::test {
namespace {

CarvedFile recordOf(const std::vector<uint8_t>& source, uint64_t start, uint64_t length, std::string ext = "jpg", bool withDigest = true)
{
    CarvedFile file { start, length, std::move(ext), FormatCategory::photos, CarveConfidence::exact, "", std::nullopt };
    if (withDigest)
        file.headDigest = CarvedFile::headDigestOf(std::span(source).subspan(start, std::min<uint64_t>(length, 4096)));
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
    auto original = patterned(20 * 1024 * 1024);
    auto card = original;
    std::fill_n(card.begin() + 16384, 4096, 0xEE); // written over since the scan
    SparseSource source(card.size());
    source.place(0, card);
    std::tie(source.failFrom, source.failTo) = std::pair(40000, 41000);
    auto large = recordOf(card, 1'048'576, 9'000'000); // spans several copy pieces
    auto sameName = recordOf(card, 1'048'700, 2000, "jpg", false);
    auto changed = recordOf(original, 16384, 8192);
    auto undigestedChanged = recordOf(original, 16384, 8192, "png", false);
    auto copyFails = recordOf(card, 32768, 10000, "gif", false);
    auto headFails = recordOf(original, 40960, 100);
    CarvedFile atEnd = recordOf(card, 0, 100), beyond = atEnd, wraps = atEnd, runsOver = recordOf(card, 20 * 1024 * 1024 - 4096, 4096);
    atEnd.start = card.size();
    beyond.start = 10'000'000'000;
    wraps.start = UINT64_MAX - 50;
    runsOver.length = UINT64_MAX;
    std::vector<std::pair<int64_t, int64_t>> progress;
    auto result = CarveExporter().exportFiles({ large, sameName, changed, undigestedChanged, copyFails, headFails, atEnd, beyond, wraps, runsOver }, source,
        folder.path() / "saved", [&](int64_t done, int64_t total) { progress.push_back({ done, total }); });

    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { large, sameName, undigestedChanged }));
    EXPECT_EQ(result.changed, std::vector<CarvedFile> { changed });
    EXPECT_EQ(result.failed, (std::vector<CarvedFile> { copyFails, headFails, atEnd, beyond, wraps, runsOver }));
    EXPECT_EQ(std::pair(progress.front(), progress.back()), std::pair(std::pair<int64_t, int64_t> { 0, 10 }, std::pair<int64_t, int64_t> { 10, 10 }));
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048.jpg"), source.read(1'048'576, 9'000'000));
    EXPECT_EQ(readWholeFile(folder.path() / "saved" / "JPG" / "f2048-1.jpg"), source.read(1'048'700, 2000));
    EXPECT_EQ(CarveReport::readFile(folder.path() / "saved" / CarveReport::kFileName).files, result.saved);

    int asked = 0;
    result = CarveExporter().exportFiles({ large, sameName, undigestedChanged }, source, folder.path() / "cancelled", {}, [&] { return ++asked == 2; });
    EXPECT_EQ(result.saved, std::vector<CarvedFile> { large }) << "cancelled before the second file";
}

TEST(CarveExporterTest, FullOrReadOnlyDestination)
{
    TemporaryFolder folder;
    auto bytes = patterned(4 * 1024 * 1024);
    MemorySource source(bytes);
    SmallFileSystem full(folder.path() / "small", "size=1m,mode=0755");
    SmallFileSystem readOnly(folder.path() / "readonly", "size=1m", MS_RDONLY);
    if (!full.mounted || !readOnly.mounted)
        GTEST_SKIP() << "cannot mount a small file system here";
    std::vector<CarvedFile> files { recordOf(bytes, 0, 200'000), recordOf(bytes, 1024 * 1024, 2'000'000, "png") };
    auto result = CarveExporter().exportFiles(files, source, full.path / "saved");
    EXPECT_EQ(result.saved, std::vector<CarvedFile> { files[0] }) << "a write error fails the file that does not fit";
    EXPECT_EQ(result.failed, std::vector<CarvedFile> { files[1] });
    EXPECT_EQ(readWholeFile(full.path / "saved" / "JPG" / "f0.jpg"), source.read(0, 200'000));
    EXPECT_THROW(CarveExporter().exportFiles(files, source, readOnly.path), CarveError) << "a read-only destination is refused before anything is copied";
}

}
}
