#include "FormatBuilders.hpp"
#include "carve/formats/PNGCarver.hpp"

namespace brightfold::test {
namespace {

/// The signature, then chunks: u32 big-endian data length, type, data, a CRC (never checked, so zeros).
std::vector<uint8_t> png(std::initializer_list<std::pair<std::string_view, uint32_t>> chunks)
{
    ByteBuilder b;
    b.bytes({ 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A });
    for (auto [type, length] : chunks)
        b.u32be(length).text(type).fill(length < 0x8000'0000 ? length + 4 : 0, 0x78);
    return b.build();
}

/// Signature, IHDR, one IDAT whose data reach an IEND chunk ending at `end`, in a source of `size` bytes.
std::shared_ptr<SparseSource> chainEndingAt(uint64_t end, uint64_t size)
{
    auto source = std::make_shared<SparseSource>(size);
    source->place(0, png({ { "IHDR", 13 } })).place(33, ByteBuilder().u32be(uint32_t(end - 33 - 24)).text("IDAT").build());
    source->place(end - 12, ByteBuilder().u32be(0).text("IEND").build());
    return source;
}

TEST(PNGCarverTest, ChunkChainRules)
{
    const auto image = png({ { "IHDR", 13 }, { "gAMA", 4 }, { "prVt", 3 }, { "IDAT", 10 }, { "zzzz", 0 }, { "IEND", 0 } });
    std::vector<CarveCase> cases { { "image ending the source", sourceOf(image), image.size(), kExact, "png" },
        // Only IEND's length, type and CRC must be there; its stated data length counts all the same, so the file is cut.
        { "IEND data past the source", sourceOf(prefix(png({ { "IHDR", 13 }, { "IEND", 40 } }), 33 + 12)), 33 + 12, kHeuristic },
        { "IHDR of 12 bytes", sourceOf(png({ { "IHDR", 12 }, { "IEND", 0 } })), {} },
        { "ihdr in lower case", sourceOf(png({ { "ihdr", 13 }, { "IEND", 0 } })), {} },
        { "chunk type with a digit", sourceOf(png({ { "IHDR", 13 }, { "ID4T", 4 }, { "IEND", 0 } })), {} },
        { "length with the top bit set", sourceOf(png({ { "IHDR", 13 }, { "IDAT", 0x8000'0000 } }), 64), {} },
        // The walk reads chunk headers, never chunk data, and stops at 256 MiB.
        { "chain closing at the window", chainEndingAt(256 * kMiB, 256 * kMiB), 256 * kMiB, kExact, "", 0, UINT64_MAX, 1024 },
        { "chain closing past the window", chainEndingAt(256 * kMiB + 1, 1024 * kMiB), {}, kExact, "", 0, 256 * kMiB } };
    for (size_t length = 0; length < image.size(); ++length)
        cases.push_back({ "cut at " + std::to_string(length), sourceOf(prefix(image, length)), {} });
    expectCarves(PNGCarver(), cases);
}

}
}
