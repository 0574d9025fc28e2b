#include "FormatBuilders.hpp"
#include "carve/formats/GIFCarver.hpp"

namespace brightfold::test {
namespace {

/// Header (version, size, flags; a global colour table of 3 × 2^(N + 1) bytes when bit 7 is set),
/// then blocks: an extension, an image with a local table and data sub-blocks of the given sizes.
std::vector<uint8_t> gif(std::string_view version, uint16_t width, uint8_t flags, const std::vector<uint8_t>& subBlocks, std::vector<uint8_t> tail = { 0x3B })
{
    ByteBuilder b;
    b.text(version).u16le(width).u16le(1).u8(flags).u16le(0).fill(flags & 0x80 ? 3u << ((flags & 7) + 1) : 0, 0x40);
    b.bytes({ 0x21, 0xF9, 4, 0, 0, 0, 0, 0 }).u8(0x2C).u32le(0).u32le(0x10001).u8(0x81).fill(12, 0x40).u8(2);
    for (uint8_t size : subBlocks)
        b.u8(size).fill(size, 0x55);
    return b.u8(0).bytes(tail).build();
}

/// A GIF whose image data run to `total` bytes, trailer included, or on to the end of a 1 GiB source.
std::shared_ptr<SparseSource> longGif(std::optional<uint64_t> total)
{
    auto head = gif("GIF89a", 1, 0, {}, {});
    head.pop_back(); // the data's terminator comes later
    const uint64_t units = total ? (*total - head.size() - 4) / 256 : 4 * kMiB, last = total ? *total - head.size() - 256 * units - 3 : 0;
    auto source = std::make_shared<SparseSource>(total ? *total + 16 : 1024 * kMiB);
    source->place(0, head).place(head.size(), ByteBuilder().u8(255).fill(255, 0x11).build(), head.size() + 256 * units);
    if (total)
        source->place(head.size() + 256 * units, ByteBuilder().u8(uint8_t(last)).fill(last, 0x22).u8(0).u8(0x3B).build());
    return source;
}

TEST(GIFCarverTest, BlocksAreWalkedToTheTrailer)
{
    const auto image = gif("GIF89a", 16, 0xF7, { 255, 17 });
    std::vector<CarveCase> cases { { "tables, extension and image", sourceOf(image, 300), image.size(), kExact, "gif" },
        { "unknown block", sourceOf(gif("GIF89a", 1, 0, { 3 }, { 0x3A, 0x3B })), {} },
        // Guards the colour-table arithmetic against reading past the source's end.
        { "global table flag on the last byte", sourceOf(prefix(image, 13)), {} },
        { "blocks ending at the window", longGif(64 * kMiB), 64 * kMiB },
        { "blocks ending a byte past the window", longGif(64 * kMiB + 1), {} },
        { "blocks that never end", longGif({}), {}, kExact, "", 0, 64 * kMiB + 16 } };
    for (size_t length = 0; length < image.size(); ++length)
        cases.push_back({ "cut at " + std::to_string(length), sourceOf(prefix(image, length)), {} });
    expectCarves(GIFCarver(), cases);
}

}
}
