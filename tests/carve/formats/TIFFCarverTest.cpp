#include "FormatBuilders.hpp"
#include "carve/formats/TIFFCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

enum class ByteOrder { little, big };

constexpr uint16_t kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5;
constexpr uint16_t kMake = 0x010F, kStripOffsets = 0x0111, kStripByteCounts = 0x0117, kTileOffsets = 0x0144,
                   kTileByteCounts = 0x0145, kSubIFDs = 0x014A, kJpegOffset = 0x0201, kJpegLength = 0x0202,
                   kExifPointer = 0x8769, kGpsPointer = 0x8825, kDngVersion = 0xC612, kImageWidth = 0x0100,
                   kXResolution = 0x011A;

/// One 12-byte directory entry: tag, type, count and the 4-byte value field.
struct TiffField {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;                   // a LONG, an inline SHORT, or the offset of the values
    std::vector<uint8_t> inlineBytes; // when set: the value field exactly as stored

    static TiffField shortValue(uint16_t tag, uint16_t value) { return { tag, kShort, 1, value, {} }; }
    static TiffField longValue(uint16_t tag, uint32_t value) { return { tag, kLong, 1, value, {} }; }
    static TiffField atOffset(uint16_t tag, uint16_t type, uint32_t count, uint32_t offset) { return { tag, type, count, offset, {} }; }
    static TiffField inlineText(uint16_t tag, std::string_view text)
    {
        return { tag, kAscii, static_cast<uint32_t>(text.size()), 0, std::vector<uint8_t>(text.begin(), text.end()) };
    }
    static TiffField dngVersion() { return { kDngVersion, kByte, 4, 0, { 1, 4, 0, 0 } }; }
};

/// Writes a TIFF in either byte order: the 8-byte header, then directories and
/// values at the offsets the test chooses, so a case reads as its layout.
class TiffBuilder {
public:
    explicit TiffBuilder(ByteOrder order, uint32_t firstDirectory = 8)
        : m_order(order)
    {
        if (order == ByteOrder::little)
            m_bytes = { 'I', 'I', 0x2A, 0x00 };
        else
            m_bytes = { 'M', 'M', 0x00, 0x2A };
        put(4, firstDirectory, 4);
    }

    /// A directory at `offset`: u16 entry count, the entries, u32 offset of the next directory.
    TiffBuilder& directory(uint32_t offset, const std::vector<TiffField>& fields, uint32_t next = 0)
    {
        put(offset, fields.size(), 2);
        uint64_t entry = offset + 2;
        for (const auto& field : fields) {
            put(entry, field.tag, 2);
            put(entry + 2, field.type, 2);
            put(entry + 4, field.count, 4);
            if (!field.inlineBytes.empty())
                raw(entry + 8, field.inlineBytes);
            else if (field.type == kShort && field.count <= 2)
                put(entry + 8, field.value, 2);
            else
                put(entry + 8, field.value, 4);
            entry += 12;
        }
        put(entry, next, 4);
        return *this;
    }
    /// An entry count alone, for directories that are nothing but a bad count.
    TiffBuilder& entryCount(uint32_t offset, uint16_t count)
    {
        put(offset, count, 2);
        return *this;
    }
    TiffBuilder& longs(uint32_t offset, const std::vector<uint32_t>& values)
    {
        for (size_t i = 0; i < values.size(); ++i)
            put(offset + 4 * i, values[i], 4);
        return *this;
    }
    TiffBuilder& text(uint32_t offset, std::string_view value)
    {
        return raw(offset, std::vector<uint8_t>(value.begin(), value.end()));
    }
    TiffBuilder& raw(uint64_t offset, const std::vector<uint8_t>& bytes)
    {
        grow(offset + bytes.size());
        std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return *this;
    }
    /// Makes the file `size` bytes long (the bytes beyond what was written are zeros).
    TiffBuilder& padTo(size_t size)
    {
        grow(size);
        return *this;
    }

    std::vector<uint8_t> bytes() const { return m_bytes; }

private:
    void grow(uint64_t size)
    {
        if (m_bytes.size() < size)
            m_bytes.resize(static_cast<size_t>(size), 0);
    }
    void put(uint64_t offset, uint64_t value, int width)
    {
        grow(offset + static_cast<uint64_t>(width));
        for (int i = 0; i < width; ++i) {
            int shift = m_order == ByteOrder::big ? 8 * (width - 1 - i) : 8 * i;
            m_bytes[static_cast<size_t>(offset) + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> shift);
        }
    }

    ByteOrder m_order;
    std::vector<uint8_t> m_bytes;
};

/// One strip of `count` bytes at `offset`.
std::vector<TiffField> strip(uint32_t offset, uint32_t count)
{
    return { TiffField::longValue(kStripOffsets, offset), TiffField::longValue(kStripByteCounts, count) };
}

std::vector<TiffField> operator+(std::vector<TiffField> fields, const std::vector<TiffField>& more)
{
    fields.insert(fields.end(), more.begin(), more.end());
    return fields;
}

const char* nameOf(ByteOrder order) { return order == ByteOrder::little ? "II" : "MM"; }

const TIFFCarver kCarver;

TEST(TIFFCarverTest, OneStripFileIsExactInBothByteOrders)
{
    for (ByteOrder order : { ByteOrder::little, ByteOrder::big }) {
        SCOPED_TRACE(nameOf(order));
        // Header, 1000 bytes of strip at 8, then the directory at 1008 (2 + 2 × 12 + 4 bytes).
        auto tiff = TiffBuilder(order, 1008).directory(1008, strip(8, 1000)).bytes();
        ASSERT_EQ(tiff.size(), 1038u);
        auto match = carveEmbedded(kCarver, tiff, 512, 2000);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, 1038u);
        EXPECT_EQ(match->ext, "tif");
        EXPECT_EQ(match->category, FormatCategory::photos);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

TEST(TIFFCarverTest, StripPastTheEndOfTheSourceIsClippedAndHeuristic)
{
    auto tiff = TiffBuilder(ByteOrder::little).directory(8, strip(100, 5000)).padTo(2000).bytes();
    auto match = carveRecorded(kCarver, ByteBuilder().fill(4096).bytes(tiff).build(), 4096);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 2000u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}

TEST(TIFFCarverTest, DirectoryWithoutImageDataIsNoMatch)
{
    auto tiff = TiffBuilder(ByteOrder::little)
                    .directory(8, { TiffField::longValue(kImageWidth, 640), TiffField::atOffset(kXResolution, kRational, 500, 100) })
                    .padTo(8000)
                    .bytes();
    EXPECT_FALSE(carveWhole(kCarver, tiff));
}

TEST(TIFFCarverTest, ExtentBelow201BytesIsNoMatch)
{
    for (auto [count, accepted] : { std::pair<uint32_t, bool> { 100, false }, { 101, true } }) {
        SCOPED_TRACE(count);
        // The directory ends at 38; the strip at 100 ends at 200 or 201.
        auto match = carveWhole(kCarver, TiffBuilder(ByteOrder::little).directory(8, strip(100, count)).padTo(300).bytes());
        EXPECT_EQ(match.has_value(), accepted);
        if (match) {
            EXPECT_EQ(match->length, 201u);
        }
    }
}

TEST(TIFFCarverTest, ExtensionComesFromMarkerDNGVersionAndMake)
{
    struct Case {
        const char* name;
        ByteOrder order;
        bool crMarker;
        bool dng;
        std::string make; // stored at an offset, with its terminating zero; empty: no Make tag
        const char* ext;
    };
    const Case cases[] = {
        { "CR marker wins over DNG and Make", ByteOrder::little, true, true, "NIKON CORPORATION", "cr2" },
        { "DNG wins over the maker", ByteOrder::little, false, true, "NIKON CORPORATION", "dng" },
        { "Nikon", ByteOrder::big, false, false, "NIKON CORPORATION", "nef" },
        { "lower-case nikon", ByteOrder::little, false, false, "nikon", "nef" },
        { "Sony", ByteOrder::little, false, false, "SONY DSC", "arw" },
        { "Canon without the marker", ByteOrder::little, false, false, "Canon", "cr2" },
        { "CANON in capitals", ByteOrder::big, false, false, "CANON INC.", "cr2" },
        { "dotless i upper-cases to I", ByteOrder::little, false, false, "N\u0131kon", "nef" },
        { "another maker", ByteOrder::little, false, false, "OLYMPUS IMAGING CORP.", "tif" },
        { "a maker name that only starts alike", ByteOrder::little, false, false, "CANO", "tif" },
        { "CR marker of a big-endian file is ignored", ByteOrder::big, true, false, "", "tif" },
        { "no Make", ByteOrder::little, false, false, "", "tif" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // A CR2-like layout: "CR" and a version at 8, the first directory at 16.
        TiffBuilder builder(testCase.order, 16);
        if (testCase.crMarker)
            builder.raw(8, { 'C', 'R', 2, 0 });
        std::vector<TiffField> fields = strip(400, 300);
        if (!testCase.make.empty()) {
            fields.push_back(TiffField::atOffset(kMake, kAscii, static_cast<uint32_t>(testCase.make.size() + 1), 200));
            builder.text(200, testCase.make);
        }
        if (testCase.dng)
            fields.push_back(TiffField::dngVersion());
        auto match = carveEmbedded(kCarver, builder.directory(16, fields).bytes(), 0, 1000);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->ext, testCase.ext);
        EXPECT_EQ(match->category, std::string(testCase.ext) == "tif" ? FormatCategory::photos : FormatCategory::rawPhotos);
        EXPECT_EQ(match->length, 700u);
    }
}

TEST(TIFFCarverTest, FourLetterMakeStoredInlineIsRead)
{
    // "SONY" as a 4-byte ASCII value fits in the entry itself, without a terminating zero.
    auto tiff = TiffBuilder(ByteOrder::little).directory(8, strip(100, 200) + std::vector { TiffField::inlineText(kMake, "SONY") }).bytes();
    auto match = carveEmbedded(kCarver, tiff, 0, 100);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->ext, "arw");
}

TEST(TIFFCarverTest, LaterMakeReplacesEarlierOne)
{
    auto tiff = TiffBuilder(ByteOrder::little)
                    .directory(8, strip(300, 100) + std::vector { TiffField::inlineText(kMake, "SONY"), TiffField::longValue(kExifPointer, 100) })
                    .directory(100, { TiffField::atOffset(kMake, kAscii, 6, 200) })
                    .text(200, "NIKON")
                    .bytes();
    auto match = carveEmbedded(kCarver, tiff, 0, 100);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->ext, "nef");
}

TEST(TIFFCarverTest, DirectoryLoopEndsWithEachDirectoryReadOnce)
{
    auto tiff = TiffBuilder(ByteOrder::big)
                    .directory(8, strip(1000, 500), 100)
                    .directory(100, strip(1500, 500), 8) // back to the first
                    .bytes();
    auto match = carveEmbedded(kCarver, tiff, 0, 3000);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 2000u);
}

TEST(TIFFCarverTest, OnlyTheFirst64DirectoriesOfAChainAreRead)
{
    // Directory k at 8 + 40k (30 bytes each), its strip ending at 10010 + 10k.
    TiffBuilder builder(ByteOrder::little);
    for (uint32_t k = 0; k < 100; ++k)
        builder.directory(8 + 40 * k, strip(10000 + 10 * k, 10), k + 1 < 100 ? 8 + 40 * (k + 1) : 0);
    auto match = carveEmbedded(kCarver, builder.padTo(20000).bytes(), 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 10010u + 10 * 63);
}

TEST(TIFFCarverTest, LaterDirectoryWithBadEntryCountIsSkippedAndCountsTowardTheLimit)
{
    // The first directory points at 16 SubIFDs with bad counts (0 and 1025 in turn), then a chain
    // of 60 good ones. 1 + 16 + 47 = 64: the 47th chain directory is the last one read.
    TiffBuilder builder(ByteOrder::little);
    std::vector<uint32_t> subDirectories;
    for (uint32_t k = 0; k < 16; ++k) {
        subDirectories.push_back(20000 + 4 * k);
        builder.entryCount(20000 + 4 * k, k % 2 == 0 ? 0 : 1025);
    }
    builder.longs(300, subDirectories)
        .directory(8, strip(30000, 10) + std::vector { TiffField::atOffset(kSubIFDs, kLong, 16, 300) }, 1000);
    for (uint32_t k = 1; k <= 60; ++k)
        builder.directory(1000 + 40 * (k - 1), strip(30000 + 10 * k, 10), k < 60 ? 1000 + 40 * k : 0);
    auto match = carveEmbedded(kCarver, builder.padTo(40000).bytes(), 0, 0);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 30010u + 10 * 47);
}

TEST(TIFFCarverTest, StripListCountsOnlyTheFirst65536Pairs)
{
    constexpr uint32_t kItems = 70000;
    std::vector<uint32_t> offsets(kItems, 0);
    std::vector<uint32_t> counts(kItems, 1);
    offsets[0xFFFF] = 599'999; // the last pair that counts ends at 600,000
    offsets[0x10000] = 699'999; // the first pair past the limit would end at 700,000
    auto tiff = TiffBuilder(ByteOrder::little)
                    .directory(8, { TiffField::atOffset(kStripOffsets, kLong, kItems, 100), TiffField::atOffset(kStripByteCounts, kLong, kItems, 300'100) })
                    .longs(100, offsets)
                    .longs(300'100, counts)
                    .padTo(800'000)
                    .bytes();
    auto match = carveWhole(kCarver, tiff);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 600'000u);
}

TEST(TIFFCarverTest, OnlyCompleteOffsetAndCountPairsCount)
{
    // Three strip offsets (LONGs at 40), two byte counts (SHORTs inline): the third strip does not count.
    auto tiff = TiffBuilder(ByteOrder::big)
                    .directory(8, { TiffField::atOffset(kStripOffsets, kLong, 3, 40), { kStripByteCounts, kShort, 2, 0, { 0, 50, 0, 50 } } })
                    .longs(40, { 100, 200, 5000 })
                    .padTo(6000)
                    .bytes();
    auto match = carveWhole(kCarver, tiff);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 250u);
}

TEST(TIFFCarverTest, TilesCountLikeStrips)
{
    auto tiff = TiffBuilder(ByteOrder::little)
                    .directory(8, { TiffField::atOffset(kTileOffsets, kLong, 2, 100), TiffField::atOffset(kTileByteCounts, kLong, 2, 108) })
                    .longs(100, { 200, 400 })
                    .longs(108, { 200, 333 })
                    .padTo(2000)
                    .bytes();
    auto match = carveWhole(kCarver, tiff);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 733u);
}

TEST(TIFFCarverTest, JPEGPreviewCountsOnlyWithOffsetAndLengthInOneDirectory)
{
    auto offsetOnly = TiffBuilder(ByteOrder::little)
                          .directory(8, strip(100, 200) + std::vector { TiffField::longValue(kJpegOffset, 1000) }, 60)
                          .directory(60, { TiffField::longValue(kJpegLength, 500) })
                          .padTo(3000)
                          .bytes();
    auto match = carveWhole(kCarver, offsetOnly);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 300u);

    auto both = TiffBuilder(ByteOrder::little)
                    .directory(8, { TiffField::longValue(kJpegOffset, 1000), TiffField::longValue(kJpegLength, 500) })
                    .padTo(3000)
                    .bytes();
    match = carveWhole(kCarver, both);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 1500u);
}

TEST(TIFFCarverTest, BadFirstDirectoryIsNoMatch)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        { "first directory offset below 8", TiffBuilder(ByteOrder::little, 4).directory(8, strip(100, 500)).bytes() },
        { "entry count 0", TiffBuilder(ByteOrder::little).entryCount(8, 0).padTo(1000).bytes() },
        { "entry count 1025", TiffBuilder(ByteOrder::big).entryCount(8, 1025).padTo(20000).bytes() },
        { "first directory past the source", TiffBuilder(ByteOrder::little, 5000).padTo(1000).bytes() },
        { "first directory at 512 MiB", TiffBuilder(ByteOrder::little, 0x2000'0000).padTo(1000).bytes() },
        { "first directory near 4 GiB", TiffBuilder(ByteOrder::little, 0xFFFF'FFF8).padTo(1000).bytes() },
        { "only the header", TiffBuilder(ByteOrder::little).bytes() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_FALSE(carveEmbedded(kCarver, testCase.bytes, 0, 600));
    }
}

TEST(TIFFCarverTest, InvalidTypeRejectsOnlyTheFirstEntryOfTheFirstDirectory)
{
    for (uint16_t type : { 0, 14, 15, 19, 0xFFFF }) {
        SCOPED_TRACE(type);
        std::vector<TiffField> fields { { kImageWidth, type, 1, 0, {} } };
        EXPECT_FALSE(carveWhole(kCarver, TiffBuilder(ByteOrder::little).directory(8, fields + strip(100, 200)).padTo(400).bytes()));
        auto match = carveWhole(kCarver, TiffBuilder(ByteOrder::little).directory(8, strip(100, 200) + fields).padTo(400).bytes());
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, 300u);
    }
}

// Guards the 512 MiB bound on directory offsets: a pointer at the bound is not
// followed (the DNGVersion in the directory there is never seen), one just below it is.
TEST(TIFFCarverTest, PointersAtOrPast512MiBAreNotFollowed)
{
    constexpr uint32_t kBound = 0x2000'0000;
    for (auto [pointer, ext] : { std::pair<uint32_t, const char*> { kBound, "tif" }, { kBound - 64, "dng" }, { 0xFFFF'FFFF, "tif" } }) {
        for (uint16_t tag : { kExifPointer, kGpsPointer, kSubIFDs }) {
            SCOPED_TRACE(testing::Message() << "pointer " << pointer << " in tag " << tag);
            auto source = std::make_shared<SparseSource>(uint64_t { kBound } + 4096);
            source->place(0, TiffBuilder(ByteOrder::little).directory(8, strip(100, 200) + std::vector { TiffField::longValue(tag, pointer) }).bytes());
            for (uint32_t at : { kBound - 64, kBound })
                source->place(at, TiffBuilder(ByteOrder::little).directory(0, { TiffField::dngVersion() }).bytes());
            ReadContext context(source);
            auto match = kCarver.carve(0, context);
            ASSERT_TRUE(match);
            const bool followed = std::string(ext) == "dng";
            EXPECT_EQ(match->ext, std::string(ext));
            EXPECT_EQ(match->length, followed ? pointer + 2 + 12 + 4 : 300u); // a directory read counts to its end
        }
    }
}

// Guards against 32-bit offset arithmetic: a file that starts just below 4 GiB has
// its directory and strips past 4 GiB, and a walk of a file with a 100 MB strip
// reads directory bytes only.
TEST(TIFFCarverTest, FileStartingNear4GiBIsWalkedWithoutReadingImageData)
{
    constexpr uint64_t kStart = 0xFFFF'FE00;
    constexpr uint32_t kStripBytes = 100'000'000;
    auto source = std::make_shared<SparseSource>(kStart + 200'000'000);
    source->place(kStart, TiffBuilder(ByteOrder::big, 0x1000).directory(0x1000, strip(0x2000, kStripBytes)).bytes());
    ReadContext context(source);
    auto match = kCarver.carve(kStart, context);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 0x2000u + kStripBytes);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
    EXPECT_LT(source->bytesDelivered(), 256u);
}

TEST(TIFFCarverTest, FileCutAnywhereIsNoMatchOrClippedHeuristic)
{
    auto tiff = imageFile("little-endian.tif");
    ASSERT_FALSE(tiff.empty());
    for (size_t length = 0; length < tiff.size(); ++length) {
        SCOPED_TRACE(length);
        auto match = carveRecorded(kCarver, std::vector<uint8_t>(tiff.begin(), tiff.begin() + static_cast<std::ptrdiff_t>(length)));
        if (!match)
            continue;
        EXPECT_EQ(match->length, length);
        EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
    }
}

TEST(TIFFCarverTest, RealEncoderFilesAreExact)
{
    for (const char* name : { "little-endian.tif", "big-endian.tif", "tiled.tif" }) {
        SCOPED_TRACE(name);
        auto tiff = imageFile(name);
        ASSERT_FALSE(tiff.empty());
        auto match = carveEmbedded(kCarver, tiff, 512, 4096);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, tiff.size());
        EXPECT_EQ(match->ext, "tif");
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

TEST(TIFFCarverTest, RealCameraFilesEndWhereTheirDirectoriesSay)
{
    if (samplesFolder().empty())
        GTEST_SKIP() << "the shared samples folder is absent";
    struct Case {
        const char* name;
        const char* ext;
        uint64_t unreferencedTail; // bytes at the end of the sample that no directory reaches
    };
    const Case cases[] = {
        // ExifTool's test file ends with the 18 bytes "Non-TIFF data test", appended on
        // purpose after the last strip; the camera's structure ends before them.
        { "exiftool_CanonRaw.cr2", "cr2", 18 },
        { "exiftool_Nikon.nef", "nef", 0 },
        { "exiftool_DNG.dng", "dng", 0 },
        // One zero byte after the last tile pads the file to an even length.
        { "photoprism_canon_eos_6d.dng", "dng", 1 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto file = readWholeFile(samplesFolder() / testCase.name);
        ASSERT_FALSE(file.empty());
        auto match = carveEmbedded(kCarver, file, 1024, 4096);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, file.size() - testCase.unreferencedTail);
        EXPECT_EQ(match->ext, testCase.ext);
        EXPECT_EQ(match->category, FormatCategory::rawPhotos);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}

}
}
