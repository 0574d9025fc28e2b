#include "FormatBuilders.hpp"
#include "carve/formats/CRWCarver.hpp"

namespace brightfold::test {
namespace {

constexpr uint16_t kRawData = 0x2005, kJpgFromRaw = 0x2007, kImageProps = 0x300A, kInRecord = 0x4000;

struct Record {
    uint16_t tag;
    uint32_t size;
    uint32_t offset; ///< from the heap's start
};

/// The 26-byte header, `heapData` bytes of record data, then the root table
/// (count, 10-byte records) and the heap's last u32: the table's offset.
std::vector<uint8_t> crw(size_t heapData, const std::vector<Record>& records, std::optional<uint32_t> pointer = std::nullopt, const std::vector<uint8_t>& data = {})
{
    ByteBuilder b;
    b.text("II").u32le(26).text("HEAPCCDR").u32le(0x0001'0002).u32le(0).u32le(0).bytes(data).padTo(26 + heapData, 0x11);
    b.u16le(uint16_t(records.size()));
    for (const auto& r : records)
        b.u16le(r.tag).u32le(r.size).u32le(r.offset);
    return b.u32le(pointer.value_or(uint32_t(heapData))).build();
}

TEST(CRWCarverTest, RootTableFoundThroughTheRawDataRecord)
{
    const std::vector<Record> usual { { kRawData, 3000, 0 }, { kJpgFromRaw, 900, 3000 }, { kImageProps, 96, 3900 } };
    const size_t usualEnd = 26 + 3996 + 2 + 30 + 4;
    // Raw data holding the raw-data tag by chance, with a count and pointer that do not fit.
    const std::vector<uint8_t> decoys = ByteBuilder().fill(100, 0x11).u16le(2).u16le(kRawData).u32le(7).u32le(0).fill(30, 0x22).u16le(kRawData).fill(20, 0x33).build();
    std::vector<CarveCase> cases {
        { "raw data first", sourceOf(crw(3996, usual), 5000), usualEnd, kExact, "crw" },
        { "raw data third", sourceOf(crw(3996, { usual[1], usual[2], usual[0] }), 5000), usualEnd },
        { "decoys in the raw data", sourceOf(crw(3996, usual, std::nullopt, decoys), 5000), usualEnd },
        { "data kept in a record needs no room in the heap", sourceOf(crw(3996, { usual[0], { 0x0032 | kInRecord, 0xFFFF'FFFF, 0xFFFF'FFFF } }), 5000), 26 + 3996 + 2 + 20 + 4 },
        { "pointer off by one", sourceOf(crw(3996, usual, 3995), 5000), {} },
        { "record reaching into the table", sourceOf(crw(3996, { usual[0], { kJpgFromRaw, 997, 3000 } }), 5000), {} },
        { "no raw data record", sourceOf(crw(3996, { usual[1], usual[2] }), 5000), {} },
        { "cut before the pointer", sourceOf(prefix(crw(3996, usual), usualEnd - 1)), {} },
    };
    // The table's pointer may lie anywhere in the first 64 MiB, and no further.
    for (auto [heap, found] : { std::pair { 0x400'0000 - 26 - 64, true }, { 0x400'0000, false } }) {
        auto source = std::make_shared<SparseSource>(0x500'0000);
        // The record search steps through the zeros of the heap to the far table.
        source->place(0, prefix(crw(0, {}), 26));
        auto table = ByteBuilder().u16le(3).u16le(kRawData).u32le(3000).u32le(0).u16le(kJpgFromRaw).u32le(900).u32le(3000).u16le(kImageProps).u32le(96).u32le(3900).u32le(uint32_t(heap)).build();
        source->place(26 + heap, table);
        cases.push_back({ "table at heap offset " + std::to_string(heap), source, found ? std::optional<uint64_t>(26 + heap + 36) : std::nullopt, kExact, "crw", 0, 0x400'0000 + 0x2'0000 });
    }
    expectCarves(CRWCarver(), cases);
}

TEST(CRWCarverTest, RealFileEndsWithItsRootTable)
{
    const auto path = samplesFolder() / "exiftool_CanonRaw.crw";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    // ExifTool appended 560 bytes of its own ("CANON OPTIONAL DATA", holding XMP) after the heap.
    auto bytes = readWholeFile(path);
    expectCarves(CRWCarver(), { { "PowerShot", sourceOf(bytes, 4096), bytes.size() - 560, kExact, "crw" } });
}

}
}
