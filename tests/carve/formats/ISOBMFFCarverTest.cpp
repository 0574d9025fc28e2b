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
    /// A box of `size` bytes; a movie box holds one "free" box, so that its children walk.
    IsoBuilder& box(std::string_view type, uint32_t size)
    {
        m_bytes.u32be(size).text(type);
        if (type == "moov")
            m_bytes.u32be(size - 8).text("free").fill(size - 16, 0xA5);
        else
            m_bytes.fill(size - 8, 0xA5);
        return *this;
    }
    IsoBuilder& raw(const std::vector<uint8_t>& bytes) { m_bytes.bytes(bytes); return *this; }
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
        cases.push_back({ std::string("brand '") + brand + "'", sourceOf(IsoBuilder().ftyp(brand).box("mdat", 64).bytes(), 512), 84, kHeuristic, ext });
    // A top-level walk alone proved a movie: a fragmented file's media data ran on over other files and hid them.
    auto movie = [](uint32_t chunkOffset) { // moov > trak > mdia > minf > stbl > stco with one chunk offset from the file's start
        auto wrap = [](std::string_view type, std::vector<uint8_t> body) { return ByteBuilder().u32be(uint32_t(body.size() + 8)).text(type).bytes(body).build(); };
        return wrap("moov", wrap("trak", wrap("mdia", wrap("minf", wrap("stbl", ByteBuilder().u32be(20).text("stco").u32be(0).u32be(1).u32be(chunkOffset).build())))));
    };
    const uint32_t mdat = uint32_t(20 + movie(0).size());
    cases.insert(cases.end(), { { "chunk inside the media data", sourceOf(IsoBuilder().ftyp().raw(movie(mdat + 8)).box("mdat", 100).bytes(), 512), mdat + 100 },
        { "chunk past the media data", sourceOf(IsoBuilder().ftyp().raw(movie(mdat + 100)).box("mdat", 100).bytes(), 512), mdat + 100, kHeuristic },
        { "movie of junk", sourceOf(IsoBuilder().ftyp().header(100, "moov").padTo(120).box("mdat", 100).bytes(), 512), 220, kHeuristic } });
    expectCarves(ISOBMFFCarver(), cases);
}

/// A following file's start as a plain search for every "ftyp" finds it: each
/// search starting 4 bytes past the occurrence before, while that start lies
/// more than 8 bytes before `before`.
std::optional<uint64_t> plainNextFileStart(const std::vector<uint8_t>& bytes, uint64_t after, uint64_t before)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (uint64_t from = after + 8; from + 8 < before;) {
        const size_t hit = text.find("ftyp", from);
        if (hit == std::string_view::npos || hit >= before)
            return std::nullopt;
        const uint64_t candidate = hit - 4;
        const bool printable = hit + 8 <= bytes.size() && std::all_of(bytes.begin() + long(hit) + 4, bytes.begin() + long(hit) + 8, [](uint8_t b) { return b >= 0x20 && b <= 0x7E; });
        const uint32_t size = uint32_t(bytes[candidate]) << 24 | uint32_t(bytes[candidate + 1]) << 16 | uint32_t(bytes[candidate + 2]) << 8 | bytes[candidate + 3];
        if (candidate > after && candidate % 512 == 0 && size >= 12 && size <= 4096 && printable)
            return candidate;
        from = hit + 4;
    }
    return std::nullopt;
}

TEST(ISOBMFFCarverTest, AFollowingFileIsLookedForOnlyOnTheSectorGridWithThePlainAnswer)
{
    // Guards the search that looks only at sector starts against answering otherwise than looking everywhere.
    const std::vector<uint8_t> box = IsoBuilder().ftyp().bytes(), badBrand = IsoBuilder().ftyp("is\x01m").bytes(), text { 'f', 't', 'y', 'p' };
    struct Layout {
        const char* name;
        std::vector<std::pair<size_t, std::vector<uint8_t>>> placed;
    };
    const Layout layouts[] = {
        { "one file on the grid", { { 1024, box } } },
        { "one off the grid", { { 1030, box } } },
        { "an occurrence just before one on the grid", { { 1018, text }, { 1024, box } } },
        { "a rejected brand, then a file", { { 512, badBrand }, { 1524, text }, { 2048, box } } },
        { "occurrences back to back", { { 1532, text }, { 1536, box }, { 3072, box } } },
    };
    for (const Layout& layout : layouts) {
        ByteBuilder bytes;
        bytes.padTo(4096, 0x33);
        for (const auto& [at, piece] : layout.placed)
            bytes.place(at, piece);
        auto source = sourceOf(bytes.build());
        for (uint64_t after : { 0u, 500u, 1016u, 1020u }) {
            for (uint64_t before = after; before <= 4096; ++before) {
                SCOPED_TRACE(::testing::Message() << layout.name << ", after " << after << ", before " << before);
                ReadContext context(source);
                ASSERT_EQ(ISOBMFFCarver::nextFileStart(after, before, context), plainNextFileStart(bytes.build(), after, before));
            }
        }
    }
}

}
}
