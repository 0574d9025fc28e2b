#include "FormatBuilders.hpp"
#include "carve/formats/JPEGCarver.hpp"

namespace brightfold::test {
namespace {

/// SOI, then the pieces in order.
std::vector<uint8_t> jpeg(std::initializer_list<std::vector<uint8_t>> pieces)
{
    ByteBuilder b;
    b.bytes({ 0xFF, 0xD8 });
    for (const auto& piece : pieces)
        b.bytes(piece);
    return b.build();
}

std::vector<uint8_t> segment(uint8_t marker, uint16_t body = 20) { return ByteBuilder().bytes({ 0xFF, marker }).u16be(body + 2).fill(body, 0x11).build(); }
const std::vector<uint8_t> kScan = ByteBuilder().bytes(segment(0xDA, 10)).fill(3000, 0x5A).build(), kEnd { 0xFF, 0xD9 };

TEST(JPEGCarverTest, HeaderWalkAndEndOfImage)
{
    auto header = ByteBuilder().bytes(segment(0xE1, 200)).bytes(segment(0xDB, 67)).bytes(segment(0xC0, 15)).bytes(segment(0xC4, 31)).build();
    auto thumbnail = jpeg({ segment(0xDB, 67), kScan, kEnd });
    auto large = std::make_shared<SparseSource>(1024 * kMiB);
    large->place(0, { 0xFF, 0xD8 }).place(2, segment(0xE1, 65533), 2 + 1030 * 65537).place(2 + 1030 * 65537, ByteBuilder().bytes(kScan).bytes(kEnd).build());
    auto endless = std::make_shared<SparseSource>(1024 * kMiB);
    endless->place(0, jpeg({ segment(0xE0), kScan }));
    std::vector<CarveCase> cases { { "camera image", sourceOf(jpeg({ header, kScan, kEnd }), 3000), jpeg({ header, kScan, kEnd }).size(), kExact, "jpg" },
        { "fill bytes, SOF1 and length-less markers", sourceOf(jpeg({ segment(0xE0), { 0xFF, 0xFF }, segment(0xC1), { 0xFF, 0xD0, 0xFF, 0x01 }, kScan, kEnd })), 2 + 24 + 2 + 24 + 4 + 3014 + 2 },
        { "EOI of an EXIF thumbnail is skipped", sourceOf(jpeg({ ByteBuilder().bytes({ 0xFF, 0xE1 }).u16be(uint16_t(thumbnail.size() + 2)).bytes(thumbnail).build(), kScan, kEnd })), 2 + 4 + thumbnail.size() + 3014 + 2 },
        { "another image in the scan data cuts", sourceOf(jpeg({ header, kScan, { 0xFF, 0xD8, 0xFF, 0xE0 }, kScan, kEnd })), 2 + header.size() + 3014, kHeuristic },
        { "no EOI: the source's end", sourceOf(jpeg({ header, kScan }), 0, 512), 2 + header.size() + 3014, kHeuristic, "", 512 },
        // Guards against the end-marker search running on through a whole card of zeros.
        { "no EOI on a large card: 16 MiB", endless, 16 * kMiB, kHeuristic, "", 0, 257 * kMiB + 8 },
        { "header walk past 64 MiB", large, {} },
        { "fill byte right after SOI", sourceOf(jpeg({ { 0xFF }, segment(0xDB), kScan, kEnd })), {} },
        { "marker without FF", sourceOf(jpeg({ segment(0xE0), { 0x12, 0xDB, 0, 4, 1, 2 }, kScan, kEnd })), {} },
        { "SOI before the first scan", sourceOf(jpeg({ segment(0xE0), { 0xFF, 0xD8 }, kScan, kEnd })), {} },
        { "header cut by the source's end", sourceOf(jpeg({ segment(0xE0), { 0xFF, 0xDB, 0 } })), {} } };
    for (int fourth = 0; fourth < 256; ++fourth) {
        bool accepted = (fourth & 0xF0) == 0xE0 || fourth == 0xDB || fourth == 0xC0 || fourth == 0xC2 || fourth == 0xC4 || fourth == 0xDD || fourth == 0xFE;
        cases.push_back({ "first marker " + std::to_string(fourth), sourceOf(jpeg({ segment(uint8_t(fourth)), kScan, kEnd })), accepted ? std::optional<uint64_t>(24 + 3018) : std::nullopt });
    }
    expectCarves(JPEGCarver(), cases);
}

}
}
