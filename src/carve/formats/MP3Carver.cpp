#include "carve/formats/MP3Carver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x20000000; // 512 MiB from the start of the tag: the frame walk stops there
constexpr int kMinimumFrames = 4;
constexpr uint64_t kID3v2HeaderBytes = 10;
constexpr uint64_t kID3v2FooterBytes = 10;
constexpr uint8_t kID3v2FooterFlag = 0x10;
constexpr uint8_t kHighestMajorVersion = 15;
constexpr uint64_t kID3v1TagBytes = 128;
constexpr uint64_t kLongestFrame = 2881; // bytes: MPEG-2.5 Layer II at 160 kbit/s and 8000 Hz, padded

// Version codes of the frame header (bits 4-3 of its second byte).
constexpr unsigned kMPEG25 = 0;
constexpr unsigned kVersionReserved = 1;
constexpr unsigned kMPEG1 = 3;
// Layer codes (bits 2-1 of the second byte).
constexpr unsigned kLayerReserved = 0;
constexpr unsigned kLayerIII = 1;
constexpr unsigned kLayerI = 3;

/// Bitrates in kbit/s by [MPEG-1 ? 1 : 0][layer code][bitrate index 0-14], from
/// ISO/IEC 11172-3 (MPEG-1) and ISO/IEC 13818-3 (the lower sampling
/// frequencies of MPEG-2, also used by MPEG-2.5). Index 0 is free format.
/// Constant-initialised, so it is ready before any thread reads it.
constexpr std::array<std::array<std::array<uint16_t, 15>, 4>, 2> kBitrates { {
    { {
        { { 0 } },                                                                       // reserved layer
        { { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160 } },            // MPEG-2 Layer III
        { { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160 } },            // MPEG-2 Layer II
        { { 0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256 } },       // MPEG-2 Layer I
    } },
    { {
        { { 0 } },                                                                       // reserved layer
        { { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 } },        // MPEG-1 Layer III
        { { 0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384 } },       // MPEG-1 Layer II
        { { 0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448 } },    // MPEG-1 Layer I
    } },
} };

/// Sample rates in Hz by [version code][sample-rate index 0-2].
constexpr std::array<std::array<uint32_t, 3>, 4> kSampleRates { {
    { { 11025, 12000, 8000 } },  // MPEG-2.5
    { { 0, 0, 0 } },             // reserved
    { { 22050, 24000, 16000 } }, // MPEG-2
    { { 44100, 48000, 32000 } }, // MPEG-1
} };

static_assert(kBitrates[1][kLayerIII][14] == 320 && kBitrates[1][kLayerI][14] == 448 && kBitrates[0][kLayerIII][14] == 160);
static_assert(kSampleRates[kMPEG25][0] == 11025);

}

MP3Carver::MP3Carver()
    : FormatCarver("mp3", { FormatCategory::audio }, { textSignature("ID3") }, 0,
        { kWalkWindow, kWalkWindow + kLongestFrame + 3 }) // the longest frame, then "TAG"
{
}

std::optional<uint32_t> MP3Carver::frameLength(std::span<const uint8_t> header)
{
    if (header.size() < 3)
        return std::nullopt;
    uint8_t h1 = header[1];
    uint8_t h2 = header[2];
    if (header[0] != 0xFF || h1 < 0xE0) // eleven sync bits
        return std::nullopt;
    unsigned version = (h1 >> 3) & 3;
    unsigned layer = (h1 >> 1) & 3;
    if (version == kVersionReserved || layer == kLayerReserved)
        return std::nullopt;
    unsigned bitrateIndex = h2 >> 4;
    unsigned sampleRateIndex = (h2 >> 2) & 3;
    if (bitrateIndex == 0 || bitrateIndex == 15 || sampleRateIndex == 3)
        return std::nullopt;
    uint32_t padding = (h2 >> 1) & 1;

    uint32_t bitrate = uint32_t { kBitrates[version == kMPEG1 ? 1 : 0][layer][bitrateIndex] } * 1000; // bit/s
    uint32_t rate = kSampleRates[version][sampleRateIndex];
    if (bitrate == 0 || rate == 0)
        return std::nullopt;

    if (layer == kLayerI) // 384 samples in slots of 4 bytes
        return (12 * bitrate / rate + padding) * 4;
    if (layer == kLayerIII && version != kMPEG1) // 576 samples
        return 72 * bitrate / rate + padding;
    return 144 * bitrate / rate + padding; // 1152 samples
}

std::optional<CarveMatch> MP3Carver::carve(uint64_t at, ReadContext& context) const
{
    // ID3v2 header: "ID3", major version, revision, flags, u32 syncsafe tag size.
    ByteRun header = context.bytes(at, kID3v2HeaderBytes);
    if (header.size() < kID3v2HeaderBytes)
        return std::nullopt;
    if (header[3] > kHighestMajorVersion)
        return std::nullopt;
    for (size_t i = 6; i < 10; ++i) {
        if (header[i] & 0x80)
            return std::nullopt;
    }
    uint64_t tagSize = (uint64_t { header[6] } << 21) | (uint64_t { header[7] } << 14) | (uint64_t { header[8] } << 7) | header[9];
    uint64_t p = at + kID3v2HeaderBytes + tagSize;
    if (header[5] & kID3v2FooterFlag)
        p += kID3v2FooterBytes;

    // The first frame starts right after the tag; the chain ends at the first
    // position that holds no valid frame header.
    uint64_t limit = std::min(context.size(), at + kWalkWindow);
    int frames = 0;
    while (limit >= 4 && p <= limit - 4) {
        ByteRun frameHeader = context.bytes(p, 4);
        if (frameHeader.size() < 4)
            break;
        auto length = frameLength(frameHeader.span());
        if (!length)
            break;
        p += *length;
        ++frames;
    }
    if (frames < kMinimumFrames)
        return std::nullopt;

    uint64_t end = p;
    if (context.bytes(p, 3).text() == "TAG") // ID3v1 tag of 128 bytes
        end = p + kID3v1TagBytes;
    return CarveMatch { end - at, "mp3", FormatCategory::audio, CarveConfidence::heuristic };
}

}
