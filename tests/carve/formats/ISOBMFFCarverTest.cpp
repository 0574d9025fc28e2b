#include "FormatBuilders.hpp"
#include "carve/formats/ISOBMFFCarver.hpp"

namespace brightfold::test {
namespace {

/// Boxes one after another: u32 size (header included), type, u64 largesize when
/// size is 1, body. An "ftyp" box holds a major brand, then "isom" over and over.
class IsoBuilder {
public:
    IsoBuilder& ftyp(std::string_view brand = "isom", uint32_t size = 20)
    {
        m_bytes.u32be(size).text("ftyp").text(brand);
        for (uint32_t filled = 12; filled < size; ++filled)
            m_bytes.u8(uint8_t("isom"[filled % 4]));
        return *this;
    }
    IsoBuilder& box(std::string_view type, uint32_t size) { m_bytes.u32be(size).text(type).fill(size - 8, 0xA5); return *this; }
    IsoBuilder& largeBox(uint64_t largeSize, size_t body) { m_bytes.u32be(1).text("mdat").u64be(largeSize).fill(body, 0xA5); return *this; }
    IsoBuilder& header(uint32_t size, std::string_view type) { m_bytes.u32be(size).text(type); return *this; }
    IsoBuilder& place(size_t at, const std::vector<uint8_t>& bytes) { m_bytes.place(at, bytes); return *this; }
    IsoBuilder& padTo(size_t size) { m_bytes.padTo(size, 0x33); return *this; }
    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

/// An ftyp and a moov box: 120 bytes.
IsoBuilder head() { return std::move(IsoBuilder().ftyp().box("moov", 100)); }

TEST(ISOBMFFCarverTest, BoxWalkAndFollowingFiles)
{
    const auto second = IsoBuilder().ftyp("heic").box("meta", 300).bytes();
    IsoBuilder manyBoxes = head();
    for (int i = 0; i < 20'000; ++i)
        manyBoxes.box("free", 8);
    std::vector<CarveCase> cases { { "movie then media data", sourceOf(head().box("mdat", 1000).bytes(), 512), 1120, kExact, "mp4" },
        { "ftyp of 11 bytes", sourceOf(IsoBuilder().ftyp("isom", 11).box("mdat", 100).bytes(), 512), {} },
        { "ftyp of 4097 bytes", sourceOf(IsoBuilder().ftyp("isom", 4097).box("mdat", 100).bytes(), 512), {} },
        { "no payload box", sourceOf(IsoBuilder().ftyp().box("free", 100).box("skip", 64).padTo(600).bytes(), 512), {} },
        { "largesize 15 ends the walk", sourceOf(head().largeBox(15, 0).box("free", 8).bytes(), 512), 120 },
        // Guards the order of the limit test and the addition: a largesize near 2^64 must not wrap to a short exact file.
        { "largesize near 2^64", sourceOf(head().largeBox(uint64_t { 0 } - 1144 + 100, 500).bytes(), 3000, 1024), 120 + 16 + 500 + 3000, kHeuristic, "", 1024 },
        { "media data past the source", sourceOf(head().header(100'000, "mdat").padTo(3000).bytes()), 3000, kHeuristic },
        { "following file inside unfinished media data", sourceOf(head().header(100'000, "mdat").padTo(2048).place(2048, second).padTo(5000).bytes()), 2048, kHeuristic },
        { "following file on a boundary", sourceOf(head().box("mdat", 904).place(1024, second).bytes()), 1024, kHeuristic, "mp4" },
        { "following file off a boundary", sourceOf(head().box("mdat", 908).place(1028, second).bytes()), 1028 + second.size() },
        { "rejected candidates do not hide a later file", sourceOf(head().box("free", 1000).box("mdat", 8000).place(60, IsoBuilder().ftyp().bytes())
                                                                     .place(1024, IsoBuilder().ftyp("isom", 12).bytes()).place(1026, { 0x23, 0x28 }).place(4096, second).bytes()), 4096, kHeuristic },
        // Guards the cost of the following-file search: a chain of many small boxes is searched once.
        { "many small boxes", sourceOf(manyBoxes.bytes(), 2'000'000), 120 + 160'000, kExact, "", 0, UINT64_MAX, 4 * 160'120 } };
    for (auto [brand, ext] : { std::pair { " qt ", "mov" }, { "M4B ", "m4a" }, { "msf1", "heic" }, { "AVIF", "avif" }, { "crx ", "cr3" }, { "M4V ", "m4v" }, { "3Gxx", "3gp" }, { "qtx ", "mp4" } })
        cases.push_back({ std::string("brand '") + brand + "'", sourceOf(IsoBuilder().ftyp(brand).box("mdat", 64).bytes(), 512), 84, kExact, ext });
    expectCarves(ISOBMFFCarver(), cases);
}

}
}
