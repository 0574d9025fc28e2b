#include "FormatBuilders.hpp"
#include "carve/formats/MRWCarver.hpp"

namespace brightfold::test {
namespace {

/// PRD block data: version, sensor height and width, image height and width, bits, pixel size, storage, then 5 more bytes.
std::vector<uint8_t> prd(uint16_t height, uint16_t width, uint8_t bits, uint8_t storage)
{
    return ByteBuilder().text("21860002").u16be(height).u16be(width).u16be(height).u16be(width).u8(bits).u8(bits).u8(storage).fill(5).build();
}

/// The MRM block holding the given blocks (name, data), then `raw` bytes of raw data.
std::vector<uint8_t> mrw(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& blocks, size_t raw)
{
    ByteBuilder inner;
    for (const auto& [name, data] : blocks)
        inner.u8(0).text(name).u32be(uint32_t(data.size())).bytes(data);
    return ByteBuilder().u8(0).text("MRM").u32be(uint32_t(inner.size())).bytes(inner.build()).fill(raw, 0x5A).build();
}

TEST(MRWCarverTest, PictureDimensionsGiveTheRawData)
{
    const auto ttw = ByteBuilder().text("MM").u16be(42).u32be(8).fill(40, 1).build();
    const std::vector<uint8_t> pad(12, 0);
    const size_t header = 8 + 8 + 24 + 8 + ttw.size() + 8 + 12;
    std::vector<CarveCase> cases {
        { "unpacked", sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x59) }, { "TTW", ttw }, { "PAD", pad } }, 1200), 500), header + 20 * 30 * 2, kExact, "mrw" },
        { "packed 12-bit", sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x52) }, { "TTW", ttw }, { "PAD", pad } }, 900), 500), header + 20 * 30 * 3 / 2 },
        { "raw data cut by the source", sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x59) }, { "TTW", ttw }, { "PAD", pad } }, 100)), header + 100, kHeuristic },
        { "packed 10-bit", sourceOf(mrw({ { "PRD", prd(20, 30, 10, 0x52) } }, 900), 500), {} },
        { "unknown storage", sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x41) } }, 900), 500), {} },
        { "no PRD block", sourceOf(mrw({ { "TTW", ttw }, { "PAD", pad } }, 900), 500), {} },
        { "short PRD block", sourceOf(mrw({ { "PRD", prefix(prd(20, 30, 12, 0x59), 19) } }, 900), 500), {} },
        { "zero width", sourceOf(mrw({ { "PRD", prd(20, 0, 12, 0x59) } }, 900), 500), {} },
        { "lower-case block name", sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x59) }, { "Ttw", ttw } }, 1200), 500), {} },
    };
    // The signature test leaves the first byte out: the carver checks it.
    auto notZero = mrw({ { "PRD", prd(20, 30, 12, 0x59) } }, 1200);
    notZero[0] = 'X';
    cases.push_back({ "XMRM", sourceOf(notZero, 500), {} });
    // A block claiming more than the MRM block holds.
    auto overrun = mrw({ { "PRD", prd(20, 30, 12, 0x59) }, { "PAD", pad } }, 1200);
    overrun[8 + 32 + 7] = 13;
    cases.push_back({ "block past the MRM block", sourceOf(overrun, 500), {} });
    // The MRM block, its own 8 bytes included, may take 1 MiB and no more.
    auto withPad = [&](size_t padBytes) { return sourceOf(mrw({ { "PRD", prd(20, 30, 12, 0x59) }, { "PAD", std::vector<uint8_t>(padBytes) } }, 1200), 500); };
    cases.push_back({ "MRM block of 1 MiB", withPad(0x10'0000 - 48), 0x10'0000 + 1200 });
    cases.push_back({ "MRM block past 1 MiB", withPad(0x10'0000 - 47), {} });
    expectCarves(MRWCarver(), cases);
}

TEST(MRWCarverTest, RealFileRunsOnPastItsStrippedRawData)
{
    const auto path = samplesFolder() / "exiftool_Minolta.mrw";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    // ExifTool kept 16 of the 2456 × 3272 × 2 bytes of raw data the PRD block describes.
    auto bytes = readWholeFile(path);
    expectCarves(MRWCarver(), { { "DiMAGE", sourceOf(bytes), bytes.size(), kHeuristic, "mrw" } });
    ReadContext context(sourceOf(bytes));
    EXPECT_EQ(MRWCarver().carve(0, context)->length, bytes.size() - 16 + 2456 * 3272 * 2);
}

}
}
