#include "carve/formats/JPEGCarver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderWalkWindow = 0x4000000; // 64 MiB from the start: the marker walk gives up there
constexpr uint64_t kSearchBudget = 0x10000000;    // 256 MiB from the start: both end searches stop there
constexpr uint64_t kFallbackCap = 0x1000000;      // 16 MiB: longest length reported without an end marker

/// Marker codes: each marker is FF followed by one of these.
namespace Marker {
constexpr uint8_t kPrefix = 0xFF;        // also a fill byte before a marker
constexpr uint8_t kTemporary = 0x01;     // TEM, no length
constexpr uint8_t kStartOfFrame0 = 0xC0; // SOF0, baseline
constexpr uint8_t kStartOfFrame2 = 0xC2; // SOF2, progressive
constexpr uint8_t kHuffmanTable = 0xC4;  // DHT
constexpr uint8_t kRestart0 = 0xD0;      // RST0..RST7 (D0..D7), no length
constexpr uint8_t kStartOfImage = 0xD8;  // SOI
constexpr uint8_t kEndOfImage = 0xD9;    // EOI
constexpr uint8_t kStartOfScan = 0xDA;   // SOS: the entropy-coded data follow its segment
constexpr uint8_t kQuantisationTable = 0xDB; // DQT
constexpr uint8_t kRestartInterval = 0xDD;   // DRI
constexpr uint8_t kApplication0 = 0xE0;  // APP0..APP15 (E0..EF)
constexpr uint8_t kComment = 0xFE;       // COM
}

constexpr std::array<uint8_t, 2> kEndOfImage { Marker::kPrefix, Marker::kEndOfImage };
constexpr std::array<uint8_t, 3> kStartOfImage { Marker::kPrefix, Marker::kStartOfImage, Marker::kPrefix };

/// The markers a real encoder writes right after SOI: APPn, DQT, SOF0, SOF2, DHT, DRI, COM.
bool isAcceptedFourthByte(uint8_t marker)
{
    if ((marker & 0xF0) == Marker::kApplication0)
        return true;
    switch (marker) {
    case Marker::kQuantisationTable:
    case Marker::kStartOfFrame0:
    case Marker::kStartOfFrame2:
    case Marker::kHuffmanTable:
    case Marker::kRestartInterval:
    case Marker::kComment:
        return true;
    default:
        return false;
    }
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
        if (!prefix || *prefix != Marker::kPrefix)
            return std::nullopt;
        auto marker = context.byte(p + 1);
        if (!marker)
            return std::nullopt;
        if (*marker == Marker::kTemporary || (*marker & 0xF8) == Marker::kRestart0) {
            p += 2;
            continue;
        }
        if (*marker == Marker::kPrefix) { // fill byte: the next FF starts the marker
            p += 1;
            continue;
        }
        if (*marker == Marker::kStartOfImage || *marker == Marker::kEndOfImage) // before the first scan
            return std::nullopt;
        auto segmentLength = context.u16be(p + 2); // u16 length, counting itself
        if (!segmentLength || *segmentLength < 2)
            return std::nullopt;
        p += 2 + *segmentLength;
        if (*marker == Marker::kStartOfScan)
            return p;
    }
    return std::nullopt;
}

}

JPEGCarver::JPEGCarver()
    : FormatCarver("jpeg", { FormatCategory::photos }, { Signature(kStartOfImage.begin(), kStartOfImage.end()) }, 0,
        { kSearchBudget, kSearchBudget + ReadContext::kSearchOverrun })
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
        match.length = kFallbackCap; // the engine cuts it at the source end
    }
    return match;
}

}
