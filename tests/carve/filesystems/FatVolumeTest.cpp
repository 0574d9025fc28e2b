#include "FatImageBuilder.hpp"
#include "carve/filesystems/FatVolume.hpp"
#include "device/MemorySource.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

using Entry = FatImageBuilder::Entry;

std::vector<FatEntry> entriesOf(const std::vector<uint8_t>& image, uint64_t offset = 0)
{
    ReadContext context(std::make_shared<MemorySource>(image));
    auto volume = FatVolume::open(context, offset);
    if (!volume)
        return {};
    return volume->entries(context);
}

/// A cluster of photo data: bytes no directory holds.
std::vector<uint8_t> jpegLikeBytes()
{
    std::vector<uint8_t> bytes = patterned(512);
    bytes[0] = 0xFF, bytes[1] = 0xD8;
    return bytes;
}

/// A card as a camera leaves it after some deletions: a folder with a live photo,
/// a deleted one with a long name, a deleted one with a short name only, and a
/// deleted folder with a file in it.
FatImageBuilder camera(FatKind kind, uint32_t clusters)
{
    FatImageBuilder card(kind, clusters);
    card.entry(0, { .longName = kind == FatKind::exfat ? "DCIM" : "", .shortName = "DCIM       ", .firstCluster = 10, .directory = true }).chain({ 10 });
    card.entry(10, { .longName = "Holiday photo.jpg", .shortName = "HOLIDA~1JPG", .firstCluster = 20, .size = 700 }).chain({ 20, 21 });
    card.entry(10, { .longName = "Deleted beach.jpg", .shortName = "DELETE~1JPG", .firstCluster = 30, .size = 600, .deleted = true });
    card.entry(10, { .longName = kind == FatKind::exfat ? "gone.png" : "", .shortName = "GONE    PNG", .firstCluster = 40, .size = 100, .deleted = true });
    card.entry(0, { .longName = kind == FatKind::exfat ? "OLD" : "", .shortName = "OLD        ", .firstCluster = 50, .deleted = true, .directory = true });
    card.entry(50, { .longName = kind == FatKind::exfat ? "a.gif" : "", .shortName = "A       GIF", .firstCluster = 51, .size = 10, .deleted = true });
    return card;
}

}

TEST(FatVolumeTest, ListsLiveAndDeletedEntriesWithNamesFoldersAndTimesOnEveryKind)
{
    struct Row {
        FatKind kind;
        uint32_t clusters;
        std::string shortDeletedName; ///< a deleted 8.3 name loses its first letter on FAT
    };
    for (const Row& row : std::vector<Row> { { FatKind::fat12, 200, "_ONE.PNG" }, { FatKind::fat16, 5000, "_ONE.PNG" },
             { FatKind::fat32, 66000, "_ONE.PNG" }, { FatKind::exfat, 200, "gone.png" } }) {
        SCOPED_TRACE(static_cast<int>(row.kind));
        auto image = camera(row.kind, row.clusters).bytes();
        ReadContext context(std::make_shared<MemorySource>(image));
        auto volume = FatVolume::open(context, 0);
        ASSERT_TRUE(volume);
        EXPECT_EQ(volume->kind(), row.kind);
        auto entries = volume->entries(context);
        std::vector<std::tuple<std::string, std::string, bool, uint32_t, uint64_t>> listed;
        for (const auto& entry : entries)
            listed.emplace_back(entry.folder, entry.name, entry.deleted, entry.firstCluster, entry.size);
        std::vector<std::tuple<std::string, std::string, bool, uint32_t, uint64_t>> expected {
            { "", "DCIM", false, 10, 0 },
            { "", row.kind == FatKind::exfat ? "OLD" : "_LD", true, 50, 0 },
            { "DCIM", "Holiday photo.jpg", false, 20, 700 },
            { "DCIM", "Deleted beach.jpg", true, 30, 600 },
            { "DCIM", row.shortDeletedName, true, 40, 100 },
            { row.kind == FatKind::exfat ? "OLD" : "_LD", row.kind == FatKind::exfat ? "a.gif" : "_.GIF", true, 51, 10 },
        };
        EXPECT_EQ(listed, expected);
        EXPECT_EQ(entries[2].modified, "2024-05-01T12:34:56");
    }
}

TEST(FatVolumeTest, LongNamePartsAreTheNameOnlyWhenTheyBelongToTheEntry)
{
    struct Row {
        std::string name;
        Entry entry;
        std::string expected;
    };
    for (const Row& row : std::vector<Row> {
             { "live, matching", { .longName = "Summer 2024.jpg", .shortName = "SUMMER~1JPG", .firstCluster = 5, .size = 1 }, "Summer 2024.jpg" },
             { "deleted, matching", { .longName = "Summer 2024.jpg", .shortName = "SUMMER~1JPG", .firstCluster = 5, .size = 1, .deleted = true }, "Summer 2024.jpg" },
             { "left over from another entry", { .longName = "Other.jpg", .shortName = "SUMMER~1JPG", .checksumOf = "OTHER   JPG", .firstCluster = 5, .size = 1 }, "SUMMER~1.JPG" },
             { "deleted, left over", { .longName = "Other.jpg", .shortName = "SUMMER~1JPG", .checksumOf = "OTHER   JPG", .firstCluster = 5, .size = 1, .deleted = true }, "_UMMER~1.JPG" },
             { "a slash in a long name", { .longName = "../../etc/passwd", .shortName = "PASSWD     ", .firstCluster = 5, .size = 1 }, ".._.._etc_passwd" },
             { "a long name of dots", { .longName = "..", .shortName = "DOTS       ", .firstCluster = 5, .size = 1 }, "DOTS" },
         }) {
        SCOPED_TRACE(row.name);
        FatImageBuilder card(FatKind::fat12, 100);
        card.entry(0, row.entry);
        auto entries = entriesOf(card.bytes());
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, row.expected);
    }
}

TEST(FatVolumeTest, ADeletedShortNameTakesItsFirstLetterFromNamesLikeIt)
{
    FatImageBuilder card(FatKind::fat16, 5000);
    card.entry(0, { .shortName = "DCIM       ", .firstCluster = 10, .directory = true }).chain({ 10 });
    card.entry(0, { .shortName = "RECORD     ", .firstCluster = 11, .directory = true }).chain({ 11 });
    card.entry(0, { .shortName = "REC0009 WAV", .firstCluster = 12, .size = 1 }).chain({ 12 });
    card.entry(10, { .shortName = "IMG_0001JPG", .firstCluster = 20, .size = 1 }).chain({ 20 });
    card.entry(10, { .shortName = "IMG_0002JPG", .firstCluster = 21, .size = 1, .deleted = true });
    card.entry(10, { .shortName = "MVI_0003MOV", .firstCluster = 22, .size = 1, .deleted = true });
    card.entry(11, { .shortName = "REC0001 WAV", .firstCluster = 23, .size = 1, .deleted = true });
    std::vector<std::string> names;
    for (const auto& entry : entriesOf(card.bytes()))
        names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string> { "DCIM", "RECORD", "REC0009.WAV", "IMG_0001.JPG", "IMG_0002.JPG", "_VI_0003.MOV", "REC0001.WAV" }));
}

TEST(FatVolumeTest, ADeletedFolderIsReadAcrossItsFreeClustersUpToItsEnd)
{
    // A deleted folder's chain is cleared: its entries beyond the first cluster were lost.
    struct Row {
        std::string name;
        bool liveFileAfterFirst;
        size_t expected;
    };
    for (const Row& row : std::vector<Row> { { "free clusters, then a photo", false, 32 }, { "a live file in its second cluster", true, 16 } }) {
        SCOPED_TRACE(row.name);
        FatImageBuilder card(FatKind::fat16, 5000);
        card.entry(0, { .shortName = "TRIP       ", .firstCluster = 60, .deleted = true, .directory = true });
        for (int i = 0; i < 32; ++i) // 16 entries fill cluster 60, 16 cluster 61, without an end
            card.entry(60, { .shortName = "IMG_" + std::to_string(1000 + i) + "JPG", .firstCluster = uint32_t(100 + i), .size = 1, .deleted = true });
        card.data({ 62 }, jpegLikeBytes());
        if (row.liveFileAfterFirst)
            card.chain({ 61 });
        EXPECT_EQ(entriesOf(card.bytes()).size(), 1 + row.expected);
    }
}

TEST(FatVolumeTest, DamagedStructuresEndTheirBranchOnly)
{
    // Faults: a directory chain looping back, a folder pointing at the root or at
    // itself, and one outside the volume, must neither hang nor lose the rest.
    FatImageBuilder card(FatKind::fat32, 66000);
    card.entry(0, { .shortName = "LOOP       ", .firstCluster = 10, .directory = true }).chain({ 10, 11 }).mark(11, 10);
    card.entry(10, { .shortName = "ROOT       ", .firstCluster = 2, .directory = true });
    card.entry(10, { .shortName = "SELF       ", .firstCluster = 10, .directory = true });
    card.entry(10, { .shortName = "FAR        ", .firstCluster = 0x0FFFFFF0, .directory = true });
    card.entry(10, { .shortName = "INSIDE  JPG", .firstCluster = 12, .size = 5 });
    card.entry(0, { .shortName = "AFTER   JPG", .firstCluster = 13, .size = 5 });
    auto entries = entriesOf(card.bytes());
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.folder + "/" + entry.name);
    EXPECT_EQ(names, (std::vector<std::string> { "/LOOP", "/AFTER.JPG", "LOOP/ROOT", "LOOP/SELF", "LOOP/FAR", "LOOP/INSIDE.JPG" }));

    ReadContext context(std::make_shared<MemorySource>(card.bytes()));
    auto volume = FatVolume::open(context, 0);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->chain(10, 100), (std::vector<uint32_t> { 10, 11 }));
    EXPECT_TRUE(volume->chain(0x0FFFFFF0, 1).empty());
}

TEST(FatVolumeTest, FindsTheVolumeAtTheStartOrInThePartitionTable)
{
    auto card = camera(FatKind::fat16, 5000);
    struct Row {
        std::string name;
        std::vector<uint8_t> image;
        std::vector<uint64_t> volumes;
    };
    auto noVolume = card.partitioned(64);
    noVolume[64 * 512] = 0; // the partition's boot sector is gone
    // A protective MBR, the GPT header at LBA 1 and its entries from LBA 2: one FAT partition at sector 64.
    ByteBuilder gpt;
    gpt.padTo(446).u8(0).fill(3).u8(0xEE).fill(3).u32le(1).u32le(0xFFFFFFFF).padTo(510).bytes({ 0x55, 0xAA });
    gpt.text("EFI PART").u32le(0x10000).u32le(92).padTo(512 + 72).u64le(2).u32le(128).u32le(128).padTo(1024);
    gpt.fill(16, 0xA2).fill(16, 0x11).u64le(64).u64le(64 + card.bytes().size() / 512).padTo(64 * 512).bytes(card.bytes());
    for (const Row& row : std::vector<Row> {
             { "volume at 0", card.bytes(), { 0 } },
             { "partition at sector 64", card.partitioned(64), { 64 * 512 } },
             { "partition without a boot sector", noVolume, {} },
             { "GPT partition at sector 64", gpt.build(), { 64 * 512 } },
             { "no signature", std::vector<uint8_t>(4096, 0), {} },
         }) {
        SCOPED_TRACE(row.name);
        ReadContext context(std::make_shared<MemorySource>(row.image));
        EXPECT_EQ(FatVolume::findVolumes(context), row.volumes);
    }
}
