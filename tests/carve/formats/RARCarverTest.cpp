#include "FormatBuilders.hpp"
#include "carve/formats/RARCarver.hpp"

namespace brightfold::test {
namespace {

constexpr uint8_t kArchive = 0x73, kFile = 0x74, kComment = 0x75, kService = 0x7A, kEnd = 0x7B;

/// RAR 4 blocks after the 7-byte marker: each header is u16 CRC (the low half
/// of the CRC-32 of the rest of the header), u8 type, u16 flags, u16 size, then
/// its own fields; packed data follow file and service headers.
class Rar4Builder {
public:
    Rar4Builder() { m_bytes.bytes({ 'R', 'a', 'r', '!', 0x1A, 0x07, 0x00 }); }
    Rar4Builder& block(uint8_t type, uint16_t flags, const std::vector<uint8_t>& fields, size_t data = 0, bool badCRC = false)
    {
        auto header = ByteBuilder().u8(type).u16le(flags).u16le(uint16_t(7 + fields.size())).bytes(fields).build();
        m_bytes.u16le(uint16_t((crc32Of(header) & 0xFFFF) ^ (badCRC ? 1 : 0))).bytes(header).fill(data, 0xC3);
        return *this;
    }
    Rar4Builder& archive(uint16_t flags = 0) { return block(kArchive, flags, std::vector<uint8_t>(6)); }
    /// A file header: packed and unpacked size, system, CRC, time, version, method, name size, attributes, [high sizes], name.
    Rar4Builder& file(std::string_view name, uint32_t packed, bool badCRC = false, std::optional<uint32_t> highPacked = std::nullopt)
    {
        ByteBuilder f;
        f.u32le(packed).u32le(packed).u8(3).u32le(0x1234'5678).u32le(0x5821'0000).u8(29).u8(0x33).u16le(uint16_t(name.size())).u32le(0x20);
        if (highPacked)
            f.u32le(*highPacked).u32le(0);
        return block(kFile, uint16_t(0x8000 | (highPacked ? 0x100 : 0)), f.text(name).build(), highPacked ? 0 : packed, badCRC);
    }
    Rar4Builder& end() { return block(kEnd, 0x4000, {}); }
    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

std::vector<uint8_t> vint(uint64_t value)
{
    std::vector<uint8_t> bytes;
    do {
        bytes.push_back(uint8_t((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value);
    return bytes;
}

/// RAR 5 blocks after the 8-byte marker: u32 CRC-32 of the header size and
/// header, vint header size, then vint type, vint flags, [vint data size], fields; data after.
class Rar5Builder {
public:
    Rar5Builder() { m_bytes.bytes({ 'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00 }); }
    Rar5Builder& block(uint64_t type, std::vector<uint8_t> fields, std::optional<uint64_t> data = std::nullopt, bool badCRC = false)
    {
        ByteBuilder h;
        h.bytes(vint(type)).bytes(vint(data ? 2 : 0));
        if (data)
            h.bytes(vint(*data));
        h.bytes(fields);
        auto header = ByteBuilder().bytes(vint(h.size())).bytes(h.build()).build();
        m_bytes.u32le(crc32Of(header) ^ (badCRC ? 1 : 0)).bytes(header).fill(data.value_or(0), 0xC5);
        return *this;
    }
    Rar5Builder& main() { return block(1, { 0 }); }
    /// File flags, unpacked size, attributes, compression, system, name length, name.
    Rar5Builder& file(std::string_view name, uint64_t packed, bool badCRC = false)
    {
        auto fields = ByteBuilder().u8(0).bytes(vint(packed)).u8(0x20).u8(0).u8(0).bytes(vint(name.size())).text(name).build();
        return block(2, fields, packed, badCRC);
    }
    Rar5Builder& end() { return block(5, { 0 }); }
    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

TEST(RARCarverTest, Version4BlocksToTheEndBlock)
{
    const auto whole = Rar4Builder().archive().file("a.txt", 300).block(kComment, 0x8000, { 0, 0, 0, 0 }).file("b.jpg", 5000).block(kService, 0x8000, ByteBuilder().u32le(40).u32le(40).u8(3).u32le(0).u32le(0).u8(29).u8(0x30).u16le(3).u32le(0).text("CMT").build(), 40).end().bytes();
    const auto noEnd = Rar4Builder().archive().file("a.txt", 300).file("b.jpg", 5000).bytes();
    const auto large = Rar4Builder().archive().file("big.bin", 0x100, false, 1).end().bytes();
    expectCarves(RARCarver(), {
        { "end block", sourceOf(whole, 900), whole.size(), kExact, "rar" },
        // Archives from before end blocks were written: the last good block's end is only an estimate.
        { "no end block", sourceOf(noEnd, 900), noEnd.size(), kHeuristic, "rar" },
        { "broken file header after a good one", sourceOf(Rar4Builder().archive().file("a.txt", 300).file("b", 9, true).end().bytes(), 900), 7 + 13 + 37 + 300, kHeuristic },
        { "broken first file header", sourceOf(Rar4Builder().archive().file("a.txt", 300, true).end().bytes(), 900), {} },
        { "no file at all", sourceOf(Rar4Builder().archive().bytes(), 900), {} },
        { "first block not the archive header", sourceOf(Rar4Builder().file("a.txt", 300).end().bytes(), 900), {} },
        { "encrypted headers", sourceOf(Rar4Builder().archive(0x0080).file("a.txt", 300).end().bytes(), 900), {} },
        // The high half of the packed size: 4 GiB + 256 bytes of data, past the walk window's 4 GiB.
        { "large file", sourceOf(large, 900), large.size() + 900, kHeuristic },
    });
}

TEST(RARCarverTest, Version5BlocksToTheEndBlock)
{
    const auto whole = Rar5Builder().main().file("a.txt", 300).block(3, ByteBuilder().u8(0).u8(0).u8(0).u8(0).u8(0).u8(3).text("CMT").build(), 20).file("b.jpg", 70'000).end().bytes();
    const auto noEnd = Rar5Builder().main().file("a.txt", 300).bytes();
    expectCarves(RARCarver(), {
        { "end block", sourceOf(whole, 900), whole.size(), kExact, "rar" },
        { "no end block", sourceOf(noEnd, 900), noEnd.size(), kHeuristic },
        { "broken file header", sourceOf(Rar5Builder().main().file("a.txt", 300, true).end().bytes(), 900), {} },
        { "first block not the main header", sourceOf(Rar5Builder().file("a.txt", 300).end().bytes(), 900), {} },
        { "encryption header", sourceOf(Rar5Builder().block(4, { 0, 0, 0 }).main().file("a.txt", 300).end().bytes(), 900), {} },
        { "cut in the data", sourceOf(prefix(whole, whole.size() - 100)), whole.size() - 100, kHeuristic },
    });
}

TEST(RARCarverTest, ReservedVersionByteIsNoMatch)
{
    auto bytes = Rar5Builder().main().file("a.txt", 300).end().bytes();
    bytes[7] = 1;
    expectCarves(RARCarver(), { { "Rar! 1A 07 01 01", sourceOf(bytes, 900), {} } });
}

}
}
