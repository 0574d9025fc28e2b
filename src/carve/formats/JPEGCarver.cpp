#include "carve/formats/JPEGCarver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderWalkWindow = 0x4000000; // 64 MiB from the start: the marker walk gives up there
constexpr uint64_t kSearchBudget = 0x10000000;    // 256 MiB from the start: both end searches stop there
constexpr uint64_t kFallbackCap = 0x1000000;      // 16 MiB: longest length reported without an end marker

constexpr std::array<uint8_t, 2> kEndOfImage { 0xFF, 0xD9 };
constexpr std::array<uint8_t, 3> kStartOfImage { 0xFF, 0xD8, 0xFF };

/// The markers a real encoder writes right after SOI: APPn, DQT, SOF0, SOF2, DHT, DRI, COM.
bool isAcceptedFourthByte(uint8_t marker)
{
    if ((marker & 0xF0) == 0xE0)
        return true;
    return marker == 0xDB || marker == 0xC0 || marker == 0xC2 || marker == 0xC4 || marker == 0xDD || marker == 0xFE;
}

/// Walks the marker segments from the first marker after SOI to the first SOS and
/// returns the first byte of the entropy-coded data; no value when the header is
/// not a plausible JPEG header.
std::optional<uint64_t> walkToScanData(uint64_t start, ReadContext& context)
{
    uint64_t limit = start + kHeaderWalkWindow;
    uint64_t p = start + 2;
    while (p + 4 < limit) {
        auto prefix = context.byte(p);
        if (!prefix || *prefix != 0xFF)
            return std::nullopt;
        auto marker = context.byte(p + 1);
        if (!marker)
            return std::nullopt;
        if (*marker == 0x01 || (*marker & 0xF8) == 0xD0) { // TEM, RST0..RST7 carry no length
            p += 2;
            continue;
        }
        if (*marker == 0xFF) { // fill byte: the next FF starts the marker
            p += 1;
            continue;
        }
        if (*marker == 0xD8 || *marker == 0xD9) // SOI or EOI before the first scan
            return std::nullopt;
        auto segmentLength = context.u16(p + 2, true); // u16 length, counting itself
        if (!segmentLength || *segmentLength < 2)
            return std::nullopt;
        p += 2 + *segmentLength;
        if (*marker == 0xDA)
            return p;
    }
    return std::nullopt;
}

}

JPEGCarver::JPEGCarver()
    : FormatCarver("jpeg", { FormatCategory::photos }, { { 0xFF, 0xD8, 0xFF } }, 0)
{
}

std::optional<CarveMatch> JPEGCarver::carve(uint64_t at, ReadContext& context) const
{
    auto fourth = context.byte(at + 3);
    if (!fourth || !isAcceptedFourthByte(*fourth))
        return std::nullopt;
    auto scanData = walkToScanData(at, context);
    if (!scanData)
        return std::nullopt;
    uint64_t p = *scanData;

    // The image ends at the first end-of-image marker, unless another image starts
    // before it (a photo written over this one's tail). Looking for both at once
    // gives the same answer as two searches and reads the scan data only once.
    uint64_t budget = kSearchBudget - std::min(kSearchBudget, p - at);
    const std::span<const uint8_t> markers[] { kEndOfImage, kStartOfImage };
    auto found = context.findAny(markers, p, budget, ReadContext::kSearchChunk);

    CarveMatch match { 0, "jpg", FormatCategory::photos, CarveConfidence::heuristic };
    if (found && found->patternIndex == 1) {
        match.length = found->offset - at;
    } else if (found) {
        match.length = found->offset + 2 - at;
        match.confidence = CarveConfidence::exact;
    } else {
        uint64_t available = context.size() > at ? context.size() - at : 0;
        match.length = std::min(available, kFallbackCap);
    }
    return match;
}

}
