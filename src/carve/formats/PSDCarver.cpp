#include "carve/formats/PSDCarver.hpp"

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x4000'0000;     // 1 GiB: sections and the row table are read within it
constexpr uint64_t kHeaderBytes = 26;             // "8BPS", u16 version, 6 reserved, channels, height, width, depth, mode
constexpr uint16_t kMostChannels = 56;
constexpr uint32_t kLargestSide = 30'000;         // pixels, in a PSD
constexpr uint32_t kLargestBigSide = 300'000;     // pixels, in a PSB
constexpr uint64_t kRowTableStep = 0x1'0000;      // 64 KiB of row byte counts read at a time
constexpr uint16_t kRaw = 0;                      // image data compression methods
constexpr uint16_t kRunLength = 1;

enum Version : uint16_t {
    psd = 1,
    psb = 2,
};

bool isDepth(uint16_t depth)
{
    return depth == 1 || depth == 8 || depth == 16 || depth == 32;
}

/// Colour modes: bitmap, greyscale, indexed, RGB, CMYK, multichannel, duotone, Lab.
bool isColourMode(uint16_t mode)
{
    return mode <= 4 || (mode >= 7 && mode <= 9);
}

/// The sum of the `count` row byte counts at `table`, each `width` bytes, or no value when they run past the source or the window.
std::optional<uint64_t> sumOfRowCounts(ReadContext& context, uint64_t table, uint64_t count, uint64_t width)
{
    uint64_t sum = 0;
    for (uint64_t done = 0; done < count;) {
        const uint64_t items = std::min(count - done, kRowTableStep / width);
        ByteRun run = context.bytes(table + done * width, static_cast<int64_t>(items * width));
        if (run.size() != items * width)
            return std::nullopt;
        for (uint64_t i = 0; i < items; ++i)
            sum += width == 2 ? integerAt<uint16_t>(run.span(), i * 2, ByteOrder::big) : integerAt<uint32_t>(run.span(), i * 4, ByteOrder::big);
        done += items;
    }
    return sum;
}

}

PSDCarver::PSDCarver()
    : FormatCarver("psd", { FormatCategory::photos }, { textSignature("8BPS") }, 0, { kWalkWindow, kWalkWindow + kRowTableStep })
{
}

std::optional<CarveMatch> PSDCarver::carve(uint64_t at, ReadContext& context) const
{
    // Header: u16be version at 4, six zero bytes, then u16 channels, u32 height, u32 width, u16 depth, u16 colour mode.
    auto version = context.u16be(at + 4);
    auto reserved = context.bytes(at + 6, 6);
    auto channels = context.u16be(at + 12);
    auto height = context.u32be(at + 14);
    auto width = context.u32be(at + 18);
    auto depth = context.u16be(at + 22);
    auto mode = context.u16be(at + 24);
    if (!version || !channels || !height || !width || !depth || !mode)
        return std::nullopt;
    if ((*version != Version::psd && *version != Version::psb) || reserved.size() != 6 || std::any_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b != 0; }))
        return std::nullopt;
    const uint32_t largestSide = *version == Version::psd ? kLargestSide : kLargestBigSide;
    if (*channels < 1 || *channels > kMostChannels || *height < 1 || *height > largestSide || *width < 1 || *width > largestSide || !isDepth(*depth) || !isColourMode(*mode))
        return std::nullopt;

    // Colour mode data and image resources: u32be length each; layer and mask information: u32be (PSD) or u64be (PSB).
    uint64_t p = kHeaderBytes;
    for (int section = 0; section < 3; ++section) {
        const bool wide = section == 2 && *version == Version::psb;
        std::optional<uint64_t> length = context.u32be(at + p);
        if (wide)
            length = context.u64be(at + p);
        if (!length || *length > kWalkWindow - p)
            return std::nullopt;
        p += (wide ? 8 : 4) + *length;
        if (p > kWalkWindow - 2)
            return std::nullopt;
    }

    // Image data: u16be compression, then every channel's rows.
    auto compression = context.u16be(at + p);
    if (!compression)
        return std::nullopt;
    p += 2;
    const uint64_t rows = uint64_t { *channels } * *height;
    uint64_t dataBytes = 0;
    if (*compression == kRaw) {
        dataBytes = rows * ((uint64_t { *width } * *depth + 7) / 8);
    } else if (*compression == kRunLength) {
        const uint64_t countWidth = *version == Version::psd ? 2 : 4; // u16 byte count per row, u32 in a PSB
        if (rows * countWidth > kWalkWindow - p)
            return std::nullopt;
        auto sum = sumOfRowCounts(context, at + p, rows, countWidth);
        if (!sum)
            return std::nullopt;
        dataBytes = rows * countWidth + *sum;
    } else {
        return std::nullopt;
    }
    return CarveMatch { p + dataBytes, *version == Version::psd ? "psd" : "psb", FormatCategory::photos, CarveConfidence::exact };
}

}
