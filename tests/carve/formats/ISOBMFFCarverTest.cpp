#include "FormatBuilders.hpp"
#include "carve/formats/ISOBMFFCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// Writes ISO base media boxes one after another: u32 size (header included),
/// 4-byte type, u64 largesize when size is 1, then the body.
class IsoBuilder {
public:
    /// An "ftyp" box: major brand, minor version, compatible brands.
    IsoBuilder& ftyp(std::string_view majorBrand, const std::vector<std::string_view>& compatible = { "isom" })
    {
        m_bytes.u32be(static_cast<uint32_t>(16 + 4 * compatible.size())).text("ftyp").text(majorBrand).u32be(0);
        for (auto brand : compatible)
            m_bytes.text(brand);
        return *this;
    }
    /// An "ftyp" box of exactly `size` bytes (at least 12), its brand list filled with "isom".
    IsoBuilder& ftypOfSize(uint32_t size, std::string_view majorBrand = "isom")
    {
        m_bytes.u32be(size).text("ftyp").text(majorBrand);
        for (uint32_t filled = 12; filled < size; ++filled)
            m_bytes.u8(static_cast<uint8_t>("isom"[filled % 4]));
        return *this;
    }
    /// A box of `size` bytes in all, its body filled with `fill`; a movie box
    /// holds one "free" box instead, so that its children can be walked.
    IsoBuilder& box(std::string_view type, uint32_t size, uint8_t fill = 0xA5)
    {
        m_bytes.u32be(size).text(type);
        if (type == "moov" && size >= 16)
            m_bytes.u32be(size - 8).text("free").fill(size - 16, fill);
        else
            m_bytes.fill(size - 8, fill);
        return *this;
    }
    /// A box with a 64-bit size: size field 1, type, largesize, then `bodyBytes` bytes.
    IsoBuilder& largeBox(std::string_view type, uint64_t largeSize, size_t bodyBytes)
    {
        m_bytes.u32be(1).text(type).u64be(largeSize).fill(bodyBytes, 0xA5);
        return *this;
    }
    /// A box header alone, whatever its size says.
    IsoBuilder& header(uint32_t size, std::string_view type)
    {
        m_bytes.u32be(size).text(type);
        return *this;
    }
    IsoBuilder& raw(const std::vector<uint8_t>& bytes)
    {
        m_bytes.bytes(bytes);
        return *this;
    }
    IsoBuilder& place(size_t at, const std::vector<uint8_t>& bytes)
    {
        m_bytes.place(at, bytes);
        return *this;
    }
    IsoBuilder& padTo(size_t size, uint8_t value = 0)
    {
        m_bytes.padTo(size, value);
        return *this;
    }

    size_t size() const { return m_bytes.size(); }
    std::vector<uint8_t> bytes() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

const ISOBMFFCarver kCarver;

TEST(ISOBMFFCarverTest, MovieThenMediaDataFollowedByZerosIsExact)
{
    auto file = IsoBuilder().ftyp("isom").box("moov", 200).box("mdat", 1000).bytes();
    auto match = carveEmbedded(kCarver, file, 512, 4096);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, file.size());
    EXPECT_EQ(match->ext, "mp4");
    EXPECT_EQ(match->category, FormatCategory::video);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(ISOBMFFCarverTest, FileTypeBoxSizeMustBe12To4096)
{
    for (auto [size, accepted] : { std::pair<uint32_t, bool> { 11, false }, { 12, true }, { 4096, true }, { 4097, false } }) {
        SCOPED_TRACE(size);
        auto file = IsoBuilder().ftypOfSize(std::max(size, 12u)).box("mdat", 100).box("moov", 100).bytes();
        file[3] = static_cast<uint8_t>(size); // the low byte of the size field
        file[2] = static_cast<uint8_t>(size >> 8);
        auto match = carveEmbedded(kCarver, file, 0, 512);
        EXPECT_EQ(match.has_value(), accepted);
        if (match) {
            EXPECT_EQ(match->length, size + 200);
        }
    }
}

TEST(ISOBMFFCarverTest, MajorBrandWithUnprintableByteIsNoMatch)
{
    for (uint8_t bad : { 0x00, 0x1F, 0x7F, 0x80, 0xFF }) {
        for (size_t position = 0; position < 4; ++position) {
            SCOPED_TRACE(testing::Message() << int { bad } << " at " << position);
            auto file = IsoBuilder().ftyp("isom").box("moov", 100).box("mdat", 100).bytes();
            file[8 + position] = bad;
            EXPECT_FALSE(carveEmbedded(kCarver, file, 0, 512));
        }
    }
}

TEST(ISOBMFFCarverTest, FileTypeBoxFollowedByNoKnownBoxIsNoMatch)
{
    EXPECT_FALSE(carveEmbedded(kCarver, IsoBuilder().ftyp("isom").bytes(), 0, 512));
    EXPECT_FALSE(carveEmbedded(kCarver, IsoBuilder().ftyp("isom").box("junk", 100).box("mdat", 100).bytes(), 0, 512));
    EXPECT_FALSE(carveEmbedded(kCarver, IsoBuilder().ftyp("isom").box("MDAT", 100).bytes(), 0, 512));
}

TEST(ISOBMFFCarverTest, ChainWithoutPayloadBoxIsNoMatch)
{
    auto file = IsoBuilder().ftyp("isom").box("free", 100).box("skip", 64).box("udta", 40).raw(std::vector<uint8_t>(300, 0xEE)).bytes();
    EXPECT_FALSE(carveEmbedded(kCarver, file, 0, 512));
}

TEST(ISOBMFFCarverTest, EveryPayloadBoxTypeCounts)
{
    for (const char* payload : { "moov", "mdat", "meta", "moof" }) {
        SCOPED_TRACE(payload);
        auto file = IsoBuilder().ftyp("isom").box("free", 16).box(payload, 64).bytes();
        auto match = carveEmbedded(kCarver, file, 0, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
    }
}

TEST(ISOBMFFCarverTest, SizesThatCannotBeWalkedEndTheWalk)
{
    // ftyp (24) and moov (100) are walked; the third box ends the walk, so the file ends at 124.
    for (uint32_t size : { 0, 2, 7 }) {
        SCOPED_TRACE(size);
        auto file = IsoBuilder().ftyp("isom", { "isom", "mp41" }).box("moov", 100).header(size, "mdat").padTo(1000, 0x11).bytes();
        auto match = carveEmbedded(kCarver, file, 0, 0);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, 124u);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

TEST(ISOBMFFCarverTest, LargeSizeBelow16EndsTheWalk)
{
    auto cut = IsoBuilder().ftyp("isom").box("moov", 100).largeBox("mdat", 15, 0).box("free", 8).bytes();
    auto match = carveEmbedded(kCarver, cut, 0, 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 120u);

    auto walked = IsoBuilder().ftyp("isom").box("moov", 100).largeBox("mdat", 16, 0).box("free", 8).bytes();
    match = carveEmbedded(kCarver, walked, 0, 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, walked.size());
}

// Guards the order of the limit test and the addition: a largesize near 2^64 must
// end as a box running past the source, not wrap to a short exact file.
TEST(ISOBMFFCarverTest, HugeLargeSizeRunsToTheSourceEndWithoutWrapping)
{
    auto head = IsoBuilder().ftyp("isom").box("moov", 100);
    const uint64_t mdatStart = head.size();
    constexpr uint64_t kAt = 1024;
    // The last size makes the box's end, as an absolute offset, wrap round to 100.
    for (uint64_t largeSize : { UINT64_MAX, UINT64_MAX - 1000, uint64_t { 0 } - (kAt + mdatStart) + 100 }) {
        SCOPED_TRACE(largeSize);
        auto file = IsoBuilder(head).largeBox("mdat", largeSize, 500).bytes();
        auto match = carveEmbedded(kCarver, file, kAt, 3000);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size() + 3000);
        EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
    }
}

TEST(ISOBMFFCarverTest, MediaDataPastTheSourceIsHeuristicToTheSourceEnd)
{
    auto file = IsoBuilder().ftyp("isom").box("moov", 100).header(100'000, "mdat").padTo(3000, 0x33).bytes();
    auto match = carveEmbedded(kCarver, file, 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 3000u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);

    // An aligned following file inside the unfinished box ends the file there instead.
    auto second = IsoBuilder().ftyp("heic").box("meta", 100).bytes();
    auto withSecond = IsoBuilder(IsoBuilder().ftyp("isom").box("moov", 100).header(100'000, "mdat")).padTo(2048, 0x33).raw(second).padTo(5000, 0x33).bytes();
    match = carveEmbedded(kCarver, withSecond, 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 2048u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}

TEST(ISOBMFFCarverTest, FollowingFileInsideMediaDataCutsOnlyAtA512ByteBoundary)
{
    auto second = IsoBuilder().ftyp("mp42").box("mdat", 64).bytes();
    for (auto [at, cut] : { std::pair<size_t, bool> { 1024, true }, { 1028, false }, { 1536, true }, { 1025, false } }) {
        SCOPED_TRACE(at);
        auto file = IsoBuilder().ftyp("isom").box("moov", 100).box("mdat", 4000).place(at, second).bytes();
        auto match = carveEmbedded(kCarver, file, 0, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, cut ? at : file.size());
        EXPECT_EQ(match->confidence, cut ? CarveConfidence::heuristic : CarveConfidence::exact);
    }
}

TEST(ISOBMFFCarverTest, ImplausibleFollowingFileTypeBoxDoesNotCut)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        { "size 11", ByteBuilder().u32be(11).text("ftypisom").build() },
        { "size 4097", ByteBuilder().u32be(4097).text("ftypisom").build() },
        { "brand with a control byte", ByteBuilder().u32be(20).text("ftypis").u8(0x09).text("m").build() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto file = IsoBuilder().ftyp("isom").box("moov", 100).box("mdat", 4000).place(2048, testCase.bytes).bytes();
        auto match = carveEmbedded(kCarver, file, 0, 0);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }

    // A candidate whose brand would lie past the end of the source does not cut either.
    auto cut = IsoBuilder().ftyp("isom").box("moov", 100).header(100'000, "mdat").padTo(2048, 0x33).raw(ByteBuilder().u32be(20).text("ftyp").build()).bytes();
    auto match = carveEmbedded(kCarver, cut, 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 2056u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}

TEST(ISOBMFFCarverTest, BackToBackFilesAreSplitOnlyOnA512ByteBoundary)
{
    auto second = IsoBuilder().ftyp("heic").box("meta", 300).box("mdat", 200).bytes();
    // First file of exactly 1024 bytes: the walk steps onto the second file's ftyp box and the search finds it.
    auto aligned = IsoBuilder().ftyp("isom").box("moov", 200).box("mdat", 1024 - 20 - 200).raw(second).bytes();
    auto match = carveEmbedded(kCarver, aligned, 0, 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 1024u);
    EXPECT_EQ(match->ext, "mp4");
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);

    // Four bytes longer: the second file's boxes are walked as if they were the first's.
    auto unaligned = IsoBuilder().ftyp("isom").box("moov", 200).box("mdat", 1028 - 20 - 200).raw(second).bytes();
    match = carveEmbedded(kCarver, unaligned, 0, 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, unaligned.size());
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(ISOBMFFCarverTest, RejectedCandidatesDoNotHideALaterFollowingFile)
{
    // "ftyp" inside moov at no boundary, an implausible box on a boundary inside free,
    // and a real following file on a boundary inside mdat.
    auto file = IsoBuilder()
                    .ftyp("isom")
                    .box("moov", 600)
                    .box("free", 1000)
                    .box("mdat", 8000)
                    .place(300, ByteBuilder().u32be(24).text("ftypisom").build())
                    .place(1024, ByteBuilder().u32be(9000).text("ftypisom").build())
                    .place(4096, IsoBuilder().ftyp("M4A ").box("mdat", 100).bytes())
                    .bytes();
    auto match = carveEmbedded(kCarver, file, 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 4096u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
    ReadContext context = contextOver(file);
    EXPECT_EQ(ISOBMFFCarver::nextFileStart(0, file.size(), context), std::optional<uint64_t>(4096));
    EXPECT_EQ(ISOBMFFCarver::nextFileStart(0, 4100, context), std::nullopt);
    EXPECT_EQ(ISOBMFFCarver::nextFileStart(4096, file.size(), context), std::nullopt);
}

// Guards the cost of the following-file search: a chain of many small boxes must
// be searched once, not once per box and not a whole search step per box.
TEST(ISOBMFFCarverTest, ManySmallBoxesAreSearchedOnce)
{
    IsoBuilder builder;
    builder.ftyp("isom").box("moov", 100);
    for (int i = 0; i < 20'000; ++i)
        builder.box("free", 8);
    builder.box("mdat", 1000);
    const uint64_t fileBytes = builder.size();
    auto source = std::make_shared<SparseSource>(fileBytes + 2'000'000);
    source->place(0, builder.bytes());
    ReadContext context(source);
    auto match = kCarver.carve(0, context);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, fileBytes);
    EXPECT_LT(source->bytesDelivered(), 4 * fileBytes);
}

TEST(ISOBMFFCarverTest, MajorBrandChoosesExtensionAndCategory)
{
    struct Case {
        std::vector<uint8_t> brand;
        const char* ext;
        FormatCategory category;
    };
    const Case cases[] = {
        { { 'q', 't', ' ', ' ' }, "mov", FormatCategory::video },
        { { 'Q', 'T', ' ', ' ' }, "mov", FormatCategory::video },
        { { ' ', 'q', 't', ' ' }, "mov", FormatCategory::video },
        { { 0x4D, 0x34, 0x41, 0x20 }, "m4a", FormatCategory::audio },
        { { 'M', '4', 'B', ' ' }, "m4a", FormatCategory::audio },
        { { 'h', 'e', 'i', 'c' }, "heic", FormatCategory::photos },
        { { 'h', 'e', 'v', 'x' }, "heic", FormatCategory::photos },
        { { 'm', 'i', 'f', '1' }, "heic", FormatCategory::photos },
        { { 'm', 's', 'f', '1' }, "heic", FormatCategory::photos },
        { { 'a', 'v', 'i', 's' }, "avif", FormatCategory::photos },
        { { 'A', 'V', 'I', 'F' }, "avif", FormatCategory::photos },
        { { 0x63, 0x72, 0x78, 0x20 }, "cr3", FormatCategory::rawPhotos },
        { { 'M', '4', 'V', ' ' }, "m4v", FormatCategory::video },
        { { 0x33, 0x67, 0x70, 0x34 }, "3gp", FormatCategory::video },
        { { '3', 'g', '2', 'a' }, "3gp", FormatCategory::video },
        { { '3', 'G', 'x', 'x' }, "3gp", FormatCategory::video },
        { { 'i', 's', 'o', 'm' }, "mp4", FormatCategory::video },
        { { 'm', 'p', '4', '2' }, "mp4", FormatCategory::video },
        { { 'q', 't', 'x', ' ' }, "mp4", FormatCategory::video },
        { { ' ', ' ', ' ', ' ' }, "mp4", FormatCategory::video },
    };
    for (const auto& testCase : cases) {
        std::string brand(testCase.brand.begin(), testCase.brand.end());
        SCOPED_TRACE("brand '" + brand + "'");
        auto file = IsoBuilder().ftyp(brand).box("mdat", 64).bytes();
        auto match = carveEmbedded(kCarver, file, 0, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->ext, testCase.ext);
        EXPECT_EQ(match->category, testCase.category);
    }
}

TEST(ISOBMFFCarverTest, RealEncoderFilesAreExact)
{
    struct Case {
        const char* name;
        const char* ext;
    };
    for (auto [name, ext] : { Case { "tiny.mp4", "mp4" }, { "fragmented.mp4", "mp4" }, { "tiny.mov", "mov" }, { "tiny.3gp", "3gp" },
             { "tiny.m4a", "m4a" }, { "tiny.heic", "heic" }, { "tiny.avif", "avif" } }) {
        SCOPED_TRACE(name);
        auto file = imageFile(name);
        ASSERT_FALSE(file.empty());
        auto match = carveEmbedded(kCarver, file, 2048, 4096);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
        EXPECT_EQ(match->ext, ext);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

TEST(ISOBMFFCarverTest, RealCameraAndPhoneFilesAreExact)
{
    if (samplesFolder().empty())
        GTEST_SKIP() << "the shared samples folder is absent";
    struct Case {
        const char* name;
        const char* ext;
        FormatCategory category;
    };
    const Case cases[] = {
        { "exiftool_CanonRaw.cr3", "cr3", FormatCategory::rawPhotos },
        { "mei_iPhone8_IMG_1034.heic", "heic", FormatCategory::photos },
        { "mei_itunes.m4a", "m4a", FormatCategory::audio },
        { "mei_with-gps.mp4", "mp4", FormatCategory::video },
        { "mei_sample.3gp", "3gp", FormatCategory::video },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto file = readWholeFile(samplesFolder() / testCase.name);
        ASSERT_FALSE(file.empty());
        auto match = carveEmbedded(kCarver, file, 512, 1024);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size());
        EXPECT_EQ(match->ext, testCase.ext);
        EXPECT_EQ(match->category, testCase.category);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

// A top-level walk alone proved a movie: a fragmented file's media data ran on over other files and hid them.
TEST(ISOBMFFCarverTest, OnlyChunkOffsetsInsideTheOwnMediaDataAreExact)
{
    // moov > trak > mdia > minf > stbl > stco with one chunk offset, counted from the file's start.
    auto movie = [](uint32_t chunkOffset) {
        auto stco = ByteBuilder().u32be(20).text("stco").u32be(0).u32be(1).u32be(chunkOffset).build();
        auto wrap = [](std::string_view type, std::vector<uint8_t> body) {
            return ByteBuilder().u32be(static_cast<uint32_t>(body.size() + 8)).text(type).bytes(body).build();
        };
        return wrap("moov", wrap("trak", wrap("mdia", wrap("minf", wrap("stbl", stco)))));
    };
    const size_t mdatAt = 16 + movie(0).size();
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        CarveConfidence expected;
    };
    const Case cases[] = {
        { "chunk inside mdat", IsoBuilder().ftyp("isom", {}).raw(movie(static_cast<uint32_t>(mdatAt + 8))).box("mdat", 100).bytes(), CarveConfidence::exact },
        { "chunk past mdat", IsoBuilder().ftyp("isom", {}).raw(movie(static_cast<uint32_t>(mdatAt + 100))).box("mdat", 100).bytes(), CarveConfidence::heuristic },
        { "no movie", IsoBuilder().ftyp("isom").box("mdat", 100).box("free", 8).bytes(), CarveConfidence::heuristic },
        { "movie of junk", IsoBuilder().ftyp("isom").header(100, "moov").padTo(120, 0xA5).box("mdat", 100).bytes(), CarveConfidence::heuristic },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto match = carveEmbedded(kCarver, testCase.bytes, 0, 512);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, testCase.bytes.size());
        EXPECT_EQ(match->confidence, testCase.expected);
    }
}

}
}
