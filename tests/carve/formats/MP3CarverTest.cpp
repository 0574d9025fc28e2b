#include "FormatBuilders.hpp"
#include "carve/formats/MP3Carver.hpp"

namespace brightfold::test {
namespace {

/// A frame: the header's version, layer, bitrate and sample-rate codes and padding bit, then `length` - 4 bytes.
std::vector<uint8_t> frame(uint8_t version, uint8_t layer, uint8_t bitrate, uint8_t rate, size_t length, bool padded = false)
{
    return ByteBuilder().u8(0xFF).u8(uint8_t(0xE1 | version << 3 | layer << 1)).u8(uint8_t(bitrate << 4 | rate << 2 | (padded ? 2 : 0))).u8(0x44).fill(length - 4, 0x55).build();
}

/// MPEG-1 Layer III at 128 kbit/s and 44,100 Hz: 144 × 128000 ÷ 44100 = 417 bytes.
const std::vector<uint8_t> kFrame = frame(3, 1, 9, 0, 417);

/// An ID3v2 tag (major version, flags, syncsafe size, `size` bytes, a footer when flag 0x10 is set), then the pieces.
std::vector<uint8_t> mp3(uint32_t size, std::initializer_list<std::vector<uint8_t>> pieces, int frames = 0, uint8_t major = 3, uint8_t flags = 0)
{
    ByteBuilder b;
    b.text("ID3").u8(major).u8(0).u8(flags).u8((size >> 21) & 0x7F).u8((size >> 14) & 0x7F).u8((size >> 7) & 0x7F).u8(size & 0x7F).fill(size);
    if (flags & 0x10)
        b.text("3DI").u8(major).u8(0).u8(flags).fill(4);
    for (int i = 0; i < frames; ++i)
        b.bytes(kFrame);
    for (const auto& piece : pieces)
        b.bytes(piece);
    return b.build();
}

TEST(MP3CarverTest, FrameWalkRules)
{
    // MPEG-2.5 Layer II, 160 kbit/s, 8000 Hz: 2880 bytes a frame, over a whole card.
    auto endless = std::make_shared<SparseSource>(1024 * kMiB);
    endless->place(0, mp3(0, {})).place(10, frame(0, 2, 14, 2, 2880), 1024 * kMiB);
    std::vector<CarveCase> cases { { "tag, frames, other data", sourceOf(mp3(1000, { std::vector<uint8_t>(50, 0x13) }, 200)), 1010 + 200 * 417, kHeuristic, "mp3" },
        { "trailing ID3v1 tag", sourceOf(mp3(1000, { ByteBuilder().text("TAG").fill(125, 0x20).fill(300, 0x13).build() }, 200)), 1010 + 200 * 417 + 128, kHeuristic },
        { "four frames", sourceOf(mp3(1000, {}, 4), 1000), 1010 + 4 * 417, kHeuristic },
        { "a padded frame and the layer formulas", sourceOf(mp3(10, { frame(3, 1, 9, 0, 418, true), frame(2, 1, 8, 0, 208), frame(3, 3, 12, 1, 388, true), frame(2, 2, 8, 0, 417),
                                                                     frame(0, 1, 1, 2, 72), frame(3, 2, 14, 0, 1253), { 1, 2 } })), 20 + 418 + 208 + 388 + 417 + 72 + 1253, kHeuristic },
        { "bad bitrate ends the walk", sourceOf(mp3(100, { frame(3, 1, 15, 0, 417) }, 5), 1000), 110 + 5 * 417, kHeuristic },
        { "last frame cut by the source's end counts", sourceOf(prefix(mp3(10, {}, 5), 20 + 4 * 417 + 17)), 20 + 4 * 417 + 17, kHeuristic },
        { "footer moves the first frame on", sourceOf(mp3(200, {}, 10, 4, 0x10), 100), 220 + 10 * 417, kHeuristic },
        { "padding between tag and audio", sourceOf(mp3(100, { { 0 }, kFrame, kFrame, kFrame, kFrame })), {} },
        // Guards against the frame walk following audio frames on past its window.
        { "frames past 512 MiB", endless, 10 + ((512 * kMiB - 14) / 2880 + 1) * 2880, kHeuristic, "", 0, 512 * kMiB + 2883 } };
    expectCarves(MP3Carver(), cases);
}

}
}
