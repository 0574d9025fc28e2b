#include "FormatBuilders.hpp"
#include "carve/formats/OggCarver.hpp"

namespace brightfold::test {
namespace {

uint32_t crc32(const std::vector<uint8_t>& bytes)
{
    uint32_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= uint32_t { byte } << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

/// A page of stream `serial` holding one packet of `packet` (under 255 bytes a segment), its CRC filled in.
std::vector<uint8_t> page(uint8_t flags, uint32_t serial, uint32_t sequence, const std::vector<uint8_t>& packet)
{
    ByteBuilder b;
    b.text("OggS").u8(0).u8(flags).u64le(sequence * 1000).u32le(serial).u32le(sequence).u32le(0);
    std::vector<uint8_t> lacing;
    size_t left = packet.size();
    do {
        lacing.push_back(uint8_t(std::min<size_t>(left, 255)));
        left -= lacing.back();
    } while (lacing.back() == 255);
    b.u8(uint8_t(lacing.size())).bytes(lacing).bytes(packet);
    auto bytes = b.build();
    const uint32_t crc = crc32(bytes);
    for (int i = 0; i < 4; ++i)
        bytes[22 + i] = uint8_t(crc >> (8 * i));
    return bytes;
}

std::vector<uint8_t> packet(std::string_view magic, size_t size)
{
    return ByteBuilder().text(magic).fill(size - magic.size(), 0x61).build();
}

/// One stream: a first page with `magic`, `middle` pages of audio, a last page.
std::vector<uint8_t> ogg(std::string_view magic, int middle, uint32_t serial = 7)
{
    ByteBuilder b;
    b.bytes(page(2, serial, 0, packet(magic, 30)));
    for (int i = 1; i <= middle; ++i)
        b.bytes(page(0, serial, uint32_t(i), packet("", 600)));
    return b.bytes(page(4, serial, uint32_t(middle + 1), packet("", 100))).build();
}

TEST(OggCarverTest, PageWalk)
{
    const auto vorbis = ogg("\x01vorbis", 5);
    auto corrupt = vorbis;
    corrupt[vorbis.size() - 50] ^= 0x40;
    const size_t lastPage = page(4, 7, 6, packet("", 100)).size();
    // Theora and Vorbis streams begin together, then interleave.
    auto both = ByteBuilder().bytes(page(2, 1, 0, packet("\x01vorbis", 30))).bytes(page(2, 2, 0, packet("\x80theora", 42))).bytes(page(0, 1, 1, packet("", 400)))
                    .bytes(page(4, 2, 1, packet("", 300))).bytes(page(4, 1, 2, packet("", 200))).build();
    auto lateStart = ByteBuilder().bytes(page(2, 1, 0, packet("OpusHead", 19))).bytes(page(0, 1, 1, packet("", 400))).bytes(page(2, 2, 0, packet("\x01vorbis", 30))).build();
    auto skipped = ByteBuilder().bytes(page(2, 1, 0, packet("OpusHead", 19))).bytes(page(0, 1, 1, packet("", 400))).bytes(page(0, 1, 3, packet("", 400))).build();
    auto real = readWholeFile(dataFile("media/tone.ogg"));
    auto opus = readWholeFile(dataFile("media/tone.opus"));
    expectCarves(OggCarver(), { { "pages to the end of the stream", sourceOf(vorbis, 4096), vorbis.size(), kExact, "ogg" },
                                  { "Opus", sourceOf(ogg("OpusHead", 2), 4096), ogg("OpusHead", 2).size(), kExact, "opus" },
                                  { "a page whose CRC fails", sourceOf(corrupt, 4096), vorbis.size() - lastPage, kHeuristic },
                                  { "the last page cut", sourceOf(prefix(vorbis, vorbis.size() - 1)), vorbis.size() - lastPage, kHeuristic },
                                  { "video with sound", sourceOf(both, 4096), both.size(), kExact, "ogv" },
                                  { "a stream begun after the first data", sourceOf(lateStart, 4096), lateStart.size() - page(2, 2, 0, packet("\x01vorbis", 30)).size(), kHeuristic },
                                  { "a page missing", sourceOf(skipped, 4096), skipped.size() - page(0, 1, 3, packet("", 400)).size(), kHeuristic },
                                  { "a long packet over several segments", sourceOf(ogg("\x01vorbis", 1), 4096), ogg("\x01vorbis", 1).size() },
                                  { "ffmpeg Vorbis", sourceOf(real, 4096), real.size(), kExact, "ogg" },
                                  { "ffmpeg Opus", sourceOf(opus, 4096), opus.size(), kExact, "opus" } });
}

}
}
