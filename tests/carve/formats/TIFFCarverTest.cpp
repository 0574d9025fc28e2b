#include "FormatBuilders.hpp"
#include "carve/formats/TIFFCarver.hpp"

namespace brightfold::test {
namespace {

constexpr uint16_t kAscii = 2, kShort = 3, kLong = 4;
constexpr uint16_t kMake = 0x010F, kModel = 0x0110, kRawDataOffset = 0x0118, kJpgFromRaw = 0x002E, kStripOffsets = 0x0111, kStripByteCounts = 0x0117, kTileOffsets = 0x0144, kTileByteCounts = 0x0145,
                   kSubIFDs = 0x014A, kJpegOffset = 0x0201, kJpegLength = 0x0202, kExifPointer = 0x8769, kDngVersion = 0xC612;

/// One 12-byte directory entry: tag, type, count, and the value field (a LONG or an offset).
struct Field {
    uint16_t tag;
    uint32_t value;
    uint16_t type { kLong };
    uint32_t count { 1 };
};

/// Writes a TIFF in either byte order: the header, then directories (u16 entry count,
/// entries, u32 offset of the next) and values at the offsets the test chooses.
class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian = false, uint32_t firstDirectory = 8) : m_big(bigEndian)
    {
        m_bytes.text(bigEndian ? "MM" : "II");
        put(2, 42, 2).put(4, firstDirectory, 4);
    }
    /// A directory with one strip of `count` bytes at `offset` and any other fields.
    TiffBuilder& strip(uint32_t at, uint32_t offset, uint32_t count, std::vector<Field> more = {}, uint32_t next = 0)
    {
        more.insert(more.begin(), { { kStripOffsets, offset }, { kStripByteCounts, count } });
        return directory(at, more, next);
    }
    TiffBuilder& directory(uint32_t at, const std::vector<Field>& fields, uint32_t next = 0)
    {
        put(at, fields.size(), 2);
        for (const auto& field : fields) {
            put(at + 2, field.tag, 2).put(at + 4, field.type, 2).put(at + 6, field.count, 4).put(at + 10, field.value, field.type == kShort ? 2 : 4);
            at += 12;
        }
        return put(at + 2, next, 4);
    }
    TiffBuilder& put(uint64_t at, uint64_t value, int width)
    {
        std::vector<uint8_t> bytes(width);
        for (int i = 0; i < width; ++i)
            bytes[i] = uint8_t(value >> (m_big ? 8 * (width - 1 - i) : 8 * i));
        m_bytes.place(at, bytes);
        return *this;
    }
    TiffBuilder& text(uint64_t at, std::string_view text) { m_bytes.place(at, { text.begin(), text.end() }); return *this; }
    std::vector<uint8_t> bytes() const { return m_bytes.build(); }
    std::shared_ptr<SparseSource> source(uint64_t size = 0) const { return sourceOf(bytes(), size - std::min<uint64_t>(size, m_bytes.size())); }

private:
    bool m_big;
    ByteBuilder m_bytes;
};

/// A strip ending at 700 and a Make stored at 200; "CR" at 8 when `marker`, a DNGVersion when `dng`.
std::shared_ptr<SparseSource> made(std::string_view make, bool big = false, bool marker = false, bool dng = false)
{
    TiffBuilder b(big, 16);
    std::vector<Field> fields { { kMake, 200, kAscii, uint32_t(make.size() + 1) } };
    if (dng)
        fields.push_back({ kDngVersion, 0x01040000, 1, 4 });
    return b.text(8, marker ? "CR\2" : "").text(200, make).strip(16, 400, 300, fields).source(1000);
}

TEST(TIFFCarverTest, DirectoriesGiveTheExtentAndTheMaker)
{
    // Guards against 32-bit offset arithmetic and reading strip data: a file starting just below 4 GiB.
    auto high = std::make_shared<SparseSource>(uint64_t { 0xFFFF'FE00 } + 200'000'000);
    high->place(0xFFFF'FE00, TiffBuilder(true, 0x1000).strip(0x1000, 0x2000, 100'000'000).bytes());
    // Regression from fuzzing: a value offset sent the walk up to 4 GiB on; the "NIKON" 3 GiB out is never read.
    auto farValues = TiffBuilder().strip(8, 100, 300, { { kMake, 0xC000'0000, kAscii, 6 }, { kTileOffsets, 0x1FFF'FFF0, kLong, 0x10000 }, { kTileByteCounts, 0x7000'0000, kLong, 2 } }).source(8ull << 30);
    farValues->place(3ull << 30, { 'N', 'I', 'K', 'O', 'N', 0 });
    std::vector<CarveCase> cases { { "one strip", TiffBuilder(false, 1008).strip(1008, 8, 1000).source(3000), 1038, kExact, "tif" },
        { "directory loop, big-endian", TiffBuilder(true).strip(8, 1000, 500, {}, 100).strip(100, 1500, 500, {}, 8).source(3000), 2000 },
        { "strip past the source", TiffBuilder().strip(8, 100, 5000).source(2000), 2000, kHeuristic },
        { "no image data", TiffBuilder().directory(8, { { 0x0100, 640 } }).source(8000), {} },
        { "extent of 201 bytes and its zero pad byte", TiffBuilder().strip(8, 100, 101).source(300), 202 },
        { "tiles and a JPEG preview", TiffBuilder().directory(8, { { kTileOffsets, 100, kLong, 2 }, { kTileByteCounts, 108, kLong, 2 }, { kJpegOffset, 1000 }, { kJpegLength, 200 } })
                                          .put(100, 200, 4).put(104, 400, 4).put(108, 200, 4).put(112, 333, 4).source(2000), 1200 },
        { "entry count 0", TiffBuilder().put(8, 0, 2).source(1000), {} },
        { "first directory past the source", TiffBuilder(false, 5000).source(1000), {} },
        { "invalid type in the first entry", TiffBuilder().directory(8, { { 0x0100, 0, 0 }, { kStripOffsets, 100 }, { kStripByteCounts, 200 } }).source(400), {} },
        { "invalid type later", TiffBuilder().strip(8, 100, 200, { { 0x0100, 0, 14 } }).source(400), 300 },
        { "near 4 GiB", high, 0x2000 + 100'000'000, kExact, "", 0xFFFF'FE00, UINT64_MAX, 256 },
        { "values beyond 512 MiB", farValues, 400, kExact, "tif", 0, 512 * kMiB },
        { "EXIF directory", TiffBuilder().strip(8, 300, 100, { { kExifPointer, 100 } }).directory(100, { { kDngVersion, 0x01040000, 1, 4 } }).source(500), 400, kExact, "dng" },
        { "CR marker wins over DNG and Make", made("NIKON CORPORATION", false, true, true), 700, kExact, "cr2" },
        { "DNG wins over the maker", made("NIKON CORPORATION", false, false, true), 700, kExact, "dng" },
        { "Nikon", made("NIKON CORPORATION", true), 700, kExact, "nef" },
        { "extent of 200 bytes", TiffBuilder().strip(8, 100, 100).source(300), {} } };
    // A pointer at 512 MiB or beyond is not followed: the DNGVersion in the directory there is never seen.
    for (auto [pointer, followed] : { std::pair<uint32_t, bool> { 0x2000'0000, false }, { 0x2000'0000 - 64, true }, { 0xFFFF'FFFF, false } }) {
        auto source = TiffBuilder().strip(8, 100, 200, { { kSubIFDs, pointer } }).source(0x2000'0000 + 4096);
        for (uint32_t at : { 0x2000'0000 - 64, 0x2000'0000 })
            source->place(at, ByteBuilder().u16le(1).u16le(kDngVersion).u16le(1).u32le(4).u32le(0x0104).u32le(0).build());
        cases.push_back({ "pointer " + std::to_string(pointer), source, followed ? pointer + 2 + 12 + 4 : 300, kExact, followed ? "dng" : "tif" });
    }
    expectCarves(TIFFCarver(), cases);
}

TEST(TIFFCarverTest, RawFlavoursAreNamedByMagicMakeAndModel)
{
    struct Row {
        std::string_view magic; // bytes 2-3 of the header, after "II" or "MM"
        std::string_view make, model;
        std::string ext;
    };
    const Row rows[] { { "", "OLYMPUS IMAGING CORP.", "", "tif" }, { "RO", "OLYMPUS IMAGING CORP.", "", "orf" }, { "RS", "", "", "orf" },
        { "OR", "OM Digital Solutions", "", "orf" }, { "U", "Panasonic", "", "rw2" }, { "U", "LEICA", "", "rwl" },
        { "", "PENTAX Corporation", "PENTAX K10D", "pef" }, { "", "RICOH IMAGING COMPANY, LTD.", "PENTAX K-1", "pef" }, { "", "SAMSUNG", "NX300", "srw" },
        { "", "NIKON", "COOLPIX P7000", "nrw" }, { "", "NIKON CORPORATION", "NIKON D3", "nef" }, { "", "SONY", "DSC-F828", "srf" },
        { "", "SONY", "DSC-V3", "srf" }, { "", "SONY", "DSC-R1", "sr2" }, { "", "SONY", "DSLR-A100", "arw" }, { "", "Samsung Techwin", "", "srw" } };
    for (const auto& row : rows) {
        const bool big = row.magic == "OR";
        TiffBuilder b(big, 16);
        if (!row.magic.empty())
            b.text(2, std::string(row.magic) + std::string(2 - row.magic.size(), '\0'));
        b.text(200, row.make).text(240, row.model);
        b.strip(16, 400, 300, { { kMake, 200, kAscii, uint32_t(row.make.size() + 1) }, { kModel, 240, kAscii, uint32_t(row.model.size() + 1) } });
        SCOPED_TRACE(std::string(row.make) + " " + std::string(row.model));
        expectCarves(TIFFCarver(), { { std::string(row.magic), b.source(1000), 700, kExact, row.ext } });
        ReadContext context(b.source(1000));
        EXPECT_EQ(TIFFCarver().carve(0, context)->category, row.ext == "tif" ? FormatCategory::photos : FormatCategory::rawPhotos);
    }
}

TEST(TIFFCarverTest, PanasonicRawDataStartsAtItsOwnOffset)
{
    // RawDataOffset and StripByteCounts give the raw data; StripOffsets may be FFFFFFFF; JpgFromRaw is a preview.
    auto rw2 = [](std::vector<Field> fields, bool classic = false) {
        TiffBuilder b(false, 0x18);
        if (!classic)
            b.text(2, std::string("U\0", 2));
        return b.directory(0x18, fields).source(20000);
    };
    const std::vector<Field> raw { { kStripOffsets, 0xFFFF'FFFF }, { kStripByteCounts, 5000 }, { kRawDataOffset, 1000 } };
    const std::vector<Field> previewOnly { { kJpgFromRaw, 8000, 7, 3000 } };
    expectCarves(TIFFCarver(), { { "raw data", rw2(raw), 6000, kExact, "rw2" }, { "only a preview", rw2(previewOnly), 11000, kExact, "rw2" },
        // In a classic TIFF neither tag means anything.
        { "classic header, raw data offset", rw2({ { kStripOffsets, 300 }, { kStripByteCounts, 500 }, { kRawDataOffset, 1000 } }, true), 800, kExact, "tif" },
        { "classic header, only a preview", rw2(previewOnly, true), {} } });
}

TEST(TIFFCarverTest, RealPanasonicFileIsNamedAndRunsOnPastItsStrippedData)
{
    const auto path = samplesFolder() / "exiftool_Panasonic.rw2";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    // ExifTool stripped the 20 MB of raw data its directory still describes.
    auto bytes = readWholeFile(path);
    expectCarves(TIFFCarver(), { { "rw2 sample", sourceOf(bytes), bytes.size(), kHeuristic, "rw2" } });
}

}
}
