#include "FormatBuilders.hpp"
#include "carve/formats/PNGCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// Writes a PNG chunk by chunk: u32 big-endian data length, 4-byte type, data, CRC.
/// The CRC is written as zeros: carving never checks it.
class PngBuilder {
public:
    PngBuilder() { m_bytes.bytes({ 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A }); }

    PngBuilder& chunk(std::string_view type, const std::vector<uint8_t>& data = {})
    {
        m_bytes.u32be(static_cast<uint32_t>(data.size())).text(type).bytes(data).u32be(0);
        return *this;
    }
    /// A chunk header whose length field says `length`, followed by nothing.
    PngBuilder& header(uint32_t length, std::string_view type)
    {
        m_bytes.u32be(length).text(type);
        return *this;
    }
    PngBuilder& raw(const std::vector<uint8_t>& bytes)
    {
        m_bytes.bytes(bytes);
        return *this;
    }

    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

/// IHDR data: width, height, bit depth 8, colour type 2 (RGB), compression, filter, interlace.
std::vector<uint8_t> ihdr(uint32_t width, uint32_t height)
{
    return ByteBuilder().u32be(width).u32be(height).bytes({ 8, 2, 0, 0, 0 }).build();
}

std::vector<uint8_t> idat(size_t length)
{
    return std::vector<uint8_t>(length, 0x78);
}

const PNGCarver kCarver;

TEST(PNGCarverTest, MinimalImageIsExactToTheEndOfIEND)
{
    auto png = PngBuilder().chunk("IHDR", ihdr(1, 1)).chunk("IDAT", idat(10)).chunk("IEND").bytes();
    auto match = carveEmbedded(kCarver, png, 0, 100);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 8u + 25 + (12 + 10) + 12);
    EXPECT_EQ(match->ext, "png");
    EXPECT_EQ(match->category, FormatCategory::photos);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(PNGCarverTest, FirstChunkMustBeThirteenByteIHDR)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        { "IHDR of 12 bytes", PngBuilder().chunk("IHDR", std::vector<uint8_t>(12)).chunk("IEND").bytes() },
        { "IHDR of 14 bytes", PngBuilder().chunk("IHDR", std::vector<uint8_t>(14)).chunk("IEND").bytes() },
        { "IDAT first", PngBuilder().chunk("IDAT", std::vector<uint8_t>(13)).chunk("IEND").bytes() },
        { "IEND first", PngBuilder().chunk("IEND").bytes() },
        { "ihdr in lower case", PngBuilder().chunk("ihdr", ihdr(1, 1)).chunk("IEND").bytes() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_FALSE(carveWhole(kCarver, testCase.bytes));
    }
}

TEST(PNGCarverTest, ChunkTypeWithNonLetterIsNoMatch)
{
    for (const char* type : { "ID4T", "ID T", "IDA\x01", "ID\xC1T", "tE[t" }) {
        SCOPED_TRACE(type);
        auto png = PngBuilder().chunk("IHDR", ihdr(1, 1)).chunk(type, idat(4)).chunk("IEND").bytes();
        EXPECT_FALSE(carveWhole(kCarver, png));
    }
}

TEST(PNGCarverTest, LengthWithTopBitSetIsNoMatch)
{
    for (uint32_t length : { 0x8000'0000u, 0xFFFF'FFFFu }) {
        SCOPED_TRACE(length);
        auto png = PngBuilder().chunk("IHDR", ihdr(1, 1)).header(length, "IDAT").raw(std::vector<uint8_t>(64)).bytes();
        EXPECT_FALSE(carveWhole(kCarver, png));
    }
}

TEST(PNGCarverTest, ImageCutAnywhereBeforeTheEndOfIENDIsNoMatch)
{
    auto png = PngBuilder().chunk("IHDR", ihdr(2, 2)).chunk("IDAT", idat(30)).chunk("IEND").bytes();
    for (size_t length = 0; length < png.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(carveWhole(kCarver, std::vector<uint8_t>(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(length))));
    }
}

TEST(PNGCarverTest, IENDFillingTheLastBytesOfTheSourceMatches)
{
    auto png = PngBuilder().chunk("IHDR", ihdr(2, 2)).chunk("IDAT", idat(30)).chunk("IEND").bytes();
    auto match = carveWhole(kCarver, png);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, png.size());
}

TEST(PNGCarverTest, AncillaryAndPrivateChunksOfAnyCaseAreWalkedOver)
{
    auto png = PngBuilder()
                   .chunk("IHDR", ihdr(1, 1))
                   .chunk("gAMA", std::vector<uint8_t>(4))
                   .chunk("tEXt", std::vector<uint8_t>(20, 'a'))
                   .chunk("prVt", std::vector<uint8_t>(3))
                   .chunk("IDAT", idat(7))
                   .chunk("zzzz")
                   .chunk("IEND")
                   .bytes();
    auto match = carveEmbedded(kCarver, png, 0, 4096);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, png.size());
}

TEST(PNGCarverTest, IENDDataLengthIsCountedEvenPastTheSource)
{
    // Only IEND's length, type and CRC must be in the source; its stated data length is added all the same.
    auto png = PngBuilder().chunk("IHDR", ihdr(1, 1)).header(40, "IEND").raw({ 0, 0, 0, 0 }).bytes();
    auto match = carveWhole(kCarver, png);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 8u + 25 + 12 + 40);
}

TEST(PNGCarverTest, StartPastTheEndOfTheSourceIsNoMatch)
{
    auto png = PngBuilder().chunk("IHDR", ihdr(1, 1)).chunk("IEND").bytes();
    ReadContext context = contextOver(png);
    EXPECT_FALSE(kCarver.carve(png.size(), context));
    EXPECT_FALSE(kCarver.carve(UINT64_MAX, context));
}

// Guards the walk window: a chain that closes more than 256 MiB after the start is
// no match, and walking to it reads chunk headers only, never the chunk data.
TEST(PNGCarverTest, ChainClosingPastTheWalkWindowIsNoMatchAndDataIsNeverRead)
{
    constexpr uint64_t kWindow = 0x1000'0000;
    // Signature and IHDR (33 bytes), one IDAT whose data reach the IEND chunk, IEND ending at iendEnd.
    auto chainEndingAt = [](uint64_t iendEnd) {
        const uint64_t idatStart = 8 + 25;
        const uint64_t iendStart = iendEnd - 12;
        auto source = std::make_shared<SparseSource>(iendEnd + 1000);
        source->place(0, PngBuilder().chunk("IHDR", ihdr(8192, 8192)).bytes())
            .place(idatStart, ByteBuilder().u32be(static_cast<uint32_t>(iendStart - idatStart - 12)).text("IDAT").build())
            .place(iendStart, ByteBuilder().u32be(0).text("IEND").u32be(0).build());
        return source;
    };

    auto inside = chainEndingAt(kWindow);
    ReadContext insideContext(inside);
    auto match = kCarver.carve(0, insideContext);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, kWindow);
    EXPECT_LT(inside->bytesDelivered(), 1024u);

    auto outside = chainEndingAt(kWindow + 1);
    ReadContext outsideContext(outside);
    EXPECT_FALSE(kCarver.carve(0, outsideContext));
}

TEST(PNGCarverTest, RealEncoderFilesAreExact)
{
    for (const char* name : { "gradient.png", "palette.png" }) {
        SCOPED_TRACE(name);
        auto png = imageFile(name);
        ASSERT_FALSE(png.empty());
        auto match = carveEmbedded(kCarver, png, 512, 700);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, png.size());
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

}
}
