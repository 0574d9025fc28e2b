#include "FormatBuilders.hpp"
#include "carve/formats/MatroskaCarver.hpp"

namespace brightfold::test {
namespace {

constexpr uint64_t kUnknown = UINT64_MAX;

/// An element: its ID as written, an 8-byte size (all ones for unknown), then the body.
std::vector<uint8_t> element(uint32_t id, const std::vector<uint8_t>& body, uint64_t size = 0)
{
    ByteBuilder b;
    const int width = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    for (int i = width - 1; i >= 0; --i)
        b.u8(uint8_t(id >> (8 * i)));
    b.u8(0x01).u8(size == kUnknown ? 0xFF : 0).u32be(size == kUnknown ? 0xFFFFFFFF : 0).u16be(size == kUnknown ? 0xFFFF : uint16_t(body.size()));
    return b.bytes(body).build();
}

std::vector<uint8_t> ebmlHeader(const std::string& docType)
{
    ByteBuilder body;
    body.bytes({ 0x42, 0x86, 0x81, 0x01 }).bytes({ 0x42, 0x82, uint8_t(0x80 | docType.size()) }).text(docType);
    return ByteBuilder().bytes({ 0x1A, 0x45, 0xDF, 0xA3, uint8_t(0x80 | body.size()) }).bytes(body.build()).build();
}

std::vector<uint8_t> cluster(uint64_t size = 0)
{
    ByteBuilder blocks;
    blocks.bytes(element(0xE7, { 0x00 })).bytes(element(0xA3, std::vector<uint8_t>(300, 0x11))).bytes(element(0xA3, std::vector<uint8_t>(200, 0x22)));
    return element(0x1F43B675, blocks.build(), size);
}

std::vector<uint8_t> children()
{
    return ByteBuilder().bytes(element(0x1549A966, std::vector<uint8_t>(20, 0x33))).bytes(element(0x1654AE6B, std::vector<uint8_t>(40, 0x44))).bytes(cluster()).bytes(cluster()).build();
}

std::vector<uint8_t> mkv(const std::string& docType, const std::vector<uint8_t>& segmentBody, uint64_t segmentSize = 0)
{
    return ByteBuilder().bytes(ebmlHeader(docType)).bytes(element(0x18538067, segmentBody, segmentSize)).build();
}

TEST(MatroskaCarverTest, ElementWalk)
{
    const auto whole = mkv("matroska", children());
    const auto open = mkv("webm", ByteBuilder().bytes(element(0x1549A966, std::vector<uint8_t>(20, 0x33))).bytes(cluster(kUnknown)).bytes(cluster(kUnknown)).bytes(element(0x1C53BB6B, { 1, 2, 3 })).build(), kUnknown);
    auto wrongChild = mkv("matroska", ByteBuilder().bytes(children()).bytes(element(0x4489, { 1 })).build());
    auto real = readWholeFile(dataFile("media/tiny.mkv"));
    auto webm = readWholeFile(dataFile("media/tiny.webm"));
    expectCarves(MatroskaCarver(), { { "segment of known size filled", sourceOf(whole, 4096), whole.size(), kExact, "mkv" },
                                       { "segment past the source's end", sourceOf(prefix(whole, whole.size() - 10)), whole.size() - 10, kHeuristic },
                                       { "an element no segment holds", sourceOf(wrongChild, 4096), wrongChild.size(), kHeuristic },
                                       { "unknown sizes walked block by block", sourceOf(open, 4096), open.size(), kHeuristic, "webm" },
                                       { "document type of another format", sourceOf(mkv("other", children()), 4096), {} },
                                       { "no segment after the header", sourceOf(ByteBuilder().bytes(ebmlHeader("webm")).bytes(cluster()).build(), 4096), {} },
                                       { "ffmpeg Matroska", sourceOf(real, 4096), real.size(), kExact, "mkv" },
                                       { "ffmpeg WebM", sourceOf(webm, 4096), webm.size(), kExact, "webm" } });
}

}
}
