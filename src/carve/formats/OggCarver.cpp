#include "carve/formats/OggCarver.hpp"

#include "carve/ForwardReader.hpp"

#include <array>
#include <map>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000; // 4 GiB: FAT32's largest file
constexpr uint64_t kPageHeaderBytes = 27;       // "OggS", version, flags, u64 granule, u32 serial, sequence, CRC, u8 segments
constexpr uint64_t kLargestPage = kPageHeaderBytes + 255 + 255 * 255;
constexpr size_t kMostStreams = 16;
constexpr uint8_t kContinued = 1;
constexpr uint8_t kBeginsStream = 2;
constexpr uint8_t kEndsStream = 4;

/// CRC-32 of Ogg pages: polynomial 0x04C11DB7, most significant bit first, from 0, no final inversion.
constexpr std::array<uint32_t, 256> kCRC32 = [] {
    std::array<uint32_t, 256> table {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}();

uint32_t u32le(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t { bytes[at] } | uint32_t { bytes[at + 1] } << 8 | uint32_t { bytes[at + 2] } << 16 | uint32_t { bytes[at + 3] } << 24;
}

/// The page's length when `page` starts with a whole page whose CRC checks.
std::optional<uint64_t> pageLength(std::span<const uint8_t> page)
{
    if (page.size() < kPageHeaderBytes || page[0] != 'O' || page[1] != 'g' || page[2] != 'g' || page[3] != 'S' || page[4] != 0 || (page[5] & 0xF8))
        return std::nullopt;
    const size_t segments = page[26];
    if (page.size() < kPageHeaderBytes + segments)
        return std::nullopt;
    uint64_t length = kPageHeaderBytes + segments;
    for (size_t i = 0; i < segments; ++i)
        length += page[kPageHeaderBytes + i];
    if (page.size() < length)
        return std::nullopt;
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = (i >= 22 && i < 26) ? 0 : page[i]; // the CRC field counts as zeros
        crc = (crc << 8) ^ kCRC32[(crc >> 24) ^ byte];
    }
    if (crc != u32le(page, 22))
        return std::nullopt;
    return length;
}

struct Codec {
    std::string_view magic;
    const char* ext;
    FormatCategory category;
};

constexpr std::array<Codec, 5> kCodecs { {
    { "\x01vorbis", "ogg", FormatCategory::audio },
    { "OpusHead", "opus", FormatCategory::audio },
    { "\x7F" "FLAC", "ogg", FormatCategory::audio },
    { "Speex   ", "ogg", FormatCategory::audio },
    { "\x80theora", "ogv", FormatCategory::video },
} };

struct Stream {
    uint32_t nextSequence;
    bool ended;
};

}

OggCarver::OggCarver()
    : FormatCarver("ogg", { FormatCategory::audio, FormatCategory::video }, { { 'O', 'g', 'g', 'S', 0x00, kBeginsStream } }, 0,
        { kWalkWindow, kWalkWindow })
{
}

std::optional<CarveMatch> OggCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    std::map<uint32_t, Stream> streams;
    const Codec* codec = nullptr;
    bool opening = true; // still in the group of beginning-of-stream pages
    size_t open = 0;
    uint64_t p = at;
    bool complete = false;
    while (!complete) {
        auto page = reader.bytes(p, kLargestPage);
        auto length = pageLength(page);
        if (!length)
            break;
        const uint8_t flags = page[5];
        const uint32_t serial = u32le(page, 14);
        const uint32_t sequence = u32le(page, 18);
        auto stream = streams.find(serial);
        if (flags & kBeginsStream) {
            // Every stream begins on its own page, sequence 0, before any other page.
            if (!opening || stream != streams.end() || sequence != 0 || (flags & kContinued) || streams.size() == kMostStreams)
                break;
            const uint64_t packet = kPageHeaderBytes + page[26];
            for (const Codec& candidate : kCodecs) {
                const std::string_view body(reinterpret_cast<const char*>(page.data()) + packet, *length - packet);
                if (!codec && body.starts_with(candidate.magic))
                    codec = &candidate;
                // A video stream names the file whatever sound comes with it.
                if (body.starts_with(candidate.magic) && candidate.category == FormatCategory::video)
                    codec = &candidate;
            }
            stream = streams.emplace(serial, Stream { 0, false }).first;
            ++open;
        } else {
            opening = false;
            if (stream == streams.end() || stream->second.ended || sequence != stream->second.nextSequence)
                break;
        }
        stream->second.nextSequence = sequence + 1;
        if (flags & kEndsStream) {
            stream->second.ended = true;
            complete = --open == 0;
        }
        p += *length;
    }
    if (streams.empty())
        return std::nullopt;
    const char* ext = codec ? codec->ext : "ogg";
    const FormatCategory category = codec ? codec->category : FormatCategory::audio;
    // Pages that stop before every stream ended give only an estimate.
    return CarveMatch { p - at, ext, category, complete ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
