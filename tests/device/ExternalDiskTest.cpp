#include "device/ExternalDisk.hpp"

#include <gtest/gtest.h>


using namespace brightfold;

TEST(ExternalDiskTest, DisplayNamePrefersVolumesThenMediaThenKernelName)
{
    EXPECT_EQ((ExternalDisk { "sdb", "Multi-Card", 0, { "EOS_DIGITAL", "Untitled" } }).displayName(), "EOS_DIGITAL, Untitled");
    EXPECT_EQ((ExternalDisk { "sdb", "Multi-Card", 0, {} }).displayName(), "Multi-Card");
    EXPECT_EQ((ExternalDisk { "sdb", "", 0, {} }).displayName(), "sdb");
}

TEST(ExternalDiskTest, PathsAndSizesAreThoseOfTheWholeDisk)
{
    ExternalDisk card { "mmcblk0", "SD SL32G", 64'000'000'000, {} };
    EXPECT_EQ(card.rawDevicePath(), "/dev/mmcblk0");
    EXPECT_EQ(card.id(), "mmcblk0");
    EXPECT_EQ(card.sizeDescription(), "64 GB");
    EXPECT_EQ((ExternalDisk { "sdb", "", 0, {} }).sizeDescription(), "0 bytes");
}

TEST(ExternalDiskTest, MemoryCardsAreKnownByWholeCardWords)
{
    const std::vector<std::pair<const char*, bool>> cases {
        { "Apple SDXC Reader", true },
        { "Built In SDXC Reader", true },
        { "SD SL32G", true },
        { "Multi-Card", true },
        { "USB3.0 CRW   -SD", true },
        { "microSD/CF", true },
        { "CFexpress", true },
        { "Sony SxS", true },
        { "MMC DG4016", true },
        { "Generic USB Flash Disk", false },
        { "Cardinal", false },
        { "SDcard", false }, // one word, not a card word
        { "Elements 25A2", false },
        { "", false },
    };
    for (const auto& [name, isCard] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ((ExternalDisk { "sdb", name, 0, {} }).isMemoryCard(), isCard);
    }
}
