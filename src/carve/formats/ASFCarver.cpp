#include "carve/formats/ASFCarver.hpp"

#include "carve/ForwardReader.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000; // 4 GiB: FAT32's largest file
constexpr uint64_t kObjectHeaderBytes = 24;     // GUID, u64 size
constexpr uint64_t kHeaderObjectBytes = 30;     // then u32 object count and two reserved bytes
constexpr uint64_t kDataObjectBytes = 50;       // then file ID, u64 packet count, u16 reserved
constexpr uint64_t kLargestHeader = 0x1000000;  // 16 MiB: stream properties, metadata, cover art
constexpr uint32_t kMostHeaderObjects = 1024;
constexpr uint32_t kSmallestPacket = 32;        // bytes: a packet's own header and one payload's
constexpr uint32_t kLargestPacket = 0x10000;    // 64 KiB
constexpr uint32_t kBroadcastFlag = 1;          // file properties: the sizes are not known

using Guid = std::array<uint8_t, 16>;

/// A GUID as written in text (first three fields little-endian in the file, the last eight bytes as they are).
constexpr Guid guid(uint32_t data1, uint16_t data2, uint16_t data3, uint64_t data4)
{
    Guid bytes {};
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
        bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        bytes[8 + i] = static_cast<uint8_t>(data4 >> (8 * (7 - i)));
    return bytes;
}

constexpr Guid kHeaderObject = guid(0x75B22630, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
constexpr Guid kDataObject = guid(0x75B22636, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
constexpr Guid kFileProperties = guid(0x8CABDCA1, 0xA947, 0x11CF, 0x8EE400C00C205365);
constexpr Guid kStreamProperties = guid(0xB7DC0791, 0xA9B7, 0x11CF, 0x8EE600C00C205365);
constexpr Guid kVideoMedia = guid(0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8FD00805F5C442B);
constexpr std::array<Guid, 4> kIndexObjects {
    guid(0x33000890, 0xE5B1, 0x11CF, 0x89F400A0C90349CB), // simple index
    guid(0xD6E229D3, 0x35DA, 0x11D1, 0x903400A0C90349BE), // index
    guid(0xFEB103F8, 0x12AD, 0x4C64, 0x840F2A1D2F7AD48C), // media object index
    guid(0x3CB73FD0, 0x0C4A, 0x4803, 0x953DEDF7B6228F49), // timecode index
};

bool isGuid(uint64_t at, const Guid& expected, ReadContext& context)
{
    ByteRun bytes = context.bytes(at, 16);
    return bytes.size() == 16 && std::equal(expected.begin(), expected.end(), bytes.begin());
}

struct Properties {
    uint64_t fileSize { 0 };
    uint64_t packets { 0 };
    uint32_t flags { 0 };
    uint32_t packetBytes { 0 };
    bool video { false };
};

/// The file properties and stream kinds from the header object's children in
/// [from, end); none when a child's size breaks the header or the file
/// properties are missing or name packets of no fixed size.
std::optional<Properties> readHeader(uint64_t from, uint64_t end, uint32_t count, ReadContext& context)
{
    Properties properties;
    bool found = false;
    uint64_t p = from;
    for (uint32_t i = 0; i < count; ++i) {
        auto size = context.u64le(p + 16);
        if (!size || *size < kObjectHeaderBytes || end - p < *size)
            return std::nullopt;
        if (isGuid(p, kFileProperties, context)) {
            // After the object header: file ID, u64 file size, u64 creation date, u64 packet
            // count, u64 play and send durations, u64 preroll, u32 flags, u32 min and max packet size.
            auto fileSize = context.u64le(p + 40);
            auto packets = context.u64le(p + 56);
            auto flags = context.u32le(p + 88);
            auto smallest = context.u32le(p + 92);
            auto largest = context.u32le(p + 96);
            if (!fileSize || !packets || !flags || !smallest || !largest || *smallest != *largest || *largest < kSmallestPacket
                || *largest > kLargestPacket || *packets > kWalkWindow / *largest)
                return std::nullopt;
            properties = { *fileSize, *packets, *flags, *largest, properties.video };
            found = true;
        } else if (isGuid(p, kStreamProperties, context) && isGuid(p + kObjectHeaderBytes, kVideoMedia, context)) {
            properties.video = true;
        }
        p += *size;
    }
    if (!found)
        return std::nullopt;
    return properties;
}

/// Whether every one of `count` packets from `from` starts as the first one does
/// (its error-correction or length-type flags are fixed for the file).
bool packetsAgree(uint64_t from, uint64_t count, uint32_t packetBytes, uint64_t limit, ReadContext& context)
{
    ForwardReader reader(context, limit);
    auto first = reader.bytes(from, 1);
    if (first.empty())
        return false;
    const uint8_t flags = first[0];
    for (uint64_t i = 1; i < count; ++i) {
        auto head = reader.bytes(from + i * packetBytes, 1);
        if (head.empty() || head[0] != flags)
            return false;
    }
    return true;
}

}

ASFCarver::ASFCarver()
    : FormatCarver("asf", { FormatCategory::video, FormatCategory::audio }, { Signature(kHeaderObject.begin(), kHeaderObject.end()) }, 0,
        { kWalkWindow, kWalkWindow + kObjectHeaderBytes })
{
}

std::optional<CarveMatch> ASFCarver::carve(uint64_t at, ReadContext& context) const
{
    // Header object: GUID, u64 size, u32 number of objects, reserved 0x01 0x02.
    auto headerSize = context.u64le(at + 16);
    auto count = context.u32le(at + 24);
    ByteRun reserved = context.bytes(at + 28, 2);
    if (!headerSize || !count || reserved.size() < 2 || reserved[0] != 0x01 || reserved[1] != 0x02)
        return std::nullopt;
    if (*headerSize < kHeaderObjectBytes || *headerSize > kLargestHeader || *count > kMostHeaderObjects)
        return std::nullopt;
    auto properties = readHeader(at + kHeaderObjectBytes, at + *headerSize, *count, context);
    if (!properties)
        return std::nullopt;
    const char* ext = properties->video ? "wmv" : "wma";
    const FormatCategory category = properties->video ? FormatCategory::video : FormatCategory::audio;

    // Data object: GUID, u64 size (0 while broadcasting), file ID, u64 packet count, reserved.
    const uint64_t data = at + *headerSize;
    auto dataSize = context.u64le(data + 16);
    if (!isGuid(data, kDataObject, context) || !dataSize)
        return std::nullopt;
    const uint64_t packetsBytes = properties->packets * properties->packetBytes;
    const uint64_t size = *dataSize != 0 ? *dataSize : kDataObjectBytes + packetsBytes;
    if (size < kDataObjectBytes || size > kWalkWindow - *headerSize)
        return std::nullopt;

    const uint64_t limit = std::min(context.size(), at + kWalkWindow);
    uint64_t end = data + size;
    if (end > limit)
        return CarveMatch { end - at, ext, category, CarveConfidence::heuristic };
    const bool packetsFit = packetsBytes <= size - kDataObjectBytes;
    const bool packetsFine = packetsFit && packetsAgree(data + kDataObjectBytes, properties->packets, properties->packetBytes, end, context);

    // Index objects follow the data.
    while (limit - end >= kObjectHeaderBytes) {
        auto objectSize = context.u64le(end + 16);
        const bool index = std::any_of(kIndexObjects.begin(), kIndexObjects.end(), [&](const Guid& g) { return isGuid(end, g, context); });
        if (!index || !objectSize || *objectSize < kObjectHeaderBytes || *objectSize > limit - end)
            break;
        end += *objectSize;
    }
    const bool proven = packetsFine && !(properties->flags & kBroadcastFlag) && properties->fileSize == end - at;
    return CarveMatch { end - at, ext, category, proven ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
