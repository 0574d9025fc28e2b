#include "TestSupport.hpp"

#include "device/ByteCount.hpp"
#include "device/ExternalDisk.hpp"
#include "device/FileSource.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

TEST(ByteSourceTest, ReadsAreClippedToTheEnd)
{
    TemporaryFolder folder;
    const auto bytes = patterned(1000);
    writeWholeFile(folder.path() / "card.img", bytes);
    auto source = SourceOpener::open((folder.path() / "card.img").string());
    EXPECT_EQ(source->read(997, 10), std::vector<uint8_t>(bytes.end() - 3, bytes.end()));
    EXPECT_TRUE(source->read(5000, 10).empty());
    FileSource shrinking((folder.path() / "card.img").string());
    std::filesystem::resize_file(folder.path() / "card.img", 500); // a file cut short under an open source gives short reads
    EXPECT_EQ(shrinking.read(400, 400).size(), 100u);
}

TEST(ByteSourceTest, WhatCannotBeOpenedOrReadIsRefusedWithoutLeaks)
{
    TemporaryFolder folder;
    const std::string fifo = (folder.path() / "pipe").string(), missing = (folder.path() / "missing.img").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : { folder.path().string(), fifo, std::string("/dev/null"), missing }) { // /dev/null is opened, measured and refused
        const int before = openDescriptorCount();
        try {
            SourceOpener::open(path);
            ADD_FAILURE() << path << " was opened";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.what(), path == missing ? "Could not open " + path + ": No such file or directory" : path + " is not a readable file or device.");
        }
        EXPECT_EQ(openDescriptorCount(), before) << path;
    }
}

TEST(ExternalDiskTest, NamesSizesAndCardWords)
{
    EXPECT_EQ((ExternalDisk { "sdb", "Multi-Card", 0, { "EOS_DIGITAL", "Untitled" } }).displayName(), "EOS_DIGITAL, Untitled");
    EXPECT_EQ((ExternalDisk { "sdb", "Multi-Card", 0, {} }).displayName(), "Multi-Card");
    EXPECT_EQ((ExternalDisk { "sdb", "", 0, {} }).displayName(), "sdb");
    for (auto [bytes, text] : { std::pair<uint64_t, const char*> { 0, "0 bytes" }, { 1, "1 byte" }, { 999, "999 bytes" }, { 1000, "1 KB" }, { 1'500'000, "1.5 MB" },
             { 999'960, "1 MB" }, { 63'864'569'856, "63.9 GB" }, { UINT64_MAX, "18.4 EB" } })
        EXPECT_EQ(formatByteCount(bytes), text);
    for (auto [name, isCard] : { std::pair { "Apple SDXC Reader", true }, { "USB3.0 CRW   -SD", true }, { "microSD/CF", true }, { "CFexpress", true }, { "Sony SxS", true },
             { "MMC DG4016", true }, { "Generic USB Flash Disk", false }, { "Cardinal", false }, { "SDcard", false }, { "", false } })
        EXPECT_EQ((ExternalDisk { "sdb", name, 0, {} }).isMemoryCard(), isCard) << name;
}

}
}
