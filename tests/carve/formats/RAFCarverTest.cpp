#include "FormatBuilders.hpp"
#include "carve/formats/RAFCarver.hpp"

namespace brightfold::test {
namespace {

/// A RAF header with its offset table: the JPEG preview, the CFA header and the
/// CFA (offset, length each), and a second sensor's CFA header and CFA at 120.
struct RafBuilder {
    uint32_t previewAt { 148 }, previewLength { 400 };
    uint32_t cfaHeaderAt { 548 }, cfaHeaderLength { 100 };
    uint32_t cfaAt { 2048 }, cfaLength { 3000 };
    uint32_t secondHeaderAt { 0 }, secondHeaderLength { 0 }, secondCfaAt { 0 }, secondCfaLength { 0 };
    std::string version { "0201" };
    bool previewIsJpeg { true };

    std::vector<uint8_t> bytes() const
    {
        ByteBuilder b;
        b.text("FUJIFILMCCD-RAW ").text(version).text("FF392201").text("FinePix S5Pro").padTo(60).text("0100").padTo(84);
        b.u32be(previewAt).u32be(previewLength).u32be(cfaHeaderAt).u32be(cfaHeaderLength).u32be(cfaAt).u32be(cfaLength).padTo(120);
        b.u32be(secondHeaderAt).u32be(secondHeaderLength).u32be(secondCfaAt).u32be(secondCfaLength);
        if (previewAt < 0x1'0000)
            b.place(previewAt, previewIsJpeg ? std::vector<uint8_t> { 0xFF, 0xD8, 0xFF, 0xE1 } : std::vector<uint8_t> { 0x89, 'P', 'N', 'G' });
        return b.build();
    }
};

TEST(RAFCarverTest, OffsetTableGivesTheEnd)
{
    auto with = [](auto change) {
        RafBuilder b;
        change(b);
        return sourceOf(b.bytes(), 0x1'0000 - b.bytes().size());
    };
    std::vector<CarveCase> cases {
        { "CFA last", with([](RafBuilder&) { }), 5048, kExact, "raf" },
        { "preview last", with([](RafBuilder& b) { b.previewLength = 9000; }), 9148 },
        { "CFA header last", with([](RafBuilder& b) { b.cfaHeaderAt = 6000; }), 6100 },
        { "second sensor following the first", with([](RafBuilder& b) { b.secondHeaderAt = 648, b.secondHeaderLength = 100, b.secondCfaAt = 5048, b.secondCfaLength = 3000; }), 8048 },
        // Fields that do not continue the first sensor's sections are some other camera's use of the space.
        { "second sensor elsewhere", with([](RafBuilder& b) { b.secondHeaderAt = 9000, b.secondHeaderLength = 100, b.secondCfaAt = 9100, b.secondCfaLength = 3000; }), 5048 },
        { "second sensor fields inside a short header", with([](RafBuilder& b) { b.previewAt = 112, b.secondCfaAt = 5048, b.secondCfaLength = 3000; }), 5048 },
        { "CFA past the source", with([](RafBuilder& b) { b.cfaLength = 0x2'0000; }), 0x1'0000, kHeuristic },
        { "preview not a JPEG", with([](RafBuilder& b) { b.previewIsJpeg = false; }), {} },
        { "preview inside the offset table", with([](RafBuilder& b) { b.previewAt = 100; }), {} },
        { "empty CFA", with([](RafBuilder& b) { b.cfaLength = 0; }), {} },
        { "version not digits", with([](RafBuilder& b) { b.version = "02a1"; }), {} },
        { "CFA ending past 1 GiB", with([](RafBuilder& b) { b.cfaAt = 0x4000'0000, b.cfaLength = 1; }), {} },
        // Regression from fuzzing: the preview's first bytes were read 2 GiB on, past the walk window.
        { "preview past 1 GiB", [] { RafBuilder b; b.previewAt = 0x8DAE'0000; return sourceOf(b.bytes(), 3ull << 30); }(), {}, kExact, "", 0, 0x4000'0000 },
        { "CFA ending at 1 GiB", with([](RafBuilder& b) { b.cfaAt = 0x3FFF'FFFF, b.cfaLength = 1; }), 0x1'0000, kHeuristic },
    };
    RafBuilder whole;
    for (size_t cut : { size_t { 20 }, size_t { 90 }, size_t { 150 } })
        cases.push_back({ "header cut at " + std::to_string(cut), sourceOf(prefix(whole.bytes(), cut)), {} });
    expectCarves(RAFCarver(), cases);
}

TEST(RAFCarverTest, RealFileEndsWithItsSecondCFA)
{
    const auto path = samplesFolder() / "exiftool_FujiFilm.raf";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    auto bytes = readWholeFile(path);
    expectCarves(RAFCarver(), { { "S5 Pro", sourceOf(bytes, 4096), bytes.size(), kExact, "raf" } });
}

}
}
