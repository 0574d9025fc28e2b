#include "FormatBuilders.hpp"
#include "carve/formats/MPEGPSCarver.hpp"

namespace brightfold::test {
namespace {

/// MPEG-2 pack header with `stuffing` bytes (14 + stuffing bytes).
std::vector<uint8_t> pack(uint8_t stuffing = 0)
{
    return ByteBuilder().u32be(0x000001BA).u8(0x44).fill(8, 0x04).u8(uint8_t(0xF8 | stuffing)).fill(stuffing, 0xFF).build();
}

/// A packet of stream `id` with `length` bytes after its 6-byte header.
std::vector<uint8_t> packet(uint8_t id, uint16_t length)
{
    return ByteBuilder().u8(0).u8(0).u8(1).u8(id).u16be(length).fill(length, 0x5A).build();
}

std::vector<uint8_t> mpg(int packs, bool endCode, uint8_t stuffing = 0)
{
    ByteBuilder b;
    for (int i = 0; i < packs; ++i)
        b.bytes(pack(stuffing)).bytes(i == 0 ? packet(0xBB, 12) : packet(i % 2 ? 0xE0 : 0xC0, 2000));
    if (endCode)
        b.u32be(0x000001B9);
    return b.build();
}

TEST(MPEGPSCarverTest, PackWalk)
{
    const uint64_t packs = 14 + 18 + 3 * (14 + 2006);
    auto mpeg1 = ByteBuilder().u32be(0x000001BA).u8(0x21).fill(7, 0x01).bytes(packet(0xE0, 100)).bytes(packet(0xC0, 100)).bytes(packet(0xE0, 100)).u32be(0x000001B9).build();
    auto real = readWholeFile(dataFile("media/tiny.mpg"));
    expectCarves(MPEGPSCarver(), { { "packs to the end code", sourceOf(mpg(4, true), 4096), packs + 4, kExact, "mpg" },
                                     { "stuffing in the pack headers", sourceOf(mpg(4, true, 3), 4096), packs + 4 * 3 + 4 },
                                     { "no end code, then zeros", sourceOf(mpg(4, false), 4096), packs },
                                     { "no end code at the source's end", sourceOf(mpg(4, false)), packs, kHeuristic },
                                     { "packet past the source's end", sourceOf(prefix(mpg(4, true), packs - 100)), packs - 2006, kHeuristic },
                                     { "MPEG-1 packs", sourceOf(mpeg1, 4096), mpeg1.size() },
                                     { "pack header of neither version", sourceOf(ByteBuilder().u32be(0x000001BA).u8(0x84).fill(12).bytes(mpg(3, true)).build(), 4096), {} },
                                     { "a lone pack", sourceOf(ByteBuilder().bytes(pack()).bytes(packet(0xE0, 10)).build(), 4096), {} },
                                     { "ffmpeg DVD stream", sourceOf(real, 4096), real.size(), kExact } });
}

}
}
