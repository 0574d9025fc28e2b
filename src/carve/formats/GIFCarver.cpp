#include "carve/formats/GIFCarver.hpp"

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x400'0000;   // 64 MiB from the start: blocks beyond it are no match
constexpr uint64_t kHeaderBytes = 13;          // signature, screen width and height, flags, background, aspect
constexpr uint64_t kImageDescriptorBytes = 10; // separator, left, top, width, height, flags

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;

/// Bytes of the colour table announced by packed `flags` (bit 7 present, low three bits N: 3 × 2^(N + 1)).
uint64_t colourTableBytes(uint8_t flags)
{
    if ((flags & 0x80) == 0)
        return 0;
    return 3ULL << ((flags & 0x07) + 1);
}

/// Skips a sequence of data sub-blocks (a size byte, then that many bytes) that
/// starts at `from`, and returns the offset just past its zero-size terminator;
/// no value when the sequence reaches `limit` or the source ends first. One
/// single-byte read per sub-block; the data are never read.
std::optional<uint64_t> skipSubBlocks(uint64_t from, ReadContext& context, uint64_t limit)
{
    uint64_t q = from;
    if (q >= limit)
        return std::nullopt;
    for (;;) {
        auto blockSize = context.byte(q);
        if (!blockSize)
            return std::nullopt;
        q += 1; // q <= limit here
        if (*blockSize == 0)
            return q;
        if (*blockSize >= limit - q)
            return std::nullopt;
        q += *blockSize;
    }
}

}

GIFCarver::GIFCarver()
    : FormatCarver("gif", { FormatCategory::photos }, { textSignature("GIF87a"), textSignature("GIF89a") }, 0,
        { kWalkWindow, kWalkWindow + kImageDescriptorBytes }) // a descriptor starting just inside
{
}

std::optional<CarveMatch> GIFCarver::carve(uint64_t at, ReadContext& context) const
{
    ByteRun header = context.bytes(at, static_cast<int64_t>(kHeaderBytes));
    if (header.size() < kHeaderBytes)
        return std::nullopt;
    const uint16_t width = integerAt<uint16_t>(header.span(), 6, ByteOrder::little);
    const uint16_t height = integerAt<uint16_t>(header.span(), 8, ByteOrder::little);
    if (width == 0 || height == 0)
        return std::nullopt;

    // The header was read whole, so at + 13 <= source size and `limit` > at.
    const uint64_t limit = at + std::min(context.size() - at, kWalkWindow);
    // Each advance below is tested against what is left before `limit` before it is
    // made, so no position passes `limit` by more than a few bytes or wraps.
    const uint64_t globalTable = colourTableBytes(header[10]);
    if (kHeaderBytes + globalTable >= limit - at)
        return std::nullopt;
    uint64_t p = at + kHeaderBytes + globalTable;

    for (;;) {
        auto introducer = context.byte(p);
        if (!introducer)
            return std::nullopt;
        switch (*introducer) {
        case kExtensionIntroducer: {
            auto next = skipSubBlocks(p + 2, context, limit); // past the introducer and the label
            if (!next)
                return std::nullopt;
            p = *next;
            break;
        }
        case kImageSeparator: {
            ByteRun descriptor = context.bytes(p, static_cast<int64_t>(kImageDescriptorBytes));
            if (descriptor.size() < kImageDescriptorBytes)
                return std::nullopt;
            // Descriptor, local colour table, LZW minimum code size, then the data sub-blocks.
            const uint64_t skipped = kImageDescriptorBytes + colourTableBytes(descriptor[9]) + 1;
            if (skipped >= limit - p)
                return std::nullopt;
            auto next = skipSubBlocks(p + skipped, context, limit);
            if (!next)
                return std::nullopt;
            p = *next;
            break;
        }
        case kTrailer:
            return CarveMatch { p + 1 - at, "gif", FormatCategory::photos, CarveConfidence::exact };
        default:
            return std::nullopt;
        }
        if (p >= limit)
            return std::nullopt;
    }
}

}
