#include "TestSupport.hpp"

#include "carve/formats/MP3Carver.hpp"

#include <array>
#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

// Version and layer codes as they stand in the frame header.
constexpr uint8_t kMPEG25 = 0, kMPEG2 = 2, kMPEG1 = 3;
constexpr uint8_t kLayerIII = 1, kLayerII = 2, kLayerI = 3;

/// The first three bytes of a frame header, built from its fields.
std::array<uint8_t, 3> frameHeader(uint8_t version, uint8_t layer, uint8_t bitrateIndex, uint8_t rateIndex, bool padded = false)
{
    return { 0xFF, static_cast<uint8_t>(0xE0 | (version << 3) | (layer << 1) | 1),
        static_cast<uint8_t>((bitrateIndex << 4) | (rateIndex << 2) | (padded ? 2 : 0)) };
}

/// Writes an MPEG audio file: an ID3v2 tag, frames, an ID3v1 tag, anything else.
class Mp3Builder {
public:
    /// ID3v2 header (major version `major`, flags) and `size` bytes of tag body.
    Mp3Builder& id3v2(uint32_t size, uint8_t major = 3, uint8_t flags = 0)
    {
        m_bytes.text("ID3").u8(major).u8(0).u8(flags);
        m_bytes.u8((size >> 21) & 0x7F).u8((size >> 14) & 0x7F).u8((size >> 7) & 0x7F).u8(size & 0x7F); // syncsafe
        m_bytes.fill(size, 0x00);
        if (flags & 0x10)
            m_bytes.text("3DI").u8(major).u8(0).u8(flags).fill(4);
        return *this;
    }
    /// One frame with the header's fields; `length` bytes in all.
    Mp3Builder& frame(std::array<uint8_t, 3> header, size_t length)
    {
        m_bytes.bytes({ header[0], header[1], header[2] }).u8(0x44).fill(length - 4, 0x55);
        return *this;
    }
    /// `count` MPEG-1 Layer III frames at 128 kbit/s and 44,100 Hz: 417 bytes each.
    Mp3Builder& frames(int count)
    {
        for (int i = 0; i < count; ++i)
            frame(frameHeader(kMPEG1, kLayerIII, 9, 0), 417);
        return *this;
    }
    Mp3Builder& id3v1() { m_bytes.text("TAG").fill(125, 0x20); return *this; }
    Mp3Builder& raw(const std::vector<uint8_t>& bytes) { m_bytes.bytes(bytes); return *this; }
    Mp3Builder& junk(size_t count) { m_bytes.fill(count, 0x13); return *this; }
    std::vector<uint8_t> build() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    auto context = contextOver(std::move(bytes));
    return MP3Carver().carve(at, context);
}

std::optional<uint32_t> lengthOf(std::array<uint8_t, 3> header)
{
    return MP3Carver::frameLength(header);
}

}

TEST(MP3CarverTest, FrameLengthsFollowTheLayerFormulas)
{
    EXPECT_EQ(lengthOf(frameHeader(kMPEG1, kLayerIII, 9, 0)), 417u);           // 144 × 128000 ÷ 44100
    EXPECT_EQ(lengthOf(frameHeader(kMPEG1, kLayerIII, 9, 0, true)), 418u);
    EXPECT_EQ(lengthOf(frameHeader(kMPEG2, kLayerIII, 8, 0)), 208u);           // 72 × 64000 ÷ 22050
    EXPECT_EQ(lengthOf(frameHeader(kMPEG2, kLayerIII, 8, 0, true)), 209u);
    EXPECT_EQ(lengthOf(frameHeader(kMPEG1, kLayerI, 12, 1)), 384u);            // (12 × 384000 ÷ 48000) × 4
    EXPECT_EQ(lengthOf(frameHeader(kMPEG1, kLayerI, 12, 1, true)), 388u);      // the padding slot is 4 bytes
    EXPECT_EQ(lengthOf(frameHeader(kMPEG2, kLayerII, 8, 0)), 417u);            // Layer II keeps 144 in MPEG-2
    EXPECT_EQ(lengthOf(frameHeader(kMPEG25, kLayerIII, 1, 2)), 72u);           // 72 × 8000 ÷ 8000
    EXPECT_EQ(lengthOf(frameHeader(kMPEG1, kLayerII, 14, 0)), 1253u);          // 144 × 384000 ÷ 44100
}

TEST(MP3CarverTest, BitrateRowsRunFromTheirFirstToTheirLastStandardValue)
{
    struct Row {
        uint8_t version;
        uint8_t layer;
        uint32_t first; // kbit/s at index 1
        uint32_t last;  // kbit/s at index 14
    };
    const Row rows[] = {
        { kMPEG1, kLayerI, 32, 448 }, { kMPEG1, kLayerII, 32, 384 }, { kMPEG1, kLayerIII, 32, 320 },
        { kMPEG2, kLayerI, 32, 256 }, { kMPEG2, kLayerII, 8, 160 }, { kMPEG2, kLayerIII, 8, 160 },
        { kMPEG25, kLayerI, 32, 256 }, { kMPEG25, kLayerII, 8, 160 }, { kMPEG25, kLayerIII, 8, 160 },
    };
    // At 32,000 Hz (MPEG-1), 16,000 Hz (MPEG-2) or 8,000 Hz (MPEG-2.5) the frame length is an exact multiple of the bitrate.
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "version " << int(row.version) << " layer " << int(row.layer));
        uint32_t rate = row.version == kMPEG1 ? 32000 : row.version == kMPEG2 ? 16000 : 8000;
        uint32_t factor = row.layer == kLayerI ? 48 : (row.layer == kLayerIII && row.version != kMPEG1) ? 72 : 144;
        for (auto [index, kbits] : { std::pair { uint8_t { 1 }, row.first }, std::pair { uint8_t { 14 }, row.last } }) {
            uint32_t expected = factor * kbits * 1000 / rate;
            EXPECT_EQ(lengthOf(frameHeader(row.version, row.layer, index, 2)), expected) << "index " << int(index);
        }
    }
}

TEST(MP3CarverTest, InvalidFrameHeadersHaveNoLength)
{
    EXPECT_FALSE(lengthOf(frameHeader(kMPEG1, kLayerIII, 15, 0)));         // bad bitrate index
    EXPECT_FALSE(lengthOf(frameHeader(kMPEG1, kLayerIII, 0, 0)));          // free format
    EXPECT_FALSE(lengthOf(frameHeader(kMPEG1, kLayerIII, 9, 3)));          // reserved sample rate
    EXPECT_FALSE(lengthOf(frameHeader(kMPEG1, 0, 9, 0)));                  // reserved layer
    EXPECT_FALSE(lengthOf(frameHeader(1, kLayerIII, 9, 0)));               // reserved version
    EXPECT_FALSE(lengthOf({ 0xFF, 0xDB, 0x90 }));                          // only ten sync bits
    EXPECT_FALSE(lengthOf({ 0xFE, 0xFB, 0x90 }));
    EXPECT_FALSE(MP3Carver::frameLength(std::array<uint8_t, 2> { 0xFF, 0xFB }));
}

TEST(MP3CarverTest, EveryValidHeaderGivesAtLeast24Bytes)
{
    for (int h1 = 0xE0; h1 <= 0xFF; ++h1) {
        for (int h2 = 0; h2 <= 0xFF; ++h2) {
            auto length = MP3Carver::frameLength(std::array<uint8_t, 3> { 0xFF, uint8_t(h1), uint8_t(h2) });
            if (length) {
                ASSERT_GE(*length, 24u) << h1 << " " << h2;
            }
        }
    }
}

TEST(MP3CarverTest, TagThenFramesEndAtTheLastWholeFrame)
{
    auto bytes = Mp3Builder().id3v2(1000).frames(200).junk(5000).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, (CarveMatch { 10 + 1000 + 200 * 417, "mp3", FormatCategory::audio, CarveConfidence::exact }));
}

TEST(MP3CarverTest, SizeBytesAreSyncsafe)
{
    // 1000 = 0x3E8 is written 00 00 07 68.
    auto bytes = Mp3Builder().id3v2(1000).frames(4).build();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 6, bytes.begin() + 10), (std::vector<uint8_t> { 0x00, 0x00, 0x07, 0x68 }));
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, bytes.size());
}

TEST(MP3CarverTest, PaddedFrameIsOneByteLonger)
{
    auto bytes = Mp3Builder().id3v2(100).frames(3).frame(frameHeader(kMPEG1, kLayerIII, 9, 0, true), 418).frames(3).junk(100).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 110u + 6 * 417 + 418);
}

TEST(MP3CarverTest, TrailingID3v1TagIsTaken)
{
    auto bytes = Mp3Builder().id3v2(1000).frames(200).id3v1().junk(300).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 10u + 1000 + 200 * 417 + 128);
}

TEST(MP3CarverTest, FewerThanFourFramesIsNoMatch)
{
    EXPECT_FALSE(carveAt(Mp3Builder().id3v2(1000).frames(3).junk(1000).build()));
    EXPECT_TRUE(carveAt(Mp3Builder().id3v2(1000).frames(4).junk(1000).build()));
}

TEST(MP3CarverTest, MalformedTagHeaderIsNoMatch)
{
    for (int sizeByte = 6; sizeByte < 10; ++sizeByte) {
        SCOPED_TRACE(sizeByte);
        auto bytes = Mp3Builder().id3v2(0).frames(10).build();
        bytes[static_cast<size_t>(sizeByte)] = 0x80;
        EXPECT_FALSE(carveAt(bytes));
    }
    EXPECT_FALSE(carveAt(Mp3Builder().id3v2(0, 16).frames(10).build()));
    EXPECT_TRUE(carveAt(Mp3Builder().id3v2(0, 15).frames(10).build()));
    EXPECT_FALSE(carveAt(std::vector<uint8_t> { 'I', 'D', '3', 3, 0, 0, 0, 0, 0 }));
}

TEST(MP3CarverTest, FooterFlagMovesTheFirstFrameTenBytesOn)
{
    auto bytes = Mp3Builder().id3v2(200, 4, 0x10).frames(10).junk(100).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 10u + 200 + 10 + 10 * 417);
    // The same bytes with the flag cleared: the walk meets the footer and finds no frame.
    bytes[5] = 0;
    EXPECT_FALSE(carveAt(bytes));
}

TEST(MP3CarverTest, PaddingBetweenTagAndAudioIsNoMatch)
{
    EXPECT_FALSE(carveAt(Mp3Builder().id3v2(100).junk(1).frames(10).build()));
}

TEST(MP3CarverTest, InvalidHeaderEndsTheWalkAtThatFrame)
{
    const std::array<uint8_t, 3> breakers[] = {
        frameHeader(kMPEG1, kLayerIII, 15, 0), frameHeader(kMPEG1, kLayerIII, 9, 3), frameHeader(kMPEG1, 0, 9, 0) };
    for (const auto& breaker : breakers) {
        auto bytes = Mp3Builder().id3v2(100).frames(5).frame(breaker, 417).frames(5).build();
        auto match = carveAt(bytes);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, 110u + 5 * 417);
    }
}

TEST(MP3CarverTest, MixedFrameKindsAreWalkedOneByOne)
{
    auto bytes = Mp3Builder().id3v2(10)
                     .frame(frameHeader(kMPEG2, kLayerIII, 8, 0), 208)
                     .frame(frameHeader(kMPEG1, kLayerI, 12, 1), 384)
                     .frame(frameHeader(kMPEG25, kLayerIII, 1, 2), 72)
                     .frame(frameHeader(kMPEG1, kLayerII, 14, 0), 1253)
                     .junk(50)
                     .build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 20u + 208 + 384 + 72 + 1253);
}

TEST(MP3CarverTest, LastFrameRunningPastTheSourceEndIsKeptWhole)
{
    auto bytes = Mp3Builder().id3v2(10).frames(5).build();
    bytes.erase(bytes.end() - 400, bytes.end()); // the fifth frame keeps its header and 13 more bytes
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 20u + 5 * 417); // the engine clips it
}

TEST(MP3CarverTest, RealFilesFromLameAndFfmpegEndAfterTheirID3v1Tag)
{
    for (const char* name : { "tone.mp3", "chirp.mp3" }) {
        SCOPED_TRACE(name);
        auto file = readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "audio" / name);
        ASSERT_GT(file.size(), 1000u);
        auto match = carveAt(ByteBuilder().fill(512, 0x07).bytes(file).fill(2000, 0x00).build(), 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
    }
}

// Audio without a leading tag was never found, and its trailing APE tag was cut off.
TEST(MP3CarverTest, BareStreamNeedsALongChainOfOneKindOfFrame)
{
    auto ape = ByteBuilder().text("APETAGEX").u32le(2000).u32le(40).u32le(1).u32le(0x80000000).fill(8).fill(8, 0x41).text("APETAGEX").fill(24).build();
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::optional<size_t> length;
    };
    const Case cases[] = {
        { "100 frames, APE and ID3v1 tags", Mp3Builder().frames(100).raw(ape).id3v1().build(), 100 * 417 + 72 + 128 },
        { "20 frames", Mp3Builder().frames(20).build(), std::nullopt },
        { "sample rate changes at frame 70", Mp3Builder().frames(70).frame(frameHeader(kMPEG1, kLayerIII, 9, 1), 384).frames(10).build(), 70 * 417 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto match = carveAt(ByteBuilder().bytes(testCase.bytes).fill(1000, 0x13).build());
        ASSERT_EQ(match.has_value(), testCase.length.has_value());
        if (match) {
            EXPECT_EQ(match->length, *testCase.length);
            EXPECT_EQ(match->confidence, CarveConfidence::exact);
        }
    }
}
