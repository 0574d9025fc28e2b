#include "FormatBuilders.hpp"
#include "carve/formats/RIFFCarver.hpp"

namespace brightfold::test {
namespace {

/// An outer chunk: identifier, 32-bit size (RIFF little-endian, FORM big-endian), form type, `body` bytes.
std::vector<uint8_t> chunk(std::string_view kind, uint32_t size, size_t body = 0)
{
    ByteBuilder b;
    b.text(kind.substr(0, 4));
    kind.starts_with("RIFF") ? b.u32le(size) : b.u32be(size);
    return b.text(kind.substr(4)).fill(body, 0x42).build();
}

TEST(RIFFCarverTest, DeclaredSizeAndFormType)
{
    std::vector<CarveCase> cases { { "WAVE", sourceOf(chunk("RIFFWAVE", 0x24, 0x20), 500), 44, kExact, "wav" },
        { "odd size takes the pad byte", sourceOf(chunk("RIFFWAVE", 0x25, 0x21), 100), 46 },
        { "FORM size is big-endian", sourceOf(chunk("FORMAIFC", 0x24, 0x20), 100), 44, kExact, "aiff" },
        { "past the source: its end", sourceOf(chunk("RIFFAVI ", 100000, 1000)), 1012, kHeuristic, "avi" },
        // Guards against adding the pad byte in 32 bits: 0xFFFFFFFF + 1 wraps to 0.
        { "largest odd size", sourceOf(chunk("RIFFWAVE", 0xFFFF'FFFF, 100)), 112, kHeuristic },
        { "huge size: the header alone is read", sourceOf(chunk("RIFFWAVE", 0xFFFF'FFF0), 0xFFFF'FFF0), 0xFFFF'FFF8, kExact, "", 0, 12 } };
    for (auto [kind, ext] : { std::pair { "RIFFAVI ", "avi" }, { "RIFFWEBP", "webp" }, { "FORMAIFF", "aiff" }, { "RIFFAIFF", "" }, { "FORMWAVE", "" },
             { "RIFFwave", "" }, { "RIFFAVIX", "" }, { "FORM8SVX", "" } })
        cases.push_back({ kind, sourceOf(chunk(kind, 100, 96)), *ext ? std::optional<uint64_t>(108) : std::nullopt, kExact, ext });
    for (size_t kept = 4; kept < 12; ++kept)
        cases.push_back({ "header cut at " + std::to_string(kept), sourceOf(prefix(chunk("RIFFWAVE", 0x24), kept)), {} });
    expectCarves(RIFFCarver(), cases);
}

}
}
