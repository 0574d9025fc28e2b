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
