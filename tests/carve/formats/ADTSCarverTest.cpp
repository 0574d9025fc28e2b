#include "FormatBuilders.hpp"
#include "carve/formats/ADTSCarver.hpp"

namespace brightfold::test {
namespace {

/// An ADTS frame of `length` bytes: MPEG-4, no CRC, AAC LC, sample-rate index `rate`, stereo.
std::vector<uint8_t> frame(uint16_t length, uint8_t rate = 4, uint8_t second = 0xF1)
{
    return ByteBuilder().u8(0xFF).u8(second).u8(uint8_t(1 << 6 | rate << 2)).u8(uint8_t(2 << 6 | length >> 11)).u8(uint8_t(length >> 3)).u8(uint8_t(length << 5 | 0x1F)).u8(0xFC)
        .fill(length - 7, 0x21).build();
}

std::vector<uint8_t> frames(int count, uint16_t length = 300)
{
    ByteBuilder b;
    for (int i = 0; i < count; ++i)
        b.bytes(frame(uint16_t(length + i % 3)));
    return b.build();
}

TEST(ADTSCarverTest, FrameChain)
{
    uint64_t forty = 0;
    for (int i = 0; i < 40; ++i)
        forty += 300 + i % 3;
    ByteBuilder withCRC;
    for (int i = 0; i < 40; ++i)
        withCRC.bytes(frame(100, 4, 0xF0));
    auto real = readWholeFile(dataFile("media/tone.aac"));
    expectCarves(ADTSCarver(), { { "forty frames, then zeros", sourceOf(frames(40), 4096), forty, kExact, "aac" },
                                   { "frames to the source's end", sourceOf(frames(40)), forty, kHeuristic },
                                   { "fifteen frames", sourceOf(frames(15), 4096), {} },
                                   { "sample rate changes", sourceOf(ByteBuilder().bytes(frames(40)).bytes(frame(300, 3)).bytes(frames(5)).build(), 4096), forty },
                                   { "reserved sample rate", sourceOf(ByteBuilder().bytes(frames(40)).bytes(frame(300, 13)).build(), 4096), forty },
                                   { "frames with a CRC", sourceOf(withCRC.build(), 4096), 40 * 100 },
                                   { "ffmpeg AAC", sourceOf(real, 4096), real.size(), kExact } });
    EXPECT_FALSE(ADTSCarver::frameLength(frame(7, 4, 0xF0)));
    EXPECT_EQ(ADTSCarver::frameLength(frame(8)), 8u);
    EXPECT_FALSE(ADTSCarver::frameLength(frame(7)));
}

}
}
