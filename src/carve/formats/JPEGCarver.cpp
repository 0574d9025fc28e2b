#include "carve/formats/JPEGCarver.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderWalkWindow = 0x4000000; // 64 MiB from the start: the marker walk gives up there
constexpr uint64_t kSearchBudget = 0x10000000;    // 256 MiB from the start: the scan-data walk stops there
constexpr uint64_t kFallbackCap = 0x1000000;      // 16 MiB: longest length reported without an end marker
constexpr int64_t kScanPiece = 0x40000;           // 256 KiB of scan data read at a time outside the window
constexpr uint64_t kMpfHeaderBytes = 8;           // FF E2, u16 length, "MPF\0": the TIFF header follows
constexpr uint32_t kLargestImageCount = 16;       // images listed by one MPF index
constexpr uint64_t kTrailerWindow = 0x4000000;    // 64 MiB after the last image: a phone's trailer ends there
constexpr uint32_t kLargestTrailerEntries = 64;   // blocks listed by one trailer directory
constexpr uint32_t kLargestTrailerName = 256;     // bytes of a trailer block's name

constexpr uint16_t kMpEntryTag = 0xB002;
constexpr std::array<uint8_t, 4> kTrailerDirectory { 'S', 'E', 'F', 'H' };

/// Marker codes: each marker is FF followed by one of these.
namespace Marker {
constexpr uint8_t kPrefix = 0xFF;        // also a fill byte before a marker
constexpr uint8_t kStuffed = 0x00;       // FF 00 in scan data: a data byte FF
constexpr uint8_t kTemporary = 0x01;     // TEM, no length
constexpr uint8_t kFirstSegment = 0xC0;  // below: reserved, never in a valid file
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
constexpr uint8_t kApplication2 = 0xE2;  // APP2: holds the MPF index
constexpr uint8_t kComment = 0xFE;       // COM
}

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

struct Header {
    uint64_t scanData;                   ///< first byte of the first scan's entropy-coded data
    std::optional<uint64_t> mpfTiffHeader; ///< the TIFF header of an MPF index in APP2
};

/// Walks the marker segments from the first marker after SOI to the first SOS;
/// no value when the header is not a plausible JPEG header.
std::optional<Header> walkToScanData(uint64_t start, ReadContext& context)
{
    Header header { 0, std::nullopt };
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
        if (*marker == Marker::kApplication2 && !header.mpfTiffHeader && context.bytes(p + 4, 4).text() == std::string_view("MPF\0", 4))
            header.mpfTiffHeader = p + kMpfHeaderBytes;
        p += 2 + *segmentLength;
        if (*marker == Marker::kStartOfScan) {
            header.scanData = p;
            return header;
        }
    }
    return std::nullopt;
}

/// Where the walk of the scan data stopped, and what that proves.
struct ScanEnd {
    enum class Kind {
        endOfImage,  ///< the EOI after valid scan data: `end` is just after it
        otherImage,  ///< another image's SOI: `end` is where it starts
        broken,      ///< a byte sequence no encoder writes (a wrong restart, a reserved marker)
        ranOut,      ///< the source or the budget ended first
    };
    Kind kind;
    uint64_t end;
};

/// Follows the entropy-coded data from `p`: stuffed FF 00, fill bytes, restart
/// markers in sequence, and the segments between the scans of a progressive or
/// multi-scan image, up to the EOI.
ScanEnd walkScanData(uint64_t p, uint64_t limit, ReadContext& context)
{
    int nextRestart = 0;
    ByteRun piece; // the bytes from pieceStart; read again only when p needs two bytes past its end
    uint64_t pieceStart = 0;
    while (p < limit) {
        if (p < pieceStart || p - pieceStart + 2 > piece.size()) {
            piece = context.bytes(p, static_cast<int64_t>(std::min<uint64_t>(kScanPiece, limit - p)));
            pieceStart = p;
            if (piece.size() < 2)
                return { ScanEnd::Kind::ranOut, p + piece.size() };
        }
        const uint8_t* from = piece.data() + (p - pieceStart);
        const size_t left = piece.size() - static_cast<size_t>(p - pieceStart);
        const auto* found = static_cast<const uint8_t*>(std::memchr(from, Marker::kPrefix, left - 1));
        if (!found) {
            p += left - 1;
            continue;
        }
        const uint64_t q = p + static_cast<uint64_t>(found - from);
        const uint8_t marker = found[1];
        if (marker == Marker::kStuffed || marker == Marker::kPrefix) { // stuffed byte, or fill before a marker
            p = q + (marker == Marker::kStuffed ? 2 : 1);
            continue;
        }
        if ((marker & 0xF8) == Marker::kRestart0) {
            if ((marker & 7) != nextRestart)
                return { ScanEnd::Kind::broken, q };
            nextRestart = (nextRestart + 1) & 7;
            p = q + 2;
            continue;
        }
        if (marker == Marker::kEndOfImage)
            return { ScanEnd::Kind::endOfImage, q + 2 };
        if (marker == Marker::kStartOfImage)
            return { ScanEnd::Kind::otherImage, q };
        if (marker < Marker::kFirstSegment)
            return { ScanEnd::Kind::broken, q };
        // A segment between scans (DHT, DQT, DRI, COM, APPn, SOS): skipped by its length.
        auto segmentLength = context.u16be(q + 2);
        if (!segmentLength)
            return { ScanEnd::Kind::ranOut, q };
        if (*segmentLength < 2)
            return { ScanEnd::Kind::broken, q };
        if (marker == Marker::kStartOfScan)
            nextRestart = 0;
        p = q + 2 + *segmentLength;
    }
    return { ScanEnd::Kind::ranOut, limit };
}

/// A whole image at `at` walked to its EOI: the end just after it, or no value.
std::optional<uint64_t> provenImageEnd(uint64_t at, uint64_t limit, ReadContext& context)
{
    auto soi = context.u16be(at);
    if (!soi || *soi != (Marker::kPrefix << 8 | Marker::kStartOfImage))
        return std::nullopt;
    auto header = walkToScanData(at, context);
    if (!header)
        return std::nullopt;
    ScanEnd scan = walkScanData(header->scanData, limit, context);
    if (scan.kind != ScanEnd::Kind::endOfImage)
        return std::nullopt;
    return scan.end;
}

/// The end of the last image an MPF index lists (gain maps, depth maps, second
/// views that phones append after the first EOI), each walked to its own EOI.
/// No value when the index lists none or one of them is not where it says.
std::optional<uint64_t> mpfImagesEnd(uint64_t tiffHeader, uint64_t limit, ReadContext& context)
{
    // TIFF header: "II*\0" or "MM\0*", u32 offset of the index IFD from the header.
    auto mark = context.u16be(tiffHeader);
    if (!mark || (*mark != 0x4949 && *mark != 0x4D4D))
        return std::nullopt;
    const ByteOrder order = *mark == 0x4D4D ? ByteOrder::big : ByteOrder::little;
    auto ifd = context.u32(tiffHeader + 4, order);
    if (!ifd || tiffHeader >= limit || *ifd >= limit - tiffHeader)
        return std::nullopt;
    auto entries = context.u16(tiffHeader + *ifd, order);
    if (!entries)
        return std::nullopt;
    for (uint16_t index = 0; index < std::min<uint16_t>(*entries, 32); ++index) {
        const uint64_t entry = tiffHeader + *ifd + 2 + 12 * uint64_t { index }; // u16 tag, u16 type, u32 count, u32 value
        auto tag = context.u16(entry, order);
        auto count = context.u32(entry + 4, order);
        auto list = context.u32(entry + 8, order);
        if (!tag || !count || !list || *tag != kMpEntryTag)
            continue;
        if (*list >= limit - tiffHeader)
            return std::nullopt;
        std::optional<uint64_t> end;
        for (uint32_t image = 0; image < std::min(*count / 16, kLargestImageCount); ++image) {
            // u32 attributes, u32 size, u32 offset from the TIFF header (0 for the first image), two u16 links.
            auto size = context.u32(tiffHeader + *list + 16 * uint64_t { image } + 4, order);
            auto offset = context.u32(tiffHeader + *list + 16 * uint64_t { image } + 8, order);
            if (!size || !offset)
                return std::nullopt;
            if (*offset == 0)
                continue;
            const uint64_t start = tiffHeader + *offset;
            if (start >= limit || *size > limit - start)
                return std::nullopt;
            auto imageEnd = provenImageEnd(start, start + *size, context);
            if (!imageEnd)
                return std::nullopt;
            end = std::max(end.value_or(0), start + *size);
        }
        return end;
    }
    return std::nullopt;
}

/// The end of a phone maker's trailer right after `at`: data blocks, then a
/// "SEFH" directory that lists them by their distance back from it, then the
/// directory's u32 length and "SEFT". No value when there is none.
std::optional<uint64_t> trailerEnd(uint64_t at, uint64_t limit, ReadContext& context)
{
    if (at >= limit)
        return std::nullopt;
    // A block starts with u16 0, u16 type, u32 name length, then the name.
    auto zero = context.u16le(at);
    auto nameLength = context.u32le(at + 4);
    if (!zero || *zero != 0 || !nameLength || *nameLength == 0 || *nameLength > kLargestTrailerName)
        return std::nullopt;
    auto directory = context.find(kTrailerDirectory, at, std::min(kTrailerWindow, limit - at), ReadContext::kSearchChunk);
    if (!directory)
        return std::nullopt;
    auto count = context.u32le(*directory + 8); // "SEFH", u32 version, u32 count, 12 bytes per block
    if (!count || *count == 0 || *count > kLargestTrailerEntries)
        return std::nullopt;
    uint64_t farthest = 0;
    for (uint32_t index = 0; index < *count; ++index) {
        auto back = context.u32le(*directory + 12 + 12 * uint64_t { index } + 4);
        if (!back)
            return std::nullopt;
        farthest = std::max<uint64_t>(farthest, *back);
    }
    const uint64_t directoryEnd = *directory + 12 + 12 * uint64_t { *count };
    auto length = context.u32le(directoryEnd);
    if (farthest != *directory - at || !length || *length != directoryEnd - *directory || context.bytes(directoryEnd + 4, 4).text() != "SEFT")
        return std::nullopt;
    return directoryEnd + 8;
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
    auto header = walkToScanData(at, context);
    if (!header)
        return std::nullopt;

    // Only scan data walked to its EOI proves the end; another image's SOI inside
    // it (a photo written over this one's tail) or bytes no encoder writes leave
    // what was walked as an estimate.
    const uint64_t limit = at + kSearchBudget;
    ScanEnd scan = walkScanData(header->scanData, limit, context);
    CarveMatch match { scan.end - at, "jpg", FormatCategory::photos, CarveConfidence::heuristic };
    if (scan.kind == ScanEnd::Kind::ranOut) {
        match.length = kFallbackCap; // the engine cuts it at the source end
        return match;
    }
    if (scan.kind != ScanEnd::Kind::endOfImage)
        return match;

    match.confidence = CarveConfidence::exact;
    uint64_t end = scan.end;
    if (header->mpfTiffHeader) {
        if (auto imagesEnd = mpfImagesEnd(*header->mpfTiffHeader, limit, context))
            end = std::max(end, *imagesEnd);
    }
    if (auto trailer = trailerEnd(end, limit, context))
        end = *trailer;
    match.length = end - at;
    return match;
}

}
