#include "FormatBuilders.hpp"
#include "carve/formats/GzipCarver.hpp"

namespace brightfold::test {
namespace {

constexpr uint8_t kName = 0x08, kComment = 0x10, kExtra = 0x04, kHeaderCRC = 0x02;

/// One gzip member whose deflate stream is stored blocks (no compression, so a
/// builder can write it): header, optional fields, blocks of at most 65535
/// bytes (the last marked final when `finished`), then the CRC-32 and size of
/// `content`, or `crc` instead of its CRC.
std::vector<uint8_t> gzip(const std::vector<uint8_t>& content, uint8_t flags = kName, std::optional<uint32_t> crc = std::nullopt, bool finished = true)
{
    ByteBuilder b;
    b.bytes({ 0x1F, 0x8B, 8, flags }).u32le(0).u8(2).u8(3);
    if (flags & kExtra)
        b.u16le(6).text("BF").u16le(2).u16le(0);
    if (flags & kName)
        b.text("notes.txt").u8(0);
    if (flags & kComment)
        b.text("a comment").u8(0);
    if (flags & kHeaderCRC)
        b.u16le(0);
    size_t at = 0;
    do {
        const size_t count = std::min<size_t>(content.size() - at, 0xFFFF);
        const bool last = at + count == content.size();
        b.u8(last && finished ? 1 : 0).u16le(uint16_t(count)).u16le(uint16_t(~count)).bytes({ content.begin() + std::ptrdiff_t(at), content.begin() + std::ptrdiff_t(at + count) });
        at += count;
    } while (at < content.size());
    if (!finished)
        return b.build();
    return b.u32le(crc.value_or(crc32Of(content))).u32le(uint32_t(content.size())).build();
}

/// A gzip member of one fixed-Huffman block: a zero byte, then `matches` copies
/// of 258 bytes at distance 1 (13 bits each), so it inflates some 160 times; its
/// trailer's CRC is right only when `checked`.
std::vector<uint8_t> zeroBomb(size_t matches, bool checked)
{
    std::vector<uint8_t> stream;
    uint32_t buffer = 0;
    int bits = 0;
    auto put = [&](uint32_t value, int count, bool huffman) { // Huffman codes go most significant bit first
        for (int i = 0; i < count; ++i) {
            const uint32_t bit = huffman ? (value >> (count - 1 - i)) & 1 : (value >> i) & 1;
            buffer |= bit << bits;
            if (++bits == 8) {
                stream.push_back(uint8_t(buffer));
                buffer = 0, bits = 0;
            }
        }
    };
    put(1, 1, false), put(1, 2, false); // final block, fixed codes
    put(0x30, 8, true);                 // literal 0
    for (size_t i = 0; i < matches; ++i)
        put(0xC5, 8, true), put(0, 5, true); // length 258 (symbol 285), distance 1
    put(0, 7, true);                    // end of block
    if (bits)
        stream.push_back(uint8_t(buffer));
    return ByteBuilder().bytes({ 0x1F, 0x8B, 8, 0 }).u32le(0).u8(0).u8(3).bytes(stream).u32le(checked ? crc32Of(std::vector<uint8_t>(1 + 258 * matches)) : 0).u32le(uint32_t(1 + 258 * matches)).build();
}

std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& parts)
{
    ByteBuilder b;
    for (const auto& part : parts)
        b.bytes(part);
    return b.build();
}

TEST(GzipCarverTest, MembersInflatedAndCheckedToTheirTrailers)
{
    const auto text = patterned(1000);
    const auto big = patterned(200'000);
    const auto one = gzip(text);
    const auto allFields = gzip(text, kName | kComment | kExtra | kHeaderCRC);
    const auto two = joined({ one, gzip(big, 0) });
    const auto badCRC = gzip(text, kName, 0x1234);
    const auto bigBadCRC = gzip(big, kName, 0x1234);
    const auto bigCut = gzip(big);
    // A tar archive's first header holds "ustar" at 257.
    auto tarHeader = patterned(1024);
    std::copy_n("ustar", 5, tarHeader.begin() + 257);
    const auto tar = gzip(tarHeader);
    auto reserved = one;
    reserved[3] |= 0x20;
    auto broken = one; // block type 3 does not exist
    broken[20] = 0x07;
    expectCarves(GzipCarver(), {
        { "one member", sourceOf(one, 900), one.size(), kExact, "gz" },
        { "every optional header field", sourceOf(allFields, 900), allFields.size(), kExact, "gz" },
        { "two members", sourceOf(two, 900), two.size(), kExact, "gz" },
        { "a tar archive inside", sourceOf(tar, 900), tar.size(), kExact, "tar.gz" },
        // The stream ended where it says; its bytes are not what was written.
        { "trailer CRC wrong", sourceOf(badCRC, 900), badCRC.size(), kHeuristic, "gz" },
        { "trailer CRC wrong after 64 KiB", sourceOf(bigBadCRC, 900), bigBadCRC.size(), kHeuristic },
        { "second member's CRC wrong", sourceOf(joined({ one, badCRC }), 900), one.size() + badCRC.size(), kHeuristic },
        { "cut after 64 KiB came out", sourceOf(prefix(bigCut, 100'000)), 100'000, kHeuristic },
        { "cut before 64 KiB came out", sourceOf(prefix(bigCut, 50'000)), {} },
        { "stream not finished before other bytes", sourceOf(joined({ gzip(text, kName, std::nullopt, false), patterned(600) })), {} },
        { "reserved flag", sourceOf(reserved, 900), {} },
        { "broken first block", sourceOf(broken, 900), {} },
        { "name never ends", sourceOf(prefix(one, 15)), {} },
    });
}

TEST(GzipCarverTest, StreamExpandingPastItsRatioIsCutThere)
{
    // Regression from fuzzing: a short stream followed by zeros that inflated to gigabytes took half a minute.
    // Past 64 MiB a stream may give at most 128 times what it took; this one (500 MB from 3 MB) gives some 160 times.
    const auto bomb = zeroBomb(2'000'000, false);
    ReadContext context(sourceOf(bomb, 900));
    auto match = GzipCarver().carve(0, context);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->confidence, kHeuristic);
    EXPECT_GT(match->length, 64 * kMiB / 160);
    EXPECT_LT(match->length, bomb.size() - 8);
    // Below 64 MiB nothing is held back: the same kind of stream, whole and exact.
    const auto small = zeroBomb(1000, true);
    expectCarves(GzipCarver(), { { "160 times, 258 KB", sourceOf(small, 900), small.size(), kExact, "gz" } });
}

TEST(GzipCarverTest, RealFiles)
{
    for (auto [file, ext] : { std::pair { "archives/sample.md.gz", "gz" }, { "archives/sample.tar.gz", "tar.gz" }, { "archives/two-members.gz", "gz" } }) {
        auto bytes = readWholeFile(dataFile(file));
        ASSERT_FALSE(bytes.empty()) << file;
        expectCarves(GzipCarver(), { { file, sourceOf(bytes, 700), bytes.size(), kExact, ext } });
    }
}

}
}
