#include "carve/formats/RAFCarver.hpp"

#include <algorithm>
#include <cctype>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x4000'0000;   // 1 GiB: no section ending past it counts
constexpr uint64_t kFormatVersionAt = 16;       // 4 ASCII digits ("0201")
constexpr uint64_t kDirectoryVersionAt = 60;    // 4 ASCII digits ("0100")
constexpr uint64_t kOffsetTableAt = 84;         // u32be offset and length of the JPEG preview, the CFA header, the CFA
constexpr uint64_t kSecondSensorAt = 120;       // the same for a second CFA header and CFA
constexpr uint64_t kSecondSensorEnd = kSecondSensorAt + 16;
constexpr uint64_t kOffsetTableEnd = kOffsetTableAt + 24;

/// One section of the file, as the offset table gives it (relative to the start).
struct Section {
    uint64_t offset;
    uint64_t length;
    uint64_t end() const { return offset + length; } // both 32-bit
};

std::optional<Section> sectionAt(ReadContext& context, uint64_t at)
{
    auto offset = context.u32be(at);
    auto length = context.u32be(at + 4);
    if (!offset || !length)
        return std::nullopt;
    return Section { *offset, *length };
}

bool isDigits(const ByteRun& bytes)
{
    return bytes.size() == 4 && std::all_of(bytes.begin(), bytes.end(), [](uint8_t c) { return std::isdigit(c) != 0; });
}

}

RAFCarver::RAFCarver()
    : FormatCarver("raf", { FormatCategory::rawPhotos }, { textSignature("FUJIFILMCCD-RAW ") }, 0, { kWalkWindow, kWalkWindow })
{
}

std::optional<CarveMatch> RAFCarver::carve(uint64_t at, ReadContext& context) const
{
    if (!isDigits(context.bytes(at + kFormatVersionAt, 4)) || !isDigits(context.bytes(at + kDirectoryVersionAt, 4)))
        return std::nullopt;
    auto preview = sectionAt(context, at + kOffsetTableAt);
    auto cfaHeader = sectionAt(context, at + kOffsetTableAt + 8);
    auto cfa = sectionAt(context, at + kOffsetTableAt + 16);
    if (!preview || !cfaHeader || !cfa)
        return std::nullopt;
    // The preview follows the header; the table itself must lie before it.
    if (preview->offset < kOffsetTableEnd || preview->length == 0 || cfa->length == 0)
        return std::nullopt;
    uint64_t end = std::max({ preview->end(), cfaHeader->end(), cfa->end() });
    if (end > kWalkWindow) // before the preview is read: nothing past the window is
        return std::nullopt;
    ByteRun jpeg = context.bytes(at + preview->offset, 3);
    if (jpeg.size() != 3 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF)
        return std::nullopt;

    // A header long enough to hold a second sensor's entries: each counts only
    // where it continues the first sensor's section, as the S5 Pro writes them.
    if (preview->offset >= kSecondSensorEnd) {
        auto secondHeader = sectionAt(context, at + kSecondSensorAt);
        auto secondCfa = sectionAt(context, at + kSecondSensorAt + 8);
        if (secondHeader && secondHeader->offset == cfaHeader->end())
            end = std::max(end, secondHeader->end());
        if (secondCfa && secondCfa->offset == cfa->end())
            end = std::max(end, secondCfa->end());
    }
    if (end > kWalkWindow)
        return std::nullopt;
    return CarveMatch { end, "raf", FormatCategory::rawPhotos, CarveConfidence::exact };
}

}
