#include "FatImageBuilder.hpp"
#include "carve/CarveEngine.hpp"
#include "carve/CarverRegistry.hpp"
#include "carve/filesystems/FileSystemRecovery.hpp"
#include "carve/RunSource.hpp"
#include "device/MemorySource.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include <gtest/gtest.h>

#include <functional>

using namespace brightfold;
using namespace brightfold::test;

namespace {

using Entry = FatImageBuilder::Entry;

std::vector<uint8_t> bytesOf(const ByteSourcePtr& source, const CarvedFile& file)
{
    RunSource view(source, file.pieces());
    return view.read(0, static_cast<int64_t>(file.length));
}

/// Photos of three clusters as a next-free allocator splits them around what
/// holds the cluster after their first: a live file, a small deleted photo, junk.
struct Card {
    FatImageBuilder image;
    std::vector<uint8_t> live, aroundLive, small, aroundDeleted, aroundJunk;

    Card(FatKind kind, uint32_t clusters)
        : image(kind, clusters, kind == FatKind::exfat ? 2 : 1) // exFAT's entry sets need a root of two sectors
        , live(jpegPhoto(1100, 1)), aroundLive(jpegPhoto(1200, 2)), small(jpegPhoto(200, 3)), aroundDeleted(jpegPhoto(1250, 4))
        , aroundJunk(jpegPhoto(1150, 5))
    {
        auto entry = [&](std::string name, const std::vector<uint8_t>& bytes, uint32_t first, bool deleted) {
            // The short name starts as the long one does: all a deleted entry's own name keeps of it.
            image.entry(0, { .longName = name, .shortName = name.substr(0, 1) + "_" + std::to_string(first) + "    JPG", .firstCluster = first,
                               .size = static_cast<uint32_t>(bytes.size()), .deleted = deleted });
        };
        image.entry(0, { .longName = "DCIM", .shortName = "DCIM       ", .firstCluster = 10, .directory = true }).chain({ 10 });
        image.entry(10, { .longName = "Live.jpg", .shortName = "LIVE    JPG", .firstCluster = 20, .size = static_cast<uint32_t>(live.size()) });
        image.chain({ 20, 21, 22 }).data({ 20, 21, 22 }, live);
        entry("Around live.jpg", aroundLive, 30, true);
        image.data({ 30, 32, 33 }, aroundLive);
        image.entry(0, { .longName = "keep.bin", .shortName = "KEEP    BIN", .firstCluster = 31, .size = 512 }).chain({ 31 }).data({ 31 }, patterned(512));
        entry("Around deleted.jpg", aroundDeleted, 40, true);
        image.data({ 40, 42, 43 }, aroundDeleted);
        entry("Small.jpg", small, 41, true);
        image.data({ 41 }, small);
        entry("Around junk.jpg", aroundJunk, 50, true);
        image.data({ 50, 52, 53 }, aroundJunk).data({ 51 }, patterned(512));
    }
};

}

TEST(FileSystemRecoveryTest, ProvesChainsRunsAndFreeClustersOnEveryKind)
{
    for (auto [kind, clusters] : std::vector<std::pair<FatKind, uint32_t>> { { FatKind::fat12, 200 }, { FatKind::fat16, 5000 },
             { FatKind::fat32, 66000 }, { FatKind::exfat, 200 } }) {
        SCOPED_TRACE(static_cast<int>(kind));
        Card card(kind, clusters);
        auto source = std::make_shared<MemorySource>(card.image.bytes());
        ReadContext context(source);
        auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end())).recover(context, {});

        struct Expected {
            std::string name;
            const std::vector<uint8_t>* bytes;
            size_t runs;
        };
        // The photo split around junk is not proven, and nothing false is made of it.
        std::vector<Expected> expected { { "Live.jpg", &card.live, 1 }, { "Around live.jpg", &card.aroundLive, 2 },
            { "Around deleted.jpg", &card.aroundDeleted, 2 }, { "Small.jpg", &card.small, 1 } };
        ASSERT_EQ(found.size(), expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            SCOPED_TRACE(expected[i].name);
            EXPECT_EQ(found[i].name, expected[i].name);
            EXPECT_EQ(found[i].folder, i == 0 ? "DCIM" : "");
            EXPECT_EQ(found[i].modified, "2024-05-01T12:34:56");
            EXPECT_EQ(found[i].ext, "jpg");
            EXPECT_EQ(found[i].pieces().size(), expected[i].runs);
            EXPECT_EQ(found[i].runs.has_value(), expected[i].runs > 1);
            EXPECT_EQ(bytesOf(source, found[i]), *expected[i].bytes);
            EXPECT_EQ(found[i].headDigest, CarvedFile::headDigestOf(*expected[i].bytes));
        }
    }
}

TEST(FileSystemRecoveryTest, RunsOfFragmentedFilesCoverEveryWalkOfRecover)
{
    // Guards against the scan keeping too little for the walks that follow it: each
    // read recover() makes of a file in more than one run lies in those runs.
    for (auto [kind, clusters] : std::vector<std::pair<FatKind, uint32_t>> { { FatKind::fat12, 200 }, { FatKind::fat16, 5000 },
             { FatKind::fat32, 66000 }, { FatKind::exfat, 200 } }) {
        SCOPED_TRACE(static_cast<int>(kind));
        Card card(kind, clusters);
        // A live file split in three runs as well.
        auto split = jpegPhoto(1300, 6);
        card.image.entry(10, { .longName = "Split.jpg", .shortName = "SPLIT   JPG", .firstCluster = 60, .size = static_cast<uint32_t>(split.size()) });
        card.image.chain({ 60, 62, 64 }).data({ 60, 62, 64 }, split);
        auto source = std::make_shared<MemorySource>(card.image.bytes());
        ReadContext context(source);
        auto runs = FileSystemRecovery::runsOfFragmentedFiles(context);
        auto at = [&](uint32_t cluster, uint32_t count) { return SourceRun { card.image.clusterOffset(cluster), uint64_t { count } * (card.image.clusterOffset(3) - card.image.clusterOffset(2)) }; };
        // Around live.jpg skips the live cluster 31; Around deleted.jpg may skip 41, which Small.jpg claims.
        std::vector<SourceRun> expected { at(30, 1), at(32, 2), at(40, 4), at(60, 1), at(62, 1), at(64, 1) };
        std::sort(runs.begin(), runs.end(), [](const SourceRun& a, const SourceRun& b) { return a.offset < b.offset; });
        if (kind != FatKind::exfat) { // exFAT's clusters are larger here: the photos take fewer
            EXPECT_EQ(runs, expected);
        }
        size_t walked = 0;

        auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end())).recover(context, {});
        for (const auto& file : found) {
            if (!file.runs)
                continue;
            SCOPED_TRACE(*file.name);
            ++walked;
            for (const auto& piece : *file.runs)
                EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [&](const SourceRun& run) { return run.offset <= piece.offset && piece.offset + piece.length <= run.offset + run.length; }));
        }
        EXPECT_EQ(walked, 3u) << "Around live.jpg, Around deleted.jpg and Split.jpg";
    }
}

TEST(FileSystemRecoveryTest, RunsForeseenForDeletedFilesAreBoundedWhereTheirRunsOverlap)
{
    // Guards against the look at a reused card following each deleted file's free clusters
    // through every other deleted file's run (work growing with files times clusters).
    FatImageBuilder image(FatKind::fat16, 5000);
    constexpr uint32_t kOthers = 50, kOwnClusters = 3, kOtherClusters = 4;
    image.entry(0, { .shortName = "E       JPG", .firstCluster = 100, .size = kOwnClusters * 512, .deleted = true });
    for (uint32_t i = 0; i < kOthers; ++i) { // clusters 101 to 200, each in two deleted runs
        std::string name = std::to_string(100 + i); // appended, not added: GCC 12 at -O2 warns of overlap on "F" + …
        name.insert(0, 1, 'F').append("    JPG");
        image.entry(0, { .shortName = name, .firstCluster = 101 + 2 * i, .size = kOtherClusters * 512, .deleted = true });
    }
    auto source = std::make_shared<MemorySource>(image.bytes());
    ReadContext context(source);
    uint64_t kept = 0;
    for (const auto& run : FileSystemRecovery::runsOfFragmentedFiles(context))
        kept += run.length;
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, uint64_t { kOwnClusters + kOthers * kOtherClusters } * 2 * 512) << "at most twice each file's own clusters";
}

TEST(FileSystemRecoveryTest, ExfatFollowsTheNoFatChainRunAndASurvivingChain)
{
    FatImageBuilder image(FatKind::exfat, 200);
    auto contiguous = jpegPhoto(1300, 7), chained = jpegPhoto(1000, 8);
    image.entry(0, { .longName = "Contiguous.jpg", .firstCluster = 20, .size = static_cast<uint32_t>(contiguous.size()), .deleted = true, .contiguous = true,
                       .utcOffset = 0x80 | 0x6C }); // valid, -20 quarters: UTC-5
    image.data({ 20, 21, 22 }, contiguous);
    // exFAT leaves a deleted file's chain in the FAT and clears its bits in the bitmap.
    image.entry(0, { .longName = "Chained.jpg", .firstCluster = 30, .size = static_cast<uint32_t>(chained.size()), .deleted = true });
    image.chain({ 30, 35, 31 }).setBit(30, false).setBit(35, false).setBit(31, false).data({ 30, 35, 31 }, chained);

    auto source = std::make_shared<MemorySource>(image.bytes());
    ReadContext context(source);
    auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end())).recover(context, {});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "Contiguous.jpg");
    EXPECT_EQ(found[0].modified, "2024-05-01T12:34:56-05:00");
    EXPECT_EQ(bytesOf(source, found[0]), contiguous);
    EXPECT_EQ(found[1].name, "Chained.jpg");
    EXPECT_EQ(bytesOf(source, found[1]), chained);
}

TEST(FileSystemRecoveryTest, WhatTheScanDecidedAtAStartStandsForAFileInOneRun)
{
    FatImageBuilder image(FatKind::fat16, 5000);
    const auto photo = jpegPhoto(1200, 9);
    image.entry(0, { .longName = "Photo.jpg", .shortName = "PHOTO   JPG", .firstCluster = 30, .size = static_cast<uint32_t>(photo.size()), .deleted = true });
    image.data({ 30, 31, 32 }, photo);
    const uint64_t start = image.clusterOffset(30);
    auto carved = [&](uint64_t at, uint64_t length, CarveConfidence confidence) {
        CarvedFile file { at, length, "jpg", FormatCategory::photos, confidence, "", "carving's digest", std::nullopt };
        return file;
    };
    struct Row {
        std::string name;
        std::vector<CarvedFile> carved;
        std::optional<std::string> digest; ///< no value: nothing found
    };
    const std::string walked = CarvedFile::headDigestOf(photo);
    for (const Row& row : std::vector<Row> {
             { "carving proved it", { carved(start, photo.size(), kExact) }, "carving's digest" },
             { "carving found a file of another length there", { carved(start, photo.size() + 1, kExact) }, std::nullopt },
             { "carving guessed there", { carved(start, photo.size(), kHeuristic) }, std::nullopt },
             { "carving looked there and found nothing", { carved(0, 512, kExact) }, std::nullopt },
             { "carving skipped over it, inside an exact file", { carved(start - 512, 4096, kExact) }, walked },
             { "no scan to go by", {}, walked },
         }) {
        SCOPED_TRACE(row.name);
        ReadContext context(std::make_shared<MemorySource>(image.bytes()));
        auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end())).recover(context, row.carved);
        ASSERT_EQ(found.size(), row.digest ? 1u : 0u);
        EXPECT_EQ(found.empty() ? std::nullopt : found[0].headDigest, row.digest);
    }
}

TEST(FileSystemRecoveryTest, OnlyALiveFileMayGoOnPastItsStructureInItsLastCluster)
{
    // A RAW file with text after its structure was carved short; a deleted entry's
    // larger size may instead be another file written over it.
    const auto photo = jpegPhoto(1200, 10);
    for (bool deleted : { false, true }) {
        SCOPED_TRACE(deleted);
        FatImageBuilder image(FatKind::fat16, 5000);
        image.entry(0, { .longName = "Raw.jpg", .shortName = "RAW     JPG", .firstCluster = 30, .size = static_cast<uint32_t>(photo.size() + 18), .deleted = deleted });
        image.data({ 30, 31, 32 }, photo);
        if (!deleted)
            image.chain({ 30, 31, 32 });
        CarvedFile carved { image.clusterOffset(30), photo.size(), "jpg", FormatCategory::photos, kExact, "", std::nullopt, std::nullopt };
        for (const auto& scan : { std::vector<CarvedFile> { carved }, std::vector<CarvedFile> {} }) {
            ReadContext context(std::make_shared<MemorySource>(image.bytes()));
            auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end())).recover(context, scan);
            ASSERT_EQ(found.size(), deleted ? 0u : 1u);
            EXPECT_EQ(found.empty() ? 0 : found[0].length, deleted ? 0 : photo.size() + 18);
        }
    }
}

TEST(FileSystemRecoveryTest, ALiveFileTakesItsEntrysLengthWhateverCarvingMadeOfItsEnd)
{
    // Guards against a live MP3, whose end no structure tells, coming back unnamed as a guess.
    const auto song = readWholeFile(dataFile("audio/tone.mp3"));
    ASSERT_FALSE(song.empty());
    const uint64_t songClusters = (song.size() + 511) / 512;
    auto clustersFrom = [](uint32_t first, uint64_t count, uint32_t gapAfter) {
        std::vector<uint32_t> clusters;
        for (uint32_t cluster = first; clusters.size() < count; ++cluster)
            if (cluster != gapAfter + 1)
                clusters.push_back(cluster);
        return clusters;
    };
    struct Row {
        std::string name;
        bool fragmented;
        std::function<std::vector<CarvedFile>(uint64_t start)> carved;
        bool liveFound; ///< a deleted entry of the same bytes is never proven: carving cannot tell where the song ends
    };
    auto carved = [&](uint64_t at, uint64_t length, CarveConfidence confidence) {
        return std::vector<CarvedFile> { { at, length, "mp3", FormatCategory::audio, confidence, "", "carving's digest", std::nullopt } };
    };
    for (const Row& row : std::vector<Row> {
             { "carving guessed past its end", false, [&](uint64_t start) { return carved(start, song.size() + 70'000, kHeuristic); }, true },
             { "carving guessed short of its end", false, [&](uint64_t start) { return carved(start, 1024, kHeuristic); }, true },
             { "carving looked there and found nothing", false, [&](uint64_t) { return carved(0, 512, kExact); }, false },
             { "no scan to go by", false, [](uint64_t) { return std::vector<CarvedFile> {}; }, true },
             { "its chain jumps a cluster", true, [&](uint64_t start) { return carved(start, song.size() + 70'000, kHeuristic); }, true },
         }) {
        for (bool deleted : { false, true }) {
            SCOPED_TRACE(row.name + (deleted ? ", deleted" : ", live"));
            FatImageBuilder image(FatKind::fat16, 5000);
            const auto clusters = clustersFrom(30, songClusters, row.fragmented ? 31 : 0);
            image.entry(0, { .longName = "Tone.mp3", .shortName = "TONE    MP3", .firstCluster = 30, .size = static_cast<uint32_t>(song.size()), .deleted = deleted });
            image.data(clusters, song);
            if (!deleted)
                image.chain(clusters);
            auto source = std::make_shared<MemorySource>(image.bytes());
            ReadContext context(source);
            auto found = FileSystemRecovery(CarverRegistry::all(), CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()))
                             .recover(context, row.carved(image.clusterOffset(30)));
            ASSERT_EQ(found.size(), row.liveFound && !deleted ? 1u : 0u);
            if (found.empty())
                continue;
            EXPECT_EQ(std::tuple(found[0].name, found[0].ext, found[0].confidence, found[0].length), std::tuple("Tone.mp3", "mp3", kExact, song.size()));
            EXPECT_EQ(bytesOf(source, found[0]), song);
            EXPECT_EQ(found[0].runs.has_value(), row.fragmented);
            EXPECT_EQ(found[0].headDigest, CarvedFile::headDigestOf(std::span(song).first(std::min<size_t>(song.size(), CarvedFile::kHeadDigestBytes))))
                << "taken from the file's own bytes, not from carving's guess";
        }
    }
}

TEST(FileSystemRecoveryTest, MergeKeepsOneFilePerStart)
{
    auto carved = [](uint64_t start, uint64_t length, CarveConfidence confidence) {
        CarvedFile file { start, length, "jpg", FormatCategory::photos, confidence, "copy", std::nullopt, std::nullopt };
        return file;
    };
    auto named = [&](uint64_t start, uint64_t length, std::optional<std::vector<SourceRun>> runs = std::nullopt) {
        CarvedFile file = carved(start, length, kExact);
        std::tie(file.outputPath, file.name, file.folder, file.modified, file.runs) = std::tuple("", "a.jpg", "DCIM", "2024-05-01T00:00:00", runs);
        return file;
    };
    struct Row {
        std::string name;
        std::vector<CarvedFile> carved, recovered;
        std::vector<std::tuple<uint64_t, uint64_t, std::optional<std::string>, std::string>> expected; ///< start, length, name, outputPath
    };
    for (const Row& row : std::vector<Row> {
             { "the same bytes gain the name", { carved(512, 100, kExact) }, { named(512, 100) }, { { 512, 100, "a.jpg", "copy" } } },
             { "a guess is replaced", { carved(512, 900, kHeuristic) }, { named(512, 100) }, { { 512, 100, "a.jpg", "" } } },
             { "a truncated piece is replaced by the whole file", { carved(512, 512, kExact) },
                 { named(512, 1024, std::vector<SourceRun> { { 512, 512 }, { 4096, 512 } }) }, { { 512, 1024, "a.jpg", "" } } },
             { "new files go in order", { carved(0, 10, kExact), carved(4096, 10, kExact) }, { named(1024, 100) },
                 { { 0, 10, std::nullopt, "copy" }, { 1024, 100, "a.jpg", "" }, { 4096, 10, std::nullopt, "copy" } } },
         }) {
        SCOPED_TRACE(row.name);
        std::vector<std::tuple<uint64_t, uint64_t, std::optional<std::string>, std::string>> merged;
        for (const auto& file : FileSystemRecovery::merge(row.carved, row.recovered))
            merged.emplace_back(file.start, file.length, file.name, file.outputPath);
        EXPECT_EQ(merged, row.expected);
    }
}

TEST(FileSystemRecoveryTest, AScanNamesWhatCarvingFoundAndReassemblesWhatItCouldNot)
{
    Card card(FatKind::fat16, 5000);
    auto source = std::make_shared<MemorySource>(card.image.bytes());
    TemporaryFolder folder;
    CarveEngine engine(source, { .outputDirectory = folder.path(), .enabledCategories = CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()) });
    auto report = engine.run();
    std::map<std::string, const CarvedFile*> byName;
    for (const auto& file : report.files)
        if (file.name)
            byName[*file.name] = &file;
    ASSERT_EQ(byName.size(), 4u);
    EXPECT_FALSE(byName["Live.jpg"]->runs);
    EXPECT_EQ(bytesOf(source, *byName["Around live.jpg"]), card.aroundLive);
    // One file per start: the whole photo replaced the piece carving found at its first cluster.
    for (size_t i = 1; i < report.files.size(); ++i)
        EXPECT_LT(report.files[i - 1].start, report.files[i].start);
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), report);

    CarveEngine copying(source, { .outputDirectory = folder.path() / "copies", .enabledCategories = CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()),
                                    .output = CarveEngine::Config::OutputMode::files });
    auto copied = copying.run().files;
    auto whole = std::find_if(copied.begin(), copied.end(), [](const CarvedFile& file) { return file.name == "Around live.jpg"; });
    ASSERT_NE(whole, copied.end());
    EXPECT_EQ(readWholeFile(whole->outputPath), card.aroundLive) << "files mode copies the whole file, not the piece carving found";

    CarveEngine ignoring(source, { .outputDirectory = folder.path() / "plain", .enabledCategories = CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()),
                                     .fileSystems = CarveEngine::Config::FileSystems::ignore });
    auto plain = ignoring.run();
    EXPECT_TRUE(std::none_of(plain.files.begin(), plain.files.end(), [](const CarvedFile& file) { return file.name.has_value(); }));
}

TEST(FileSystemRecoveryTest, AScanWalksFragmentedFilesFromWhatItKept)
{
    // Guards against the file systems' walks reading again what the scan read.
    Card card(FatKind::fat16, 5000);
    struct RecordingSource final : public ByteSource {
        explicit RecordingSource(std::vector<uint8_t> bytes) : memory(std::move(bytes)) { }
        uint64_t size() const override { return memory.size(); }
        int64_t badReads() const override { return 0; }
        std::string descriptionForReport() const override { return "recording"; }
        size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
        {
            reads.push_back({ offset, buffer.size() });
            return memory.readInto(offset, buffer);
        }
        MemorySource memory;
        std::vector<SourceRun> reads;
    };
    for (auto fileSystems : { CarveEngine::Config::FileSystems::read, CarveEngine::Config::FileSystems::ignore }) {
        auto source = std::make_shared<RecordingSource>(card.image.bytes());
        TemporaryFolder folder;
        CarveEngine engine(source, { .outputDirectory = folder.path(), .enabledCategories = CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end()),
                                       .fileSystems = fileSystems });
        auto files = engine.run().files;
        const auto fragmented = std::count_if(files.begin(), files.end(), [](const CarvedFile& file) { return file.runs.has_value(); });
        EXPECT_EQ(fragmented, fileSystems == CarveEngine::Config::FileSystems::read ? 2 : 0);
        // The whole card is one chunk: every later read of a fragmented file's clusters is a second one.
        const uint64_t from = card.image.clusterOffset(30), to = card.image.clusterOffset(44);
        auto again = std::count_if(source->reads.begin() + 1, source->reads.end(), [&](const SourceRun& read) { return read.offset < to && from < read.offset + read.length; });
        EXPECT_EQ(again, 0);
    }
}

