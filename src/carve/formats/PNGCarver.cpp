#include "carve/formats/PNGCarver.hpp"

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1000'0000;      // 256 MiB from the start: a chain not closed by then is no match
constexpr uint64_t kSignatureBytes = 8;            // 89 50 4E 47 0D 0A 1A 0A
constexpr uint64_t kChunkOverhead = 12;            // u32 length, 4-byte type, u32 CRC around the data
constexpr uint32_t kLengthLimit = 0x8000'0000;     // a chunk length is at most 2^31 - 1
constexpr uint32_t kHeaderChunkLength = 13;        // IHDR: width, height, depth, colour type, three methods

constexpr uint32_t kHeaderChunk = fourcc("IHDR");
constexpr uint32_t kEndChunk = fourcc("IEND");

/// Four type bytes as the big-endian value fourcc() gives for the same letters.
uint32_t fourccOf(const ByteRun& bytes)
{
    return integerAt<uint32_t>(bytes.span(), 0, ByteOrder::big);
}

bool isLetter(uint8_t value)
{
    return (value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z');
}

}

PNGCarver::PNGCarver()
    : FormatCarver("png", { FormatCategory::photos }, { { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A } }, 0,
        { kWalkWindow, kWalkWindow }) // a chunk header is read only when a whole chunk frame fits
{
}

std::optional<CarveMatch> PNGCarver::carve(uint64_t at, ReadContext& context) const
{
    const uint64_t sourceSize = context.size();
    if (at >= sourceSize)
        return std::nullopt;
    // Positions below are relative to `at`, so they stay far from wrapping:
    // at most the window plus one chunk length.
    const uint64_t end = std::min(sourceSize - at, kWalkWindow);

    uint64_t p = kSignatureBytes;
    for (bool first = true;; first = false) {
        if (p > end || end - p < kChunkOverhead)
            return std::nullopt;
        auto length = context.u32be(at + p); // u32 data length, then the 4-byte type
        if (!length || *length >= kLengthLimit)
            return std::nullopt;
        ByteRun typeBytes = context.bytes(at + p + 4, 4);
        if (typeBytes.size() != 4 || !std::all_of(typeBytes.begin(), typeBytes.end(), isLetter))
            return std::nullopt;
        const uint32_t type = fourccOf(typeBytes);
        if (first && (type != kHeaderChunk || *length != kHeaderChunkLength))
            return std::nullopt;

        const uint64_t chunkEnd = p + kChunkOverhead + *length;
        // IEND's length is counted like any other; only its header and CRC must be inside the window.
        if (type == kEndChunk)
            return CarveMatch { chunkEnd, "png", FormatCategory::photos, CarveConfidence::exact };
        p = chunkEnd;
    }
}

}
