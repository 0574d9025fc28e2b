#include "FormatBuilders.hpp"
#include "carve/formats/BMPCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// A bitmap's file header and the size field of its information header:
/// "BM", u32 file size, two reserved u16, u32 pixel-data offset, u32 header size.
std::vector<uint8_t> bmpHeader(uint32_t fileSize, uint32_t pixelOffset, uint32_t informationHeaderSize)
{
    return ByteBuilder().text("BM").u32le(fileSize).u16le(0).u16le(0).u32le(pixelOffset).u32le(informationHeaderSize).build();
}

/// A bitmap of `fileSize` bytes whose source ends right after it.
std::vector<uint8_t> bmp(uint32_t fileSize, uint32_t pixelOffset = 54, uint32_t informationHeaderSize = 40)
{
    auto bytes = bmpHeader(fileSize, pixelOffset, informationHeaderSize);
    bytes.resize(fileSize, 0x7F);
    return bytes;
}

const BMPCarver kCarver;

TEST(BMPCarverTest, StatedSizeIsTheExactLength)
{
    auto match = carveEmbedded(kCarver, bmp(200), 512, 1000);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 200u);
    EXPECT_EQ(match->ext, "bmp");
    EXPECT_EQ(match->category, FormatCategory::photos);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(BMPCarverTest, FileSizeBelowFiftyEightIsNoMatch)
{
    EXPECT_FALSE(carveWhole(kCarver, bmp(57, 26)));
    EXPECT_TRUE(carveWhole(kCarver, bmp(58, 26)));
}

TEST(BMPCarverTest, FileSizeAbove256MiBIsNoMatch)
{
    constexpr uint32_t kLargest = 0x1000'0000;
    for (auto [size, accepted] : { std::pair<uint32_t, bool> { kLargest, true }, { kLargest + 1, false }, { 0xFFFF'FFFF, false } }) {
        SCOPED_TRACE(size);
        auto source = std::make_shared<SparseSource>(uint64_t { size });
        source->place(0, bmpHeader(size, 54, 40));
        ReadContext context(source);
        auto match = kCarver.carve(0, context);
        EXPECT_EQ(match.has_value(), accepted);
        if (match) {
            EXPECT_EQ(match->length, size);
        }
    }
}

TEST(BMPCarverTest, PixelOffsetOutsideTheFileIsNoMatch)
{
    for (auto [offset, accepted] : { std::pair<uint32_t, bool> { 25, false }, { 26, true }, { 99, true }, { 100, false }, { 0xFFFF'FFFF, false } }) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(carveWhole(kCarver, bmp(100, offset)).has_value(), accepted);
    }
}

TEST(BMPCarverTest, OnlyKnownInformationHeaderSizesMatch)
{
    for (uint32_t size : { 12, 40, 52, 56, 64, 108, 124 }) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(carveWhole(kCarver, bmp(300, 138, size)));
    }
    for (uint32_t size : { 0, 16, 20, 41, 128 }) {
        SCOPED_TRACE(size);
        EXPECT_FALSE(carveWhole(kCarver, bmp(300, 138, size)));
    }
}

TEST(BMPCarverTest, StatedSizeRunningPastTheSourceIsNoMatch)
{
    auto bytes = bmp(300);
    bytes.pop_back();
    EXPECT_FALSE(carveWhole(kCarver, bytes));
    EXPECT_FALSE(carveWhole(kCarver, bmpHeader(300, 54, 40)));
}

TEST(BMPCarverTest, RealEncoderFilesAreExact)
{
    for (const char* name : { "v3.bmp", "v5.bmp", "os2.bmp" }) {
        SCOPED_TRACE(name);
        auto file = imageFile(name);
        ASSERT_FALSE(file.empty());
        auto match = carveEmbedded(kCarver, file, 1536, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
    }
}

}
}
