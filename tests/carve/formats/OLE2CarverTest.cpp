#include "FormatBuilders.hpp"
#include "carve/formats/OLE2Carver.hpp"

namespace brightfold::test {
namespace {

/// A directory entry name as the format stores it: UTF-16 little-endian.
std::vector<uint8_t> utf16(std::string_view name)
{
    ByteBuilder b;
    for (char character : name)
        b.u16le(uint8_t(character));
    return b.build();
}

/// A compound file header (signature, versions, byte order, sector shift, FAT sector
/// count) in a source of `size` bytes, with stream names at the given offsets.
std::shared_ptr<SparseSource> compound(uint64_t size, uint16_t shift, uint32_t fatSectors, std::vector<std::pair<uint64_t, std::string_view>> names = {})
{
    auto source = std::make_shared<SparseSource>(size);
    source->place(0, ByteBuilder().bytes({ 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 }).fill(16).u16le(0x3E).u16le(shift == 12 ? 4 : 3).u16le(0xFFFE).u16le(shift).u16le(6).fill(10).u32le(fatSectors).build());
    for (auto [at, name] : names)
        source->place(at, utf16(name));
    return source;
}

TEST(OLE2CarverTest, EstimateFromTheFATAndKindFromStreamNames)
{
    const uint64_t oneFat = 512 + 128 * 512; // one FAT sector addresses 128 sectors of 512 bytes
    std::vector<CarveCase> cases { { "one FAT sector", compound(100'000, 9, 1, { { 1024, "WordDocument" } }), oneFat, kHeuristic, "doc" },
        { "cut by the source's end", compound(20'000, 9, 1, { { 1024, "PowerPoint Document" } }), 20'000, kHeuristic, "ppt" },
        // Guards against the stream-name search reading the whole estimated file.
        { "capped at 256 MiB", compound(1024 * kMiB, 12, 100, { { 4096, "Workbook" } }), 256 * kMiB, kHeuristic, "xls", 0, 8 * kMiB },
        { "largest FAT count", compound(1024 * kMiB, 12, 65536), 256 * kMiB, kHeuristic, "ole" },
        { "sector shift 10", compound(4096, 10, 1), {} },
        { "Word before Excel", compound(30'000, 9, 1, { { 1024, "Workbook" }, { 1088, "WordDocument" } }), 30'000, kHeuristic, "doc" },
        { "name ending at the carved end", compound(oneFat + 4096, 9, 1, { { oneFat - 24, "WordDocument" } }), oneFat, kHeuristic, "doc" },
        { "name across the carved end", compound(oneFat + 4096, 9, 1, { { oneFat - 23, "WordDocument" } }), oneFat, kHeuristic, "ole" },
        { "name ending at 8 MiB", compound(40 * kMiB, 9, 200, { { 8 * kMiB - 16, "Workbook" } }), 512 + 200 * 65536, kHeuristic, "xls" },
        { "name ending past 8 MiB", compound(40 * kMiB, 9, 200, { { 8 * kMiB - 15, "Workbook" } }), 512 + 200 * 65536, kHeuristic, "ole" } };
    expectCarves(OLE2Carver(), cases);
}

}
}
