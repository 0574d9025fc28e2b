#include "TestSupport.hpp"

#include "carve/CarverRegistry.hpp"

#include <gtest/gtest.h>

#include <cstring>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

/// A large source made up on the fly: a file's first bytes, then one unit
/// repeated from `repeatFrom` up to `repeatTo`, zeros elsewhere. Records how far
/// from the start any read reached, so a test can see where a carver's walk ended.
class RepeatingSource final : public ByteSource {
public:
    RepeatingSource(uint64_t size, std::vector<uint8_t> head, std::vector<uint8_t> unit, uint64_t repeatFrom, uint64_t repeatTo)
        : m_size(size), m_head(std::move(head)), m_unit(std::move(unit)), m_repeatFrom(repeatFrom), m_repeatTo(repeatTo) { }

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "repeating"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (offset >= m_size)
            return 0;
        const uint64_t count = std::min<uint64_t>(buffer.size(), m_size - offset);
        m_furthest = std::max(m_furthest, offset + count);
        for (uint64_t done = 0; done < count;) {
            uint64_t at = offset + done;
            uint64_t run = count - done;
            uint8_t* out = buffer.data() + done;
            if (at < m_head.size()) {
                run = std::min(run, m_head.size() - at);
                std::memcpy(out, m_head.data() + at, run);
            } else if (at >= m_repeatFrom && at < m_repeatTo && !m_unit.empty()) {
                uint64_t within = (at - m_repeatFrom) % m_unit.size();
                run = std::min({ run, m_unit.size() - within, m_repeatTo - at });
                std::memcpy(out, m_unit.data() + within, run);
            } else {
                uint64_t next = at < m_repeatFrom ? m_repeatFrom : m_size;
                run = std::min(run, next - at);
                std::memset(out, 0, run);
            }
            done += run;
        }
        return count;
    }

    uint64_t furthestRead() const { return m_furthest; }

private:
    uint64_t m_size;
    std::vector<uint8_t> m_head;
    std::vector<uint8_t> m_unit;
    uint64_t m_repeatFrom;
    uint64_t m_repeatTo;
    uint64_t m_furthest { 0 };
};

const FormatCarver& carver(std::string_view id)
{
    static const auto all = CarverRegistry::all();
    for (const auto& candidate : all) {
        if (candidate->id() == id)
            return *candidate;
    }
    throw std::logic_error("no carver " + std::string(id));
}

struct Outcome {
    std::optional<CarveMatch> match;
    uint64_t furthestRead;
};

Outcome carveOver(std::string_view id, std::shared_ptr<RepeatingSource> source)
{
    ReadContext context(source);
    auto match = carver(id).carve(0, context);
    return { match, source->furthestRead() };
}

}

TEST(CarverWindowTest, JpegWithoutEndMarkerStopsSearchingAt256MiB)
{
    // Guards against the end-of-image search running on through a whole card of zeros.
    auto head = ByteBuilder()
                    .bytes({ 0xFF, 0xD8, 0xFF, 0xDB })
                    .u16be(67).u8(0).fill(64, 1)
                    .bytes({ 0xFF, 0xDA }).u16be(8).u8(1).bytes({ 1, 0 }).bytes({ 0, 63, 0 })
                    .fill(1000, 0x55)
                    .build();
    auto outcome = carveOver("jpeg", std::make_shared<RepeatingSource>(kGiB, head, std::vector<uint8_t> {}, 0, 0));

    ASSERT_TRUE(outcome.match);
    EXPECT_EQ(outcome.match->length, 16 * kMiB);
    EXPECT_EQ(outcome.match->confidence, CarveConfidence::heuristic);
    EXPECT_GT(outcome.furthestRead, 255 * kMiB);
    EXPECT_LE(outcome.furthestRead, carver("jpeg").walkWindow().reach);
}

TEST(CarverWindowTest, PdfMarkerChainStopsAt256MiB)
{
    // Guards against a chain of end-of-file markers 3 MiB apart pulling the document on past its window.
    auto head = ByteBuilder().text("%PDF-1.4\n").build();
    auto unit = ByteBuilder().text("%%EOF\n").padTo(3 * kMiB, ' ').build();
    auto outcome = carveOver("pdf", std::make_shared<RepeatingSource>(kGiB, head, unit, kMiB, kGiB));

    // The last marker that starts within 256 MiB after the header.
    uint64_t lastMarker = kMiB + (5 + 256 * kMiB - 1 - kMiB) / (3 * kMiB) * (3 * kMiB);
    ASSERT_TRUE(outcome.match);
    EXPECT_EQ(outcome.match->length, lastMarker + 5 + 1);
    EXPECT_LE(outcome.furthestRead, carver("pdf").walkWindow().reach);
}

TEST(CarverWindowTest, Mp3FrameWalkStopsAt512MiB)
{
    // Guards against the frame walk following audio frames on past its window.
    auto head = ByteBuilder().text("ID3").bytes({ 3, 0, 0, 0, 0, 0, 0 }).build();
    // MPEG-2.5 Layer II, 160 kbit/s, 8000 Hz: 144 × 160000 ÷ 8000 = 2880 bytes a frame.
    auto unit = ByteBuilder().bytes({ 0xFF, 0xE5, 0xE8, 0x00 }).padTo(2880).build();
    auto outcome = carveOver("mp3", std::make_shared<RepeatingSource>(kGiB, head, unit, 10, kGiB));

    ASSERT_TRUE(outcome.match);
    uint64_t frames = (512 * kMiB - 10 - 4) / 2880 + 1; // every frame whose header fits inside the window
    EXPECT_EQ(outcome.match->length, 10 + frames * 2880);
    EXPECT_LE(outcome.furthestRead, carver("mp3").walkWindow().reach);
}

TEST(CarverWindowTest, GifSubBlocksStopAt64MiB)
{
    // Guards against an image's data sub-blocks being followed past 64 MiB.
    auto head = ByteBuilder().text("GIF89a").u16le(1).u16le(1).bytes({ 0, 0, 0 }).u8(0x2C).u16le(0).u16le(0).u16le(1).u16le(1).u8(0).u8(2).build();
    auto unit = ByteBuilder().u8(255).fill(255, 0x11).build();
    auto outcome = carveOver("gif", std::make_shared<RepeatingSource>(kGiB, head, unit, head.size(), kGiB));

    EXPECT_FALSE(outcome.match);
    EXPECT_LE(outcome.furthestRead, carver("gif").walkWindow().reach);
}

TEST(CarverWindowTest, PngChunkChainStopsAt256MiB)
{
    // Guards against a chain of large chunks being walked past 256 MiB.
    auto head = ByteBuilder().bytes({ 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A }).u32be(13).text("IHDR").u32be(1).u32be(1).bytes({ 8, 2, 0, 0, 0 }).u32be(0).build();
    auto unit = ByteBuilder().u32be(16 * kMiB - 12).text("IDAT").padTo(16 * kMiB).build();
    auto outcome = carveOver("png", std::make_shared<RepeatingSource>(kGiB, head, unit, head.size(), kGiB));

    EXPECT_FALSE(outcome.match);
    EXPECT_LE(outcome.furthestRead, carver("png").walkWindow().reach);
}

TEST(CarverWindowTest, ZipEndRecordSearchStopsAt512MiB)
{
    // Guards against the search for the end of central directory running past 512 MiB.
    auto head = ByteBuilder().bytes({ 0x50, 0x4B, 0x03, 0x04 }).u16le(20).u16le(0).u16le(0).fill(16, 0).u16le(1).u16le(0).text("a").build();
    auto endRecord = ByteBuilder().bytes({ 0x50, 0x4B, 0x05, 0x06 }).fill(8, 0).u32le(0).u32le(0).u16le(0).build();
    auto outcome = carveOver("zip", std::make_shared<RepeatingSource>(kGiB, head, endRecord, 600 * kMiB, 600 * kMiB + endRecord.size()));

    EXPECT_FALSE(outcome.match);
    EXPECT_LE(outcome.furthestRead, carver("zip").walkWindow().length + ReadContext::kSearchOverrun);
}

TEST(CarverWindowTest, Ole2ReadsAtMost8MiB)
{
    // Guards against the stream-name search reading the whole estimated file.
    auto head = ByteBuilder().bytes({ 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 }).fill(22, 0).u16le(12).fill(12, 0).u32le(100).padTo(512, 0xFF).build();
    auto outcome = carveOver("ole2", std::make_shared<RepeatingSource>(kGiB, head, std::vector<uint8_t> {}, 0, 0));

    ASSERT_TRUE(outcome.match);
    EXPECT_EQ(outcome.match->length, 256 * kMiB);
    EXPECT_LE(outcome.furthestRead, carver("ole2").walkWindow().reach);
}

TEST(CarverWindowTest, HeaderOnlyCarversReadOnlyTheHeader)
{
    // Guards against the carvers that trust a declared size reading the file's body.
    auto bitmap = ByteBuilder().text("BM").u32le(0x10000000).u32le(0).u32le(54).u32le(40).padTo(64).build();
    auto wave = ByteBuilder().text("RIFF").u32le(0xFFFFFFF0).text("WAVE").padTo(64).build();
    auto bmp = carveOver("bmp", std::make_shared<RepeatingSource>(kGiB, bitmap, std::vector<uint8_t> {}, 0, 0));
    auto riff = carveOver("riff", std::make_shared<RepeatingSource>(8 * kGiB, wave, std::vector<uint8_t> {}, 0, 0));

    ASSERT_TRUE(bmp.match);
    EXPECT_EQ(bmp.match->length, 0x10000000u);
    EXPECT_LE(bmp.furthestRead, carver("bmp").walkWindow().reach);
    ASSERT_TRUE(riff.match);
    EXPECT_EQ(riff.match->length, 0xFFFFFFF0u + 8);
    EXPECT_LE(riff.furthestRead, carver("riff").walkWindow().reach);
}

TEST(CarverWindowTest, TiffValuesBeyondTheOffsetBoundAreNotRead)
{
    // Guards against a directory entry's value offset sending the walk up to 4 GiB past the file's start.
    auto entry = [](ByteBuilder& b, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        b.u16le(tag).u16le(type).u32le(count).u32le(value);
    };
    ByteBuilder b;
    b.text("II").u16le(42).u32le(8).u16le(5);
    entry(b, 0x010F, 2, 6, 0xC0000000);     // Make, 3 GiB out: "NIKON" lies there
    entry(b, 0x0111, 4, 1, 100);            // StripOffsets
    entry(b, 0x0117, 4, 1, 300);            // StripByteCounts
    entry(b, 0x0144, 4, 0x10000, 0x1FFFFFF0); // TileOffsets: only the first four lie inside 512 MiB
    entry(b, 0x0145, 4, 2, 0x70000000);     // TileByteCounts, beyond 512 MiB
    b.u32le(0);
    auto nikon = ByteBuilder().text("NIKON").u8(0).build();
    auto source = std::make_shared<RepeatingSource>(8 * kGiB, b.build(), nikon, 3 * kGiB, 3 * kGiB + nikon.size());
    auto outcome = carveOver("tiff", source);

    ASSERT_TRUE(outcome.match);
    EXPECT_EQ(outcome.match->length, 400u);
    EXPECT_EQ(outcome.match->ext, "tif");
    EXPECT_LE(outcome.furthestRead, carver("tiff").walkWindow().length);
}
