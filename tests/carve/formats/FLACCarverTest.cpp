#include "FormatBuilders.hpp"
#include "carve/formats/FLACCarver.hpp"

namespace brightfold::test {
namespace {

uint8_t crc8(const std::vector<uint8_t>& bytes)
{
    uint8_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = uint8_t(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    }
    return crc;
}

uint16_t crc16(const std::vector<uint8_t>& bytes)
{
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = uint16_t(crc & 0x8000 ? crc << 1 ^ 0x8005 : crc << 1);
    }
    return crc;
}

/// A frame of mono 16-bit audio numbered `number`: 4096 samples, or `samples` (written in 16 bits)
/// when given; `payload` bytes after the header, then the CRC-16.
std::vector<uint8_t> frame(uint8_t number, size_t payload, uint16_t samples = 0)
{
    ByteBuilder b;
    b.u8(0xFF).u8(0xF8).u8(samples ? 0x70 : 0xC0).u8(0x08).u8(number);
    if (samples)
        b.u16be(uint16_t(samples - 1));
    b.u8(crc8(b.build()));
    b.fill(payload, uint8_t(0x30 + number));
    const uint16_t crc = crc16(b.build());
    return b.u16be(crc).build();
}

/// "fLaC", STREAMINFO (4096-sample blocks, 8 kHz mono 16-bit, `total` samples) and a padding block, then the frames.
std::vector<uint8_t> flac(uint64_t total, const std::vector<std::vector<uint8_t>>& frames, uint32_t smallestFrame = 0)
{
    ByteBuilder b;
    b.text("fLaC").u8(0x00).u8(0).u16be(34).u16be(4096).u16be(4096);
    b.u8(uint8_t(smallestFrame >> 16)).u16be(uint16_t(smallestFrame)).u8(0).u16be(0); // frame sizes (largest unknown)
    b.u8(0x01).u8(0xF4).u8(0x00 | 0x00).u8(uint8_t(0xF0 | total >> 32)).u32be(uint32_t(total)).fill(16, 0xAA); // 8000 Hz, 1 channel, 16 bits
    b.u8(0x81).u8(0).u16be(20).fill(20);
    for (const auto& f : frames)
        b.bytes(f);
    return b.build();
}

TEST(FLACCarverTest, FrameChain)
{
    const std::vector<std::vector<uint8_t>> frames { frame(0, 900), frame(1, 1000), frame(2, 1100), frame(3, 300, 1000) };
    const auto whole = flac(3 * 4096 + 1000, frames);
    const uint64_t head = 4 + 38 + 24;
    const uint64_t length = head + frames[0].size() + frames[1].size() + frames[2].size() + frames[3].size();
    auto corrupt = whole;
    corrupt[head + frames[0].size() + 40] ^= 0x01;
    auto misnumbered = flac(3 * 4096 + 1000, { frames[0], frames[1], frame(3, 1100), frame(4, 300, 1000) });
    auto real = readWholeFile(dataFile("media/tone.flac"));
    expectCarves(FLACCarver(), { { "frames to the total samples", sourceOf(whole, 4096), length, kExact, "flac" },
                                   { "total samples not known", sourceOf(flac(0, frames), 4096), length - frames[3].size(), kHeuristic },
                                   { "a frame whose CRC fails", sourceOf(corrupt, 4096), head + frames[0].size(), kHeuristic },
                                   // A frame is taken only with the next one behind it: frame 1 goes with the gap after it.
                                   { "frame numbers skip", sourceOf(misnumbered, 4096), head + frames[0].size(), kHeuristic },
                                   { "last frame cut", sourceOf(prefix(whole, length - 5)), length - frames[3].size(), kHeuristic },
                                   { "first block not STREAMINFO", sourceOf(ByteBuilder().text("fLaC").u8(0x81).u8(0).u16be(4).fill(4).bytes(frames[0]).build(), 4096), {} },
                                   { "ffmpeg FLAC", sourceOf(real, 4096), real.size(), kExact } });
}

TEST(FLACCarverTest, FrameHeaders)
{
    auto header = frame(5, 0);
    auto parsed = FLACCarver::frameHeader(header);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->number, 5u);
    EXPECT_EQ(parsed->blockSize, 4096u);
    EXPECT_EQ(parsed->headerBytes, 6u);
    auto partial = FLACCarver::frameHeader(frame(9, 0, 1000));
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->blockSize, 1000u);
    for (size_t i = 2; i < 6; ++i) {
        SCOPED_TRACE(i);
        auto damaged = header;
        damaged[i] ^= 0x10;
        EXPECT_FALSE(FLACCarver::frameHeader(damaged)); // the CRC-8 catches any changed header bit
    }
}

}
}
