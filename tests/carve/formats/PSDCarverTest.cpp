#include "FormatBuilders.hpp"
#include "carve/formats/PSDCarver.hpp"

namespace brightfold::test {
namespace {

/// A Photoshop document: the header, the colour mode data, image resources and
/// layer sections (`sections` bytes each, the last with a u64 length in a PSB),
/// then the merged image data: raw rows, or RLE with a table of row byte counts.
struct PsdBuilder {
    uint16_t version { 1 };
    uint16_t channels { 3 };
    uint32_t height { 4 }, width { 5 };
    uint16_t depth { 8 }, mode { 3 };
    uint16_t compression { 0 };
    uint32_t sections[3] { 0, 40, 12 };
    uint32_t rowBytes { 7 }; ///< each RLE row's byte count

    std::vector<uint8_t> bytes() const
    {
        ByteBuilder b;
        b.text("8BPS").u16be(version).fill(6).u16be(channels).u32be(height).u32be(width).u16be(depth).u16be(mode);
        for (int i = 0; i < 3; ++i) {
            if (i == 2 && version == 2)
                b.u64be(sections[i]);
            else
                b.u32be(sections[i]);
            b.fill(sections[i], 0x38);
        }
        b.u16be(compression);
        const uint32_t rows = channels * height;
        if (compression == 1) {
            for (uint32_t row = 0; row < rows; ++row)
                version == 1 ? b.u16be(uint16_t(rowBytes)) : b.u32be(rowBytes);
            b.fill(rows * rowBytes, 0x7E);
        } else {
            b.fill(rows * ((width * depth + 7) / 8), 0x7E);
        }
        return b.build();
    }
};

TEST(PSDCarverTest, SectionsAndImageDataGiveTheEnd)
{
    auto with = [](auto change) {
        PsdBuilder b;
        change(b);
        return b;
    };
    std::vector<std::pair<std::string, PsdBuilder>> good {
        { "raw RGB", with([](PsdBuilder&) { }) },
        { "raw 1-bit bitmap", with([](PsdBuilder& b) { b.channels = 1, b.depth = 1, b.mode = 0, b.width = 9; }) },
        { "raw 16-bit CMYK with alpha", with([](PsdBuilder& b) { b.channels = 5, b.depth = 16, b.mode = 4; }) },
        { "RLE", with([](PsdBuilder& b) { b.compression = 1; }) },
        { "RLE in a PSB", with([](PsdBuilder& b) { b.version = 2, b.compression = 1; }) },
        { "empty sections", with([](PsdBuilder& b) { b.sections[1] = 0, b.sections[2] = 0; }) },
    };
    std::vector<CarveCase> cases;
    for (const auto& [name, b] : good) {
        auto bytes = b.bytes();
        cases.push_back({ name, sourceOf(bytes, 900), bytes.size(), kExact, b.version == 1 ? "psd" : "psb" });
        cases.push_back({ name + ", cut", sourceOf(prefix(bytes, bytes.size() - 1)), bytes.size() - 1, kHeuristic });
    }
    std::vector<std::pair<std::string, PsdBuilder>> bad {
        { "version 3", with([](PsdBuilder& b) { b.version = 3; }) }, { "no channels", with([](PsdBuilder& b) { b.channels = 0; }) },
        { "57 channels", with([](PsdBuilder& b) { b.channels = 57; }) }, { "depth 4", with([](PsdBuilder& b) { b.depth = 4; }) },
        { "colour mode 5", with([](PsdBuilder& b) { b.mode = 5; }) }, { "height 30001", with([](PsdBuilder& b) { b.height = 30'001; }) },
        { "zero width", with([](PsdBuilder& b) { b.width = 0; }) }, { "ZIP image data", with([](PsdBuilder& b) { b.compression = 2; }) },
    };
    for (const auto& [name, b] : bad)
        cases.push_back({ name, sourceOf(prefix(b.bytes(), std::min<size_t>(b.bytes().size(), 4096)), 900), {} });
    // A PSB may be taller than a PSD.
    auto tall = with([](PsdBuilder& b) { b.version = 2, b.height = 30'001, b.width = 1, b.channels = 1; }).bytes();
    cases.push_back({ "PSB of 30001 rows", sourceOf(tall, 900), tall.size(), kExact, "psb" });
    // A colour mode data section claiming 1 GiB.
    auto far = PsdBuilder().bytes();
    far[26] = 0x40;
    cases.push_back({ "section past 1 GiB", sourceOf(far, 900), {} });
    // Non-zero reserved bytes.
    auto reserved = PsdBuilder().bytes();
    reserved[9] = 1;
    cases.push_back({ "reserved byte set", sourceOf(reserved, 900), {} });
    // The RLE table cut by the source's end: the rows' data cannot be summed.
    auto rle = with([](PsdBuilder& b) { b.compression = 1; }).bytes();
    cases.push_back({ "RLE table cut", sourceOf(prefix(rle, 26 + 12 + 40 + 12 + 2 + 10)), {} });
    expectCarves(PSDCarver(), cases);
}

TEST(PSDCarverTest, RealFileEndsWithItsImageData)
{
    const auto path = samplesFolder() / "exiftool_Photoshop.psd";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    // ExifTool appended 75 bytes of its own after the RLE image data.
    auto bytes = readWholeFile(path);
    expectCarves(PSDCarver(), { { "PSD", sourceOf(bytes, 4096), bytes.size() - 75, kExact, "psd" } });
}

}
}
