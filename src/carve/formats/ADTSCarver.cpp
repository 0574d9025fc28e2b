#include "carve/formats/ADTSCarver.hpp"

#include "carve/ForwardReader.hpp"

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x40000000;   // 1 GiB: hours of AAC
constexpr uint64_t kHeaderBytes = 7;           // 9 with the CRC
constexpr uint64_t kCRCBytes = 2;
constexpr unsigned kHighestRateIndex = 12;     // 7,350 Hz; 13 to 15 are reserved
constexpr int kProvingFrames = 16;             // under a second of audio: a chain this long is no accident

/// The header bits a stream keeps from frame to frame: MPEG version, layer,
/// protection; profile, sample rate, channels.
uint32_t streamBits(std::span<const uint8_t> header)
{
    return uint32_t { header[1] } << 16 | uint32_t { static_cast<uint8_t>(header[2] & 0xFD) } << 8 | (header[3] & 0xC0);
}

}

ADTSCarver::ADTSCarver()
    : FormatCarver("adts", { FormatCategory::audio }, { { 0xFF, 0xF1 }, { 0xFF, 0xF9 }, { 0xFF, 0xF0 }, { 0xFF, 0xF8 } }, 0,
        { kWalkWindow, kWalkWindow })
{
}

std::optional<uint32_t> ADTSCarver::frameLength(std::span<const uint8_t> header)
{
    // u12 sync, u1 MPEG version, u2 layer (0), u1 protection absent; u2 profile, u4 sample-rate
    // index, u1 private, u3 channels, 4 flag bits, u13 frame length, u11 fullness, u2 frames - 1.
    if (header.size() < kHeaderBytes || header[0] != 0xFF || (header[1] & 0xF6) != 0xF0)
        return std::nullopt;
    if ((header[2] >> 2 & 0x0F) > kHighestRateIndex)
        return std::nullopt;
    const uint32_t length = (uint32_t { header[3] } & 3) << 11 | uint32_t { header[4] } << 3 | header[5] >> 5;
    const uint64_t headerBytes = kHeaderBytes + ((header[1] & 1) ? 0 : kCRCBytes);
    if (length <= headerBytes)
        return std::nullopt;
    return length;
}

std::optional<CarveMatch> ADTSCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    uint64_t p = at;
    int frames = 0;
    std::optional<uint32_t> stream;
    bool broken = false;
    while (true) {
        auto header = reader.bytes(p, kHeaderBytes);
        if (header.size() < kHeaderBytes)
            break;
        auto length = frameLength(header);
        if (!length || (stream && *stream != streamBits(header))) {
            broken = true;
            break;
        }
        stream = streamBits(header);
        if (*length > reader.limit() - p)
            break;
        p += *length;
        if (frames < kProvingFrames)
            ++frames;
    }
    if (frames < kProvingFrames)
        return std::nullopt;
    return CarveMatch { p - at, "aac", FormatCategory::audio, broken ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
