#include "FormatBuilders.hpp"
#include "carve/formats/X3FCarver.hpp"

namespace brightfold::test {
namespace {

struct Section {
    uint32_t offset, length;
    std::string type;
};

/// "FOVb" and a header, `body` bytes of sections, then the directory ("SECd",
/// version, count, entries) and the u32 pointing back at it.
std::vector<uint8_t> x3f(size_t body, const std::vector<Section>& sections, std::optional<uint32_t> pointer = std::nullopt, const std::vector<uint8_t>& inside = {})
{
    ByteBuilder b;
    b.text("FOVb").u32le(0x0002'0002).fill(16, 0x44).bytes(inside).padTo(body, 0x55);
    b.text("SECd").u32le(0x0002'0000).u32le(uint32_t(sections.size()));
    for (const auto& s : sections)
        b.u32le(s.offset).u32le(s.length).text(s.type);
    return b.u32le(pointer.value_or(uint32_t(body))).build();
}

TEST(X3FCarverTest, DirectoryAtTheEndNamedByItsPointer)
{
    const std::vector<Section> usual { { 256, 48, "IMAG" }, { 304, 2000, "IMA2" }, { 2304, 696, "PROP" } };
    const size_t end = 3000 + 12 + 36 + 4;
    // A section holding "SECd" whose count and pointer do not fit.
    const auto decoy = ByteBuilder().fill(300, 0x66).text("SECd").u32le(0x0002'0000).u32le(1).u32le(256).u32le(10).text("IMAG").u32le(77).build();
    auto decoys = [&](int count) {
        ByteBuilder inside;
        for (int i = 0; i < count; ++i)
            inside.text("SECd").u32le(0).u32le(0);
        return x3f(3000, usual, std::nullopt, inside.build());
    };
    expectCarves(X3FCarver(), {
        { "three sections", sourceOf(x3f(3000, usual), 900), end, kExact, "x3f" },
        { "a decoy directory in a section", sourceOf(x3f(3000, usual, std::nullopt, decoy), 900), end },
        { "15 decoys, then the directory", sourceOf(decoys(15), 900), end },
        { "16 decoys", sourceOf(decoys(16), 900), {} },
        { "pointer off by one", sourceOf(x3f(3000, usual, 2999), 900), {} },
        { "section reaching into the directory", sourceOf(x3f(3000, { { 256, 2745, "IMAG" } }), 900), {} },
        { "section inside the header", sourceOf(x3f(3000, { { 4, 100, "IMAG" } }), 900), {} },
        { "no sections", sourceOf(x3f(3000, {}), 900), {} },
        { "cut before the pointer", sourceOf(prefix(x3f(3000, usual), end - 1)), {} },
    });
}

TEST(X3FCarverTest, RealFileEndsWithItsDirectoryPointer)
{
    const auto path = samplesFolder() / "exiftool_Sigma.x3f";
    if (!std::filesystem::exists(path))
        SKIP_WITHOUT_CAPABILITY("no shared sample " << path);
    auto bytes = readWholeFile(path);
    expectCarves(X3FCarver(), { { "Sigma", sourceOf(bytes, 4096), bytes.size(), kExact, "x3f" } });
}

}
}
