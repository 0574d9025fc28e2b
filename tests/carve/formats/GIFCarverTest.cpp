#include "FormatBuilders.hpp"
#include "carve/formats/GIFCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// Writes a GIF block by block. Colour tables are written with the size their
/// packed flags announce (3 × 2^(N + 1) bytes when bit 7 is set).
class GifBuilder {
public:
    explicit GifBuilder(std::string_view version = "GIF89a", uint16_t width = 1, uint16_t height = 1, uint8_t flags = 0)
    {
        m_bytes.text(version).u16le(width).u16le(height).u8(flags).u8(0).u8(0); // background index, aspect ratio
        colourTable(flags);
    }

    /// An extension: introducer, label, data sub-blocks of the given sizes, terminator.
    GifBuilder& extension(uint8_t label, const std::vector<size_t>& subBlockSizes)
    {
        m_bytes.u8(0x21).u8(label);
        return subBlocks(subBlockSizes);
    }
    /// A graphic control extension: one 4-byte sub-block.
    GifBuilder& graphicControl() { return extension(0xF9, { 4 }); }

    /// An image: descriptor, local colour table, LZW minimum code size, data sub-blocks, terminator.
    GifBuilder& image(uint16_t width, uint16_t height, uint8_t flags, const std::vector<size_t>& subBlockSizes)
    {
        m_bytes.u8(0x2C).u16le(0).u16le(0).u16le(width).u16le(height).u8(flags);
        colourTable(flags);
        m_bytes.u8(2);
        return subBlocks(subBlockSizes);
    }
    GifBuilder& trailer()
    {
        m_bytes.u8(0x3B);
        return *this;
    }
    GifBuilder& raw(const std::vector<uint8_t>& bytes)
    {
        m_bytes.bytes(bytes);
        return *this;
    }

    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    void colourTable(uint8_t flags)
    {
        if (flags & 0x80)
            m_bytes.fill(3u << ((flags & 7) + 1), 0x40);
    }
    GifBuilder& subBlocks(const std::vector<size_t>& sizes)
    {
        for (size_t size : sizes)
            m_bytes.u8(static_cast<uint8_t>(size)).fill(size, 0x55);
        m_bytes.u8(0);
        return *this;
    }

    ByteBuilder m_bytes;
};

const GIFCarver kCarver;

TEST(GIFCarverTest, ZeroWidthOrHeightIsNoMatch)
{
    for (auto [width, height] : { std::pair<uint16_t, uint16_t> { 0, 1 }, { 1, 0 }, { 0, 0 } }) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        EXPECT_FALSE(carveWhole(kCarver, GifBuilder("GIF89a", width, height).trailer().bytes()));
    }
}

TEST(GIFCarverTest, ColourTablesExtensionAndImageAreWalkedToTheTrailer)
{
    auto gif = GifBuilder("GIF89a", 16, 16, 0xF7) // global table of 3 × 256 bytes
                   .graphicControl()
                   .image(16, 16, 0x81, { 255, 255, 17 }) // local table of 3 × 4 bytes
                   .trailer()
                   .bytes();
    auto match = carveEmbedded(kCarver, gif, 1024, 300);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, gif.size());
    EXPECT_EQ(match->ext, "gif");
    EXPECT_EQ(match->category, FormatCategory::photos);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(GIFCarverTest, HeaderAndTrailerAloneIsFourteenBytes)
{
    for (const char* version : { "GIF87a", "GIF89a" }) {
        SCOPED_TRACE(version);
        auto match = carveEmbedded(kCarver, GifBuilder(version, 4, 4).trailer().bytes(), 0, 50);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, 14u);
    }
}

TEST(GIFCarverTest, GifCutAnywhereBeforeTheTrailerIsNoMatch)
{
    auto gif = GifBuilder("GIF89a", 8, 8, 0x80).extension(0xFE, { 5 }).image(8, 8, 0, { 20, 3 }).trailer().bytes();
    for (size_t length = 0; length < gif.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(carveWhole(kCarver, std::vector<uint8_t>(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(length))));
    }
}

TEST(GIFCarverTest, UnknownBlockIntroducerIsNoMatch)
{
    for (uint8_t introducer : { 0x00, 0x20, 0x2B, 0x3A, 0xFF }) {
        SCOPED_TRACE(int { introducer });
        auto gif = GifBuilder("GIF89a", 2, 2).image(2, 2, 0, { 4 }).raw({ introducer }).trailer().bytes();
        EXPECT_FALSE(carveEmbedded(kCarver, gif, 0, 100));
    }
}

// Guards the colour-table arithmetic: a table flag on the last header byte of the
// source, or on the last descriptor byte, must end in no match, not a read past the end.
TEST(GIFCarverTest, ColourTableFlagAtTheEndOfTheSourceIsNoMatch)
{
    auto headerLast = ByteBuilder().text("GIF89a").u16le(1).u16le(1).u8(0xF7).u8(0).u8(0).build();
    EXPECT_FALSE(carveWhole(kCarver, headerLast));
    auto descriptorLast = ByteBuilder().text("GIF89a").u16le(1).u16le(1).u8(0).u8(0).u8(0)
                              .u8(0x2C).u16le(0).u16le(0).u16le(1).u16le(1).u8(0x87)
                              .build();
    EXPECT_FALSE(carveWhole(kCarver, descriptorLast));
    auto tableCut = ByteBuilder().text("GIF87a").u16le(1).u16le(1).u8(0x87).u8(0).u8(0).fill(700).build();
    EXPECT_FALSE(carveWhole(kCarver, tableCut));
}

/// A GIF of exactly `total` bytes followed by `trailing` zeros: the header, then
/// one image whose data sub-blocks fill the file up to the terminator and the
/// trailer. Written into one buffer that is never copied: moving 64 MiB around is
/// slow under the sanitizers.
std::vector<uint8_t> gifOfLength(size_t total, size_t trailing)
{
    auto head = ByteBuilder()
                    .bytes(GifBuilder("GIF89a", 64, 64).bytes())
                    .u8(0x2C).u16le(0).u16le(0).u16le(64).u16le(64).u8(0) // image descriptor, no local table
                    .u8(2)                                                // LZW minimum code size
                    .build();
    std::vector<uint8_t> gif(total + trailing, 0x55);
    std::copy(head.begin(), head.end(), gif.begin());
    size_t at = head.size();
    for (size_t remaining = total - at - 2; remaining > 0;) {
        size_t take = std::min<size_t>(256, remaining); // a size byte and up to 255 data bytes
        if (remaining - take == 1)
            take -= 1; // never leave a lone byte, which would read as a terminator
        gif[at] = static_cast<uint8_t>(take - 1);
        at += take;
        remaining -= take;
    }
    gif[at] = 0x00;     // terminator
    gif[at + 1] = 0x3B; // trailer
    std::fill(gif.begin() + static_cast<std::ptrdiff_t>(total), gif.end(), uint8_t { 0 });
    return gif;
}

TEST(GIFCarverTest, BlocksReachingPastTheWalkWindowAreNoMatch)
{
    constexpr size_t kWindow = 0x400'0000; // 64 MiB
    auto match = carveWhole(kCarver, gifOfLength(kWindow, 16));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, kWindow);

    EXPECT_FALSE(carveWhole(kCarver, gifOfLength(kWindow + 1, 16)));
}

TEST(GIFCarverTest, RealEncoderFilesAreExact)
{
    for (const char* name : { "gradient.gif", "animated.gif" }) {
        SCOPED_TRACE(name);
        auto gif = imageFile(name);
        ASSERT_FALSE(gif.empty());
        auto match = carveEmbedded(kCarver, gif, 512, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, gif.size());
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

}
}
