#include "carve/formats/FLVCarver.hpp"

#include "carve/ForwardReader.hpp"

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000; // 4 GiB: FAT32's largest file
constexpr uint32_t kHeaderBytes = 9;            // "FLV", version, flags, u32 header size
constexpr uint32_t kLargestHeader = 0x400;      // 1 KiB
constexpr uint64_t kTagHeaderBytes = 11;        // type, u24 data size, u24 + u8 time, u24 stream ID
constexpr uint64_t kPreviousSizeBytes = 4;
constexpr uint8_t kAudioTag = 8;
constexpr uint8_t kVideoTag = 9;
constexpr uint8_t kScriptTag = 18;

uint32_t u24be(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t { bytes[at] } << 16 | uint32_t { bytes[at + 1] } << 8 | bytes[at + 2];
}

uint32_t u32be(std::span<const uint8_t> bytes)
{
    return uint32_t { bytes[0] } << 24 | u24be(bytes, 1);
}

}

FLVCarver::FLVCarver()
    : FormatCarver("flv", { FormatCategory::video }, { { 'F', 'L', 'V', 0x01 } }, 0, { kWalkWindow, kWalkWindow })
{
}

std::optional<CarveMatch> FLVCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    // Header: "FLV", version 1, flags (audio 4, video 1, the rest 0), u32 header size.
    auto header = reader.bytes(at, kHeaderBytes + kPreviousSizeBytes);
    if (header.size() < kHeaderBytes + kPreviousSizeBytes || (header[4] & 0xFA) != 0)
        return std::nullopt;
    const uint32_t headerBytes = u32be(header.subspan(5));
    if (headerBytes < kHeaderBytes || headerBytes > kLargestHeader)
        return std::nullopt;
    // The first "previous tag size" is 0.
    auto first = reader.bytes(at + headerBytes, kPreviousSizeBytes);
    if (first.size() < kPreviousSizeBytes || u32be(first) != 0)
        return std::nullopt;

    uint64_t p = at + headerBytes + kPreviousSizeBytes;
    int tags = 0;
    bool broken = false;
    while (true) {
        auto tag = reader.bytes(p, kTagHeaderBytes);
        if (tag.size() < kTagHeaderBytes)
            break;
        // u8 type (two reserved bits, a filter bit, 5 bits of type), u24 size, time, u24 stream ID of 0.
        const uint8_t type = tag[0] & 0x1F;
        const uint32_t size = u24be(tag, 1);
        if ((tag[0] & 0xC0) != 0 || (type != kAudioTag && type != kVideoTag && type != kScriptTag) || u24be(tag, 8) != 0) {
            broken = true;
            break;
        }
        const uint64_t whole = kTagHeaderBytes + size + kPreviousSizeBytes;
        if (whole > reader.limit() - p)
            break;
        auto previous = reader.bytes(p + kTagHeaderBytes + size, kPreviousSizeBytes);
        if (previous.size() < kPreviousSizeBytes)
            break;
        if (u32be(previous) != kTagHeaderBytes + size) {
            broken = true;
            break;
        }
        p += whole;
        ++tags;
    }
    if (tags == 0)
        return std::nullopt;
    return CarveMatch { p - at, "flv", FormatCategory::video, broken ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
