#include "FormatBuilders.hpp"
#include "carve/formats/SevenZipCarver.hpp"

namespace brightfold::test {
namespace {

/// The signature header (signature, version, start header CRC, then next
/// header offset, size and CRC), `packed` bytes of packed streams, and the next header.
// Header, MainStreamsInfo, ... (an array of its own: GCC 12 at -O2 takes a
// member's brace list for uninitialised bytes).
constexpr uint8_t kNextHeader[] = { 0x01, 0x04, 0x06, 0x00, 0x00 };

struct SevenZipBuilder {
    uint8_t major { 0 };
    size_t packed { 700 };
    std::vector<uint8_t> nextHeader = std::vector<uint8_t>(std::begin(kNextHeader), std::end(kNextHeader));
    std::optional<uint32_t> nextHeaderCRC, startHeaderCRC;
    std::optional<uint64_t> nextOffset;

    std::vector<uint8_t> bytes() const
    {
        const auto start = ByteBuilder().u64le(nextOffset.value_or(packed)).u64le(nextHeader.size()).u32le(nextHeaderCRC.value_or(crc32Of(nextHeader))).build();
        ByteBuilder b;
        b.bytes({ '7', 'z', 0xBC, 0xAF, 0x27, 0x1C, major, 4 }).u32le(startHeaderCRC.value_or(crc32Of(start))).bytes(start);
        return b.fill(packed, 0xA5).bytes(nextHeader).build();
    }
};

TEST(SevenZipCarverTest, StartHeaderGivesTheEnd)
{
    auto with = [](auto change) {
        SevenZipBuilder b;
        change(b);
        return b.bytes();
    };
    const size_t end = 32 + 700 + 5;
    expectCarves(SevenZipCarver(), {
        { "next header checked", sourceOf(with([](SevenZipBuilder&) { }), 900), end, kExact, "7z" },
        { "packed header", sourceOf(with([](SevenZipBuilder& b) { b.nextHeader = { 0x17, 0x06, 0x00 }; }), 900), 32 + 700 + 3, kExact },
        { "empty archive", sourceOf(with([](SevenZipBuilder& b) { b.packed = 0, b.nextHeader = {}; }), 900), 32, kExact },
        // The bytes at the end were overwritten: the end is where the archive said, but unproven.
        { "next header CRC wrong", sourceOf(with([](SevenZipBuilder& b) { b.nextHeaderCRC = 1; }), 900), end, kHeuristic },
        { "next header of another kind", sourceOf(with([](SevenZipBuilder& b) { b.nextHeader[0] = 0x02; }), 900), end, kHeuristic },
        { "cut in the next header", sourceOf(prefix(with([](SevenZipBuilder&) { }), end - 1)), end - 1, kHeuristic },
        { "start header CRC wrong", sourceOf(with([](SevenZipBuilder& b) { b.startHeaderCRC = 0; }), 900), {} },
        { "major version 1", sourceOf(with([](SevenZipBuilder& b) { b.major = 1; }), 900), {} },
        { "next header past 4 GiB", sourceOf(with([](SevenZipBuilder& b) { b.nextOffset = 0xFFFF'FFFF; }), 900), {} },
        { "next header just inside 4 GiB", sourceOf(with([](SevenZipBuilder& b) { b.nextOffset = 0xFFFF'FFFF - 32 - 5; }), 900), 32 + 700 + 5 + 900, kHeuristic },
        { "signature header cut", sourceOf(prefix(with([](SevenZipBuilder&) { }), 31)), {} },
    });
}

TEST(SevenZipCarverTest, RealArchive)
{
    auto bytes = readWholeFile(dataFile("archives/sample.7z"));
    ASSERT_FALSE(bytes.empty());
    expectCarves(SevenZipCarver(), { { "7-Zip", sourceOf(bytes, 700), bytes.size(), kExact, "7z" } });
}

}
}
