#include "FormatBuilders.hpp"
#include "carve/formats/BMPCarver.hpp"

#include <set>

namespace brightfold::test {
namespace {

/// "BM", u32 file size, two reserved u16, u32 pixel-data offset, u32 information header
/// size, in a source that ends `missing` bytes before the stated size.
std::shared_ptr<SparseSource> bmp(uint32_t size, uint32_t pixels = 54, uint32_t headerSize = 40, uint32_t missing = 0)
{
    return sourceOf(ByteBuilder().text("BM").u32le(size).u32le(0).u32le(pixels).u32le(headerSize).build(), std::max<uint64_t>(size, 18) - 18 - missing);
}

TEST(BMPCarverTest, StatedSizeIsTheLengthWhenTheHeaderIsPlausible)
{
    std::vector<CarveCase> cases { { "58 bytes", bmp(58, 26), 58, kExact, "bmp" }, { "57 bytes", bmp(57, 26), {} },
        { "256 MiB: the header alone is read", bmp(0x1000'0000), 0x1000'0000, kExact, "", 0, 18 }, { "256 MiB and a byte", bmp(0x1000'0001), {} },
        { "pixels at 25", bmp(100, 25), {} }, { "pixels at 26", bmp(100, 26), 100 }, { "pixels at the end", bmp(100, 100), {} }, { "a byte short of the source", bmp(300, 54, 40, 1), {} } };
    for (uint32_t size : { 0, 12, 16, 40, 41, 52, 56, 64, 108, 124, 128 })
        cases.push_back({ "information header of " + std::to_string(size), bmp(300, 138, size), std::set<uint32_t> { 12, 40, 52, 56, 64, 108, 124 }.contains(size) ? std::optional<uint64_t>(300) : std::nullopt });
    expectCarves(BMPCarver(), cases);
}

}
}
