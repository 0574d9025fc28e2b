#include "TestSupport.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include "carve/formats/OLE2Carver.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

/// A compound file header: signature, minor and major version, byte order,
/// sector shift, FAT sector count; the rest of the 512-byte header zero.
std::vector<uint8_t> compoundHeader(uint16_t sectorShift = 9, uint32_t fatSectors = 1)
{
    return ByteBuilder()
        .bytes({ 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 })
        .fill(16)
        .u16le(0x003E)       // minor version
        .u16le(sectorShift == 12 ? 4 : 3) // major version
        .u16le(0xFFFE)       // byte order
        .u16le(sectorShift)  // at 30
        .u16le(6)            // mini sector shift
        .fill(10)
        .u32le(fatSectors)   // at 44
        .padTo(512)
        .build();
}

/// A directory entry name as the format stores it: UTF-16 little-endian.
std::vector<uint8_t> utf16(std::string_view name)
{
    ByteBuilder builder;
    for (char character : name)
        builder.u16le(uint8_t(character));
    return builder.build();
}

/// A compound file of `size` bytes whose header is followed by the given stream names.
std::vector<uint8_t> compoundFile(size_t size, std::initializer_list<std::string_view> names, uint32_t fatSectors = 1)
{
    ByteBuilder builder;
    builder.bytes(compoundHeader(9, fatSectors)).fill(512, 0xFF);
    for (auto name : names)
        builder.bytes(utf16(name)).fill(64 - 2 * name.size());
    return builder.padTo(size, 0x11).build();
}

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    return carveRecorded(OLE2Carver(), std::move(bytes), at);
}

CarveMatch documentMatch(uint64_t length, const char* ext)
{
    return { length, ext, FormatCategory::documents, CarveConfidence::heuristic };
}

}

TEST(OLE2CarverTest, OneFATSectorOf512BytesAddresses64KiBAfterTheHeader)
{
    auto match = carveAt(compoundFile(100000, { "WordDocument" }));
    EXPECT_EQ(match, documentMatch(66048, "doc"));
}

TEST(OLE2CarverTest, EstimateIsClampedTo256MiB)
{
    auto source = std::make_shared<SparseSource>(300 * kMiB);
    source->place(0, compoundHeader(12, 100)).place(4096, utf16("Workbook"));
    ReadContext context(source);
    EXPECT_EQ(OLE2Carver().carve(0, context), documentMatch(256 * kMiB, "xls"));
}

TEST(OLE2CarverTest, LargestFATSectorCountDoesNotOverflow)
{
    auto source = std::make_shared<SparseSource>(300 * kMiB);
    source->place(0, compoundHeader(12, 65536));
    ReadContext context(source);
    EXPECT_EQ(OLE2Carver().carve(0, context), documentMatch(256 * kMiB, "ole"));
}

TEST(OLE2CarverTest, SectorShiftMustBe9Or12)
{
    for (uint16_t shift : { 0, 7, 8, 9, 10, 11, 12, 13, 16, 0x0900 }) {
        SCOPED_TRACE(shift);
        auto bytes = ByteBuilder().bytes(compoundHeader(shift)).padTo(70000).build();
        EXPECT_EQ(carveAt(bytes).has_value(), shift == 9 || shift == 12);
    }
}

TEST(OLE2CarverTest, FATSectorCountMustBeFrom1To65536)
{
    for (uint32_t count : { 0u, 1u, 2u, 65536u, 65537u, 0xFFFFFFFFu }) {
        SCOPED_TRACE(count);
        auto bytes = ByteBuilder().bytes(compoundHeader(9, count)).padTo(4096).build();
        EXPECT_EQ(carveAt(bytes).has_value(), count >= 1 && count <= 65536);
    }
}

TEST(OLE2CarverTest, FileNearTheSourceEndIsCutThere)
{
    auto bytes = ByteBuilder().fill(8192, 0).bytes(compoundFile(20000, { "PowerPoint Document" })).build();
    EXPECT_EQ(carveAt(bytes, 8192), documentMatch(20000, "ppt"));
}

TEST(OLE2CarverTest, StreamNamesAreTriedInOrder)
{
    struct Case {
        std::initializer_list<std::string_view> names;
        const char* ext;
    };
    const Case cases[] = {
        { { "Workbook", "WordDocument" }, "doc" },
        { { "PowerPoint Document", "Workbook" }, "xls" },
        { { "PowerPoint Document" }, "ppt" },
        { { "Book", "Current User", "SummaryInformation" }, "ole" },
        { { "WORDDOCUMENT", "workbook" }, "ole" },
        { {}, "ole" },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.ext);
        EXPECT_EQ(carveAt(compoundFile(30000, testCase.names)), documentMatch(30000, testCase.ext));
    }
}

TEST(OLE2CarverTest, NamesAreSoughtOnlyInsideTheCarvedRange)
{
    // One FAT sector: 66,048 bytes are carved; a name after them is not seen.
    auto bytes = compoundFile(66048, {}, 1);
    auto name = utf16("WordDocument");
    auto fits = ByteBuilder().bytes(bytes).build();
    std::copy(name.begin(), name.end(), fits.end() - static_cast<std::ptrdiff_t>(name.size()));
    EXPECT_EQ(carveAt(ByteBuilder().bytes(fits).fill(4096).build()), documentMatch(66048, "doc"));
    auto straddles = ByteBuilder().bytes(bytes).build();
    std::copy(name.begin(), name.end() - 1, straddles.end() - static_cast<std::ptrdiff_t>(name.size() - 1));
    auto source = ByteBuilder().bytes(straddles).u8(name.back()).fill(4096).build();
    EXPECT_EQ(carveAt(source), documentMatch(66048, "ole"));
}

TEST(OLE2CarverTest, NamesAreSoughtOnlyInTheFirst8MiB)
{
    auto name = utf16("Workbook");
    for (auto [nameAt, found] : { std::pair { 8 * kMiB - name.size(), true }, std::pair { 8 * kMiB - name.size() + 1, false } }) {
        SCOPED_TRACE(nameAt);
        auto source = std::make_shared<SparseSource>(40 * kMiB);
        source->place(0, compoundHeader(9, 200)).place(nameAt, name);
        ReadContext context(source);
        EXPECT_EQ(OLE2Carver().carve(0, context), documentMatch(512 + 200 * 65536, found ? "xls" : "ole"));
    }
}

TEST(OLE2CarverTest, RealLibreOfficeDocumentsAreFoundByTheirStreams)
{
    struct Case {
        const char* name;
        const char* ext;
        uint64_t estimate; // from the header's FAT sector count
    };
    for (const Case& testCase : { Case { "sample.doc", "doc", 66048 }, Case { "sample.xls", "xls", 66048 },
             Case { "sample.ppt", "ppt", 512 + 7 * 65536 } }) {
        SCOPED_TRACE(testCase.name);
        auto file = readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "documents" / testCase.name);
        ASSERT_GT(file.size(), 512u);
        ASSERT_LE(file.size(), testCase.estimate);
        auto match = carveAt(ByteBuilder().fill(512, 0).bytes(file).fill(600000, 0x00).build(), 512);
        EXPECT_EQ(match, documentMatch(testCase.estimate, testCase.ext));
        // At the very end of the source the file is carved to the source end: its own size.
        EXPECT_EQ(carveAt(file), documentMatch(file.size(), testCase.ext));
    }
}
