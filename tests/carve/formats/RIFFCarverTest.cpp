#include "FormatBuilders.hpp"
#include "carve/formats/RIFFCarver.hpp"

namespace brightfold::test {
namespace {

/// The chunk that makes a form what it says: a PCM format, the AVI header list, a WebP bitstream, an AIFF sound description.
std::vector<uint8_t> identifying(std::string_view form)
{
    ByteBuilder b;
    if (form == "AVI ")
        return b.text("LIST").u32le(16).text("hdrl").text("avih").u32le(4).u32le(0).build();
    if (form == "WEBP")
        return b.text("VP8L").u32le(4).u32le(0x2F).build();
    if (form == "AIFF" || form == "AIFC")
        return b.text("COMM").u32be(18).u16be(1).u32be(0).u16be(16).fill(10).build();
    return b.text("fmt ").u32le(16).u16le(1).u16le(2).u32le(44100).u32le(176400).u16le(4).u16le(16).build();
}

/// An outer chunk: identifier, 32-bit size (RIFF little-endian, FORM big-endian), form type, then
/// `body` bytes: the identifying chunk and a filler chunk of the rest (none when `body` is 0).
std::vector<uint8_t> chunk(std::string_view kind, uint32_t size, size_t body = 0)
{
    const bool riff = kind.starts_with("RIFF");
    ByteBuilder b;
    b.text(kind.substr(0, 4));
    riff ? b.u32le(size) : b.u32be(size);
    b.text(kind.substr(4));
    const auto first = identifying(kind.substr(4));
    if (body >= first.size() + 8) {
        b.bytes(first).text("JUNK");
        riff ? b.u32le(uint32_t(body - first.size() - 8)) : b.u32be(uint32_t(body - first.size() - 8));
    }
    return b.fill(body - std::min(body, b.size() - 12), 0x42).build();
}

TEST(RIFFCarverTest, DeclaredSizeAndFormType)
{
    std::vector<CarveCase> cases { { "WAVE", sourceOf(chunk("RIFFWAVE", 0x24, 0x20), 500), 44, kExact, "wav" },
        { "odd size takes the pad byte", sourceOf(chunk("RIFFWAVE", 0x25, 0x21), 100), 46 },
        { "FORM size is big-endian", sourceOf(chunk("FORMAIFC", 0x2A, 0x26), 100), 50, kExact, "aiff" },
        { "past the source: its end", sourceOf(chunk("RIFFAVI ", 100000, 1000)), 1012, kHeuristic, "avi" },
        // Guards against adding the pad byte in 32 bits: 0xFFFFFFFF + 1 wraps to 0.
        { "largest odd size", sourceOf(chunk("RIFFWAVE", 0xFFFF'FFFF, 100)), 112, kHeuristic },
        { "huge size over zeros: the walk stops at the first chunk after fmt", sourceOf(chunk("RIFFWAVE", 0xFFFF'FFF0, 32), 0xFFFF'FFF0), 0xFFFF'FFF8, kHeuristic, "", 0, 52 } };
    // A size field alone proved a file: a header over other data hid what lay inside the declared range.
    auto wave = [](std::vector<uint8_t> chunks) { return sourceOf(ByteBuilder().text("RIFF").u32le(uint32_t(chunks.size() + 4)).text("WAVE").bytes(chunks).build(), 64); };
    const auto fmt = identifying("WAVE");
    cases.insert(cases.end(), { { "fmt and data walked", wave(ByteBuilder().bytes(fmt).text("data").u32le(4).u32le(7).build()), 48 },
        { "junk after the header", wave(ByteBuilder().fill(40, 0xC3).build()), {} },
        { "fmt without channels", wave(ByteBuilder().bytes(fmt).place(10, { 0, 0 }).build()), {} },
        { "data chunk past the declared end", wave(ByteBuilder().bytes(fmt).text("data").u32le(400).fill(8, 1).build()), 52, kHeuristic },
        { "unprintable chunk", wave(ByteBuilder().bytes(fmt).u32le(0x01020304).u32le(0).build()), 44, kHeuristic },
        { "broken LIST", wave(ByteBuilder().bytes(fmt).text("LIST").u32le(12).text("INFO").text("IN\x01T").u32le(0).build()), 56, kHeuristic },
        { "AIFF-C with FVER first", sourceOf(ByteBuilder().text("FORM").u32be(42).text("AIFC").text("FVER").u32be(4).u32be(1).bytes(identifying("AIFF")).build(), 64), 50 },
        { "AVI without its header list", sourceOf(ByteBuilder().text("RIFF").u32le(16).text("AVI ").text("JUNK").u32le(4).u32le(0).build(), 64), {} } });
    for (auto [kind, ext] : { std::pair { "RIFFAVI ", "avi" }, { "RIFFWEBP", "webp" }, { "FORMAIFF", "aiff" }, { "RIFFAIFF", "" }, { "FORMWAVE", "" },
             { "RIFFwave", "" }, { "RIFFAVIX", "" }, { "FORM8SVX", "" } })
        cases.push_back({ kind, sourceOf(chunk(kind, 100, 96)), *ext ? std::optional<uint64_t>(108) : std::nullopt, kExact, ext });
    for (size_t kept = 4; kept < 12; ++kept)
        cases.push_back({ "header cut at " + std::to_string(kept), sourceOf(prefix(chunk("RIFFWAVE", 0x24), kept)), {} });
    expectCarves(RIFFCarver(), cases);
}

}
}
