#include "carve/formats/BMPCarver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint32_t kSmallestFileBytes = 58;            // 14-byte file header, 40-byte information header, one pixel
constexpr uint32_t kLargestFileBytes = 0x1000'0000;    // 256 MiB
constexpr uint32_t kSmallestPixelOffset = 26;          // 14-byte file header and the 12-byte core header
constexpr uint64_t kBytesRead = 18;                    // the file header and the information header's u32 size
// BITMAPCOREHEADER, BITMAPINFOHEADER, the two Adobe variants, OS/2 2.x, BITMAPV4HEADER, BITMAPV5HEADER.
constexpr std::array<uint32_t, 7> kInformationHeaderSizes { 12, 40, 52, 56, 64, 108, 124 };

}

BMPCarver::BMPCarver()
    : FormatCarver("bmp", { FormatCategory::photos }, { textSignature("BM") }, 0, { kBytesRead, kBytesRead })
{
}

std::optional<CarveMatch> BMPCarver::carve(uint64_t at, ReadContext& context) const
{
    auto fileSize = context.u32le(at + 2); // u32 file size, two reserved u16, u32 pixel-data offset
    if (!fileSize || *fileSize < kSmallestFileBytes || *fileSize > kLargestFileBytes)
        return std::nullopt;
    auto pixelOffset = context.u32le(at + 10);
    if (!pixelOffset || *pixelOffset < kSmallestPixelOffset || *pixelOffset >= *fileSize)
        return std::nullopt;
    auto headerSize = context.u32le(at + 14); // the information header begins with its own size
    if (!headerSize || std::find(kInformationHeaderSizes.begin(), kInformationHeaderSizes.end(), *headerSize) == kInformationHeaderSizes.end())
        return std::nullopt;
    const uint64_t sourceSize = context.size();
    if (at > sourceSize || *fileSize > sourceSize - at)
        return std::nullopt;
    return CarveMatch { *fileSize, "bmp", FormatCategory::photos, CarveConfidence::exact };
}

}
