#include "FormatBuilders.hpp"
#include "carve/formats/FLVCarver.hpp"

namespace brightfold::test {
namespace {

/// A tag of `type` with `size` bytes of data and the size of itself after it.
std::vector<uint8_t> tag(uint8_t type, uint32_t size, uint32_t previous = 0)
{
    return ByteBuilder().u8(type).u8(uint8_t(size >> 16)).u16be(uint16_t(size)).fill(4, 0x01).fill(3, 0).fill(size, 0x3C).u32be(previous ? previous : 11 + size).build();
}

std::vector<uint8_t> flv(std::initializer_list<std::vector<uint8_t>> tags, uint8_t flags = 5)
{
    ByteBuilder b;
    b.text("FLV").u8(1).u8(flags).u32be(9).u32be(0);
    for (const auto& t : tags)
        b.bytes(t);
    return b.build();
}

TEST(FLVCarverTest, TagChain)
{
    const auto three = flv({ tag(18, 100), tag(9, 2000), tag(8, 300) });
    const uint64_t length = 13 + 115 + 2015 + 315;
    auto real = readWholeFile(dataFile("media/tiny.flv"));
    expectCarves(FLVCarver(), { { "script, video and audio tags", sourceOf(three, 4096), length, kExact, "flv" },
                                  { "tags to the source's end", sourceOf(three), length, kHeuristic },
                                  { "last tag cut", sourceOf(prefix(three, length - 10)), 13 + 115 + 2015, kHeuristic },
                                  { "a wrong previous-tag size", sourceOf(flv({ tag(18, 100), tag(9, 2000, 77), tag(8, 300) }), 4096), 13 + 115 },
                                  { "a tag of another type", sourceOf(flv({ tag(18, 100), tag(7, 20) }), 4096), 13 + 115 },
                                  { "reserved header flags", sourceOf(flv({ tag(18, 100) }, 0x45), 4096), {} },
                                  { "no tag", sourceOf(flv({}), 4096), {} },
                                  { "ffmpeg FLV", sourceOf(real, 4096), real.size(), kExact } });
}

}
}
