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

constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kFirstRestart = 0xD0;
constexpr uint16_t kMpEntryTag = 0xB002;
constexpr std::array<uint8_t, 4> kTrailerDirectory { 'S', 'E', 'F', 'H' };

/// The markers a real encoder writes right after SOI: APPn, DQT, SOF0, SOF2, DHT, DRI, COM.
bool isAcceptedFourthByte(uint8_t marker)
{
    if ((marker & 0xF0) == 0xE0)
        return true;
    return marker == 0xDB || marker == 0xC0 || marker == 0xC2 || marker == 0xC4 || marker == 0xDD || marker == 0xFE;
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
        if (!prefix || *prefix != 0xFF)
            return std::nullopt;
        auto marker = context.byte(p + 1);
        if (!marker)
            return std::nullopt;
        if (*marker == 0x01 || (*marker & 0xF8) == kFirstRestart) { // TEM, RST0..RST7 carry no length
            p += 2;
            continue;
        }
        if (*marker == 0xFF) { // fill byte: the next FF starts the marker
            p += 1;
            continue;
        }
        if (*marker == kStartOfImage || *marker == kEndOfImage) // before the first scan
            return std::nullopt;
        auto segmentLength = context.u16(p + 2, true); // u16 length, counting itself
        if (!segmentLength || *segmentLength < 2)
            return std::nullopt;
        if (*marker == 0xE2 && !header.mpfTiffHeader && context.bytes(p + 4, 4).text() == std::string_view("MPF\0", 4))
            header.mpfTiffHeader = p + kMpfHeaderBytes;
        p += 2 + *segmentLength;
        if (*marker == kStartOfScan) {
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
        const auto* found = static_cast<const uint8_t*>(std::memchr(from, 0xFF, left - 1));
        if (!found) {
            p += left - 1;
            continue;
        }
        const uint64_t q = p + static_cast<uint64_t>(found - from);
        const uint8_t marker = found[1];
        if (marker == 0x00 || marker == 0xFF) { // stuffed byte, or fill before a marker
            p = q + (marker == 0x00 ? 2 : 1);
            continue;
        }
        if ((marker & 0xF8) == kFirstRestart) {
            if ((marker & 7) != nextRestart)
                return { ScanEnd::Kind::broken, q };
            nextRestart = (nextRestart + 1) & 7;
            p = q + 2;
            continue;
        }
        if (marker == kEndOfImage)
            return { ScanEnd::Kind::endOfImage, q + 2 };
        if (marker == kStartOfImage)
            return { ScanEnd::Kind::otherImage, q };
        if (marker < 0xC0)
            return { ScanEnd::Kind::broken, q };
        // A segment between scans (DHT, DQT, DRI, COM, APPn, SOS): skipped by its length.
        auto segmentLength = context.u16(q + 2, true);
        if (!segmentLength)
            return { ScanEnd::Kind::ranOut, q };
        if (*segmentLength < 2)
            return { ScanEnd::Kind::broken, q };
        if (marker == kStartOfScan)
            nextRestart = 0;
        p = q + 2 + *segmentLength;
    }
    return { ScanEnd::Kind::ranOut, limit };
}

/// A whole image at `at` walked to its EOI: the end just after it, or no value.
std::optional<uint64_t> provenImageEnd(uint64_t at, uint64_t limit, ReadContext& context)
{
    auto soi = context.u16(at, true);
    if (!soi || *soi != 0xFFD8)
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
    auto order = context.u16(tiffHeader, true);
    if (!order || (*order != 0x4949 && *order != 0x4D4D))
        return std::nullopt;
    const bool big = *order == 0x4D4D;
    auto ifd = context.u32(tiffHeader + 4, big);
    if (!ifd || tiffHeader >= limit || *ifd >= limit - tiffHeader)
        return std::nullopt;
    auto entries = context.u16(tiffHeader + *ifd, big);
    if (!entries)
        return std::nullopt;
    for (uint16_t index = 0; index < std::min<uint16_t>(*entries, 32); ++index) {
        const uint64_t entry = tiffHeader + *ifd + 2 + 12 * uint64_t { index }; // u16 tag, u16 type, u32 count, u32 value
        auto tag = context.u16(entry, big);
        auto count = context.u32(entry + 4, big);
        auto list = context.u32(entry + 8, big);
        if (!tag || !count || !list || *tag != kMpEntryTag)
            continue;
        if (*list >= limit - tiffHeader)
            return std::nullopt;
        std::optional<uint64_t> end;
        for (uint32_t image = 0; image < std::min(*count / 16, kLargestImageCount); ++image) {
            // u32 attributes, u32 size, u32 offset from the TIFF header (0 for the first image), two u16 links.
            auto size = context.u32(tiffHeader + *list + 16 * uint64_t { image } + 4, big);
            auto offset = context.u32(tiffHeader + *list + 16 * uint64_t { image } + 8, big);
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
    auto zero = context.u16(at, false);
    auto nameLength = context.u32(at + 4, false);
    if (!zero || *zero != 0 || !nameLength || *nameLength == 0 || *nameLength > kLargestTrailerName)
        return std::nullopt;
    auto directory = context.find(kTrailerDirectory, at, std::min(kTrailerWindow, limit - at), ReadContext::kSearchChunk);
    if (!directory)
        return std::nullopt;
    auto count = context.u32(*directory + 8, false); // "SEFH", u32 version, u32 count, 12 bytes per block
    if (!count || *count == 0 || *count > kLargestTrailerEntries)
        return std::nullopt;
    uint64_t farthest = 0;
    for (uint32_t index = 0; index < *count; ++index) {
        auto back = context.u32(*directory + 12 + 12 * uint64_t { index } + 4, false);
        if (!back)
            return std::nullopt;
        farthest = std::max<uint64_t>(farthest, *back);
    }
    const uint64_t directoryEnd = *directory + 12 + 12 * uint64_t { *count };
    auto length = context.u32(directoryEnd, false);
    if (farthest != *directory - at || !length || *length != directoryEnd - *directory || context.bytes(directoryEnd + 4, 4).text() != "SEFT")
        return std::nullopt;
    return directoryEnd + 8;
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
        match.length = std::min(match.length, kFallbackCap);
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
