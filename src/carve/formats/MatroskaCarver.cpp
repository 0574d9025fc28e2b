#include "carve/formats/MatroskaCarver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x8'0000'0000; // 32 GiB from the EBML header
constexpr uint64_t kLongestElementHeader = 12;  // a 4-byte ID and an 8-byte size
constexpr uint64_t kLargestEBMLHeader = 0x400;  // 1 KiB: version fields and the document type
constexpr uint64_t kUnknownSize = UINT64_MAX;

// Element IDs, marker bits kept, as they stand in the file.
constexpr uint32_t kEBML = 0x1A45DFA3;
constexpr uint32_t kDocType = 0x4282;
constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kVoid = 0xEC;
constexpr uint32_t kCRC32 = 0xBF;

constexpr std::array<uint32_t, 10> kSegmentChildren {
    0x114D9B74, // SeekHead
    0x1549A966, // Info
    0x1654AE6B, // Tracks
    kCluster,
    0x1C53BB6B, // Cues
    0x1941A469, // Attachments
    0x1043A770, // Chapters
    0x1254C367, // Tags
    kVoid,
    kCRC32,
};

constexpr std::array<uint32_t, 9> kClusterChildren {
    0xE7,   // Timestamp
    0x5854, // SilentTracks
    0xA7,   // Position
    0xAB,   // PrevSize
    0xA3,   // SimpleBlock
    0xA0,   // BlockGroup
    0xAF,   // EncryptedBlock
    kVoid,
    kCRC32,
};

struct Element {
    uint32_t id;
    uint64_t size;       ///< kUnknownSize when all its value bits are set
    uint64_t headerBytes;
};

/// A variable-length integer: its length from the leading zero bits of the first byte (1 to `longest`).
std::optional<std::pair<uint64_t, uint64_t>> vint(std::span<const uint8_t> bytes, size_t longest)
{
    if (bytes.empty() || bytes[0] == 0)
        return std::nullopt;
    const size_t length = static_cast<size_t>(__builtin_clz(bytes[0]) - 23); // leading zeros of the byte, plus one
    if (length > longest || length > bytes.size())
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i)
        value = value << 8 | bytes[i];
    return std::pair { value, uint64_t { length } };
}

/// The element header at `at`, or none where no ID or size can be read.
std::optional<Element> elementAt(uint64_t at, ReadContext& context)
{
    ByteRun bytes = context.bytes(at, kLongestElementHeader);
    auto id = vint(bytes.span(), 4);
    if (!id)
        return std::nullopt;
    auto size = vint(bytes.span().subspan(id->second), 8);
    if (!size)
        return std::nullopt;
    const uint64_t marker = uint64_t { 1 } << (7 * size->second);
    uint64_t value = size->first & (marker - 1);
    if (value == marker - 1)
        value = kUnknownSize;
    return Element { static_cast<uint32_t>(id->first), value, id->second + size->second };
}

template<size_t N>
bool isOneOf(uint32_t id, const std::array<uint32_t, N>& ids)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

/// The document type inside the EBML header's body [from, end): "webm", "matroska" or another.
std::string docType(uint64_t from, uint64_t end, ReadContext& context)
{
    for (uint64_t p = from; p < end;) {
        auto element = elementAt(p, context);
        if (!element || element->headerBytes > end - p || element->size > end - p - element->headerBytes)
            return {};
        if (element->id == kDocType) {
            std::string type(context.bytes(p + element->headerBytes, static_cast<int64_t>(element->size)).text());
            return type.substr(0, type.find('\0')); // strings may be padded with zero bytes
        }
        p += element->headerBytes + element->size;
    }
    return {};
}

/// Where the walk of a Segment's children from `from` stops: at `end` when they
/// fill it, else at the first element that is not one (or runs past `end`).
/// Clusters of unknown size are walked through their blocks.
uint64_t walkSegment(uint64_t from, uint64_t end, ReadContext& context)
{
    uint64_t p = from;
    bool inOpenCluster = false;
    while (p < end) {
        auto element = elementAt(p, context);
        if (!element || element->headerBytes > end - p)
            return p;
        if (inOpenCluster && isOneOf(element->id, kClusterChildren)) {
            // Only a cluster's own children follow until the next top-level element.
        } else if (isOneOf(element->id, kSegmentChildren)) {
            inOpenCluster = false;
        } else {
            return p;
        }
        if (element->size == kUnknownSize) {
            if (element->id != kCluster)
                return p;
            inOpenCluster = true;
            p += element->headerBytes;
            continue;
        }
        if (element->size > end - p - element->headerBytes)
            return p;
        p += element->headerBytes + element->size;
    }
    return p;
}

}

MatroskaCarver::MatroskaCarver()
    : FormatCarver("matroska", { FormatCategory::video }, { { 0x1A, 0x45, 0xDF, 0xA3 } }, 0,
        { kWalkWindow, kWalkWindow + kLongestElementHeader })
{
}

std::optional<CarveMatch> MatroskaCarver::carve(uint64_t at, ReadContext& context) const
{
    // EBML header: its ID, a size, then elements of which the document type is one.
    auto header = elementAt(at, context);
    if (!header || header->id != kEBML || header->size == kUnknownSize || header->size > kLargestEBMLHeader)
        return std::nullopt;
    const uint64_t headerEnd = at + header->headerBytes + header->size;
    const std::string type = docType(at + header->headerBytes, headerEnd, context);
    if (type != "matroska" && type != "webm")
        return std::nullopt;
    const char* ext = type == "webm" ? "webm" : "mkv";

    auto segment = elementAt(headerEnd, context);
    if (!segment || segment->id != kSegment)
        return std::nullopt;
    const uint64_t body = headerEnd + segment->headerBytes;
    const uint64_t limit = std::min(context.size(), at + kWalkWindow);
    if (body >= limit)
        return std::nullopt;

    if (segment->size != kUnknownSize) {
        // The declared end; exact only when the children fill the Segment to it.
        const uint64_t declared = segment->size > UINT64_MAX - body ? UINT64_MAX : body + segment->size;
        const bool fits = declared <= limit;
        const bool filled = fits && walkSegment(body, declared, context) == declared;
        if (declared - at > kWalkWindow)
            return CarveMatch { limit - at, ext, FormatCategory::video, CarveConfidence::heuristic };
        return CarveMatch { declared - at, ext, FormatCategory::video, filled ? CarveConfidence::exact : CarveConfidence::heuristic };
    }
    const uint64_t end = walkSegment(body, limit, context);
    if (end == body)
        return std::nullopt;
    return CarveMatch { end - at, ext, FormatCategory::video, CarveConfidence::heuristic };
}

}
