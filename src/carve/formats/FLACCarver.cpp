#include "carve/formats/FLACCarver.hpp"

#include "carve/ForwardReader.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000;  // 4 GiB: FAT32's largest file
constexpr uint64_t kBlockHeaderBytes = 4;        // u8 last flag and type, u24 length
constexpr uint32_t kStreamInfoBytes = 34;
constexpr int kMostMetadataBlocks = 256;
constexpr uint64_t kLongestFrameHeader = 16;     // sync to CRC-8 with the longest number and extras
constexpr uint64_t kLargestFrame = 0x1000000;    // 16 MiB: beyond 65,535 samples of 8 channels of 32 bits
constexpr uint64_t kCRCBytes = 2;
constexpr uint8_t kInvalidBlockType = 127;

/// CRC-8, polynomial x^8 + x^2 + x + 1 (0x07), and CRC-16, polynomial 0x8005,
/// both most significant bit first from 0, as FLAC frames use them.
constexpr std::array<uint8_t, 256> kCRC8 = [] {
    std::array<uint8_t, 256> table {};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xFF : (crc << 1) & 0xFF;
        table[i] = static_cast<uint8_t>(crc);
    }
    return table;
}();

constexpr std::array<uint16_t, 256> kCRC16 = [] {
    std::array<uint16_t, 256> table {};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x8005) & 0xFFFF : (crc << 1) & 0xFFFF;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}();

struct StreamInfo {
    uint32_t smallestFrame; ///< bytes; 0 when not known
    uint32_t largestFrame;
    uint64_t totalSamples;  ///< 0 when not known
};

/// Where the frame starting at `frame` ends: the first place after which the
/// CRC-16 over the frame is zero and `accepts` takes the end. No value when no
/// such place lies within `longest` bytes. `accepts` must not read through `reader`.
template<typename Accepts>
std::optional<uint64_t> frameEnd(uint64_t frame, uint64_t shortest, uint64_t longest, ForwardReader& reader, Accepts accepts)
{
    uint16_t crc = 0;
    uint64_t p = frame;
    const uint64_t last = reader.limit() - frame < longest ? reader.limit() : frame + longest;
    while (p < last) {
        auto piece = reader.bytes(p, last - p);
        if (piece.empty())
            return std::nullopt;
        for (size_t i = 0; i < piece.size(); ++i) {
            crc = static_cast<uint16_t>((crc << 8) ^ kCRC16[(crc >> 8) ^ piece[i]]);
            const uint64_t end = p + i + 1;
            if (crc == 0 && end - frame >= shortest && accepts(end)) {
                return end;
            }
        }
        p += piece.size();
    }
    return std::nullopt;
}

}

FLACCarver::FLACCarver()
    : FormatCarver("flac", { FormatCategory::audio }, { textSignature("fLaC") }, 0, { kWalkWindow, kWalkWindow })
{
}

std::optional<FLACCarver::FrameHeader> FLACCarver::frameHeader(std::span<const uint8_t> bytes)
{
    // u14 sync 0b11111111111110, a reserved 0, the blocking strategy.
    if (bytes.size() < 6 || bytes[0] != 0xFF || (bytes[1] & 0xFE) != 0xF8)
        return std::nullopt;
    const unsigned blockCode = bytes[2] >> 4;
    const unsigned rateCode = bytes[2] & 0x0F;
    const unsigned channels = bytes[3] >> 4;
    const unsigned sampleSize = bytes[3] >> 1 & 7;
    if (blockCode == 0 || rateCode == 15 || channels > 10 || sampleSize == 3 || (bytes[3] & 1))
        return std::nullopt;
    // The frame or sample number, coded as UTF-8 of up to 7 bytes (36 bits).
    const uint8_t lead = bytes[4];
    size_t length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead < 0xFC ? 5 : lead < 0xFE ? 6 : lead == 0xFE ? 7 : 0;
    if (length == 0 || bytes.size() < 4 + length)
        return std::nullopt;
    uint64_t number = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[4 + i] & 0xC0) != 0x80)
            return std::nullopt;
        number = number << 6 | (bytes[4 + i] & 0x3F);
    }
    size_t p = 4 + length;
    const size_t blockExtra = blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
    const size_t rateExtra = rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
    if (bytes.size() < p + blockExtra + rateExtra + 1)
        return std::nullopt;
    uint32_t blockSize = 0;
    if (blockCode == 1)
        blockSize = 192;
    else if (blockCode <= 5)
        blockSize = 576u << (blockCode - 2);
    else if (blockCode == 6)
        blockSize = uint32_t { bytes[p] } + 1;
    else if (blockCode == 7)
        blockSize = (uint32_t { bytes[p] } << 8 | bytes[p + 1]) + 1;
    else
        blockSize = 256u << (blockCode - 8);
    p += blockExtra + rateExtra;
    uint8_t crc = 0;
    for (size_t i = 0; i < p; ++i)
        crc = kCRC8[crc ^ bytes[i]];
    if (crc != bytes[p])
        return std::nullopt;
    return FrameHeader { p + 1, (bytes[1] & 1) != 0, number, blockSize };
}

std::optional<CarveMatch> FLACCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    // Metadata blocks: u8 (last-block flag, 7-bit type), u24 length; STREAMINFO first.
    uint64_t p = at + 4;
    std::optional<StreamInfo> info;
    bool last = false;
    for (int block = 0; !last; ++block) {
        auto header = reader.bytes(p, kBlockHeaderBytes + kStreamInfoBytes);
        if (block == kMostMetadataBlocks || header.size() < kBlockHeaderBytes)
            return std::nullopt;
        const uint8_t type = header[0] & 0x7F;
        const uint32_t length = uint32_t { header[1] } << 16 | uint32_t { header[2] } << 8 | header[3];
        last = header[0] & 0x80;
        if (type == kInvalidBlockType || (block == 0) != (type == 0))
            return std::nullopt;
        if (block == 0) {
            // u16 min and max block size, u24 min and max frame size, u20 rate, u3 channels,
            // u5 bits, u36 total samples, MD5.
            if (length != kStreamInfoBytes || header.size() < kBlockHeaderBytes + kStreamInfoBytes)
                return std::nullopt;
            auto s = header.subspan(kBlockHeaderBytes);
            const uint32_t smallestBlock = uint32_t { s[0] } << 8 | s[1];
            const uint32_t largestBlock = uint32_t { s[2] } << 8 | s[3];
            const uint32_t smallestFrame = uint32_t { s[4] } << 16 | uint32_t { s[5] } << 8 | s[6];
            const uint32_t largestFrame = uint32_t { s[7] } << 16 | uint32_t { s[8] } << 8 | s[9];
            const uint32_t rate = uint32_t { s[10] } << 12 | uint32_t { s[11] } << 4 | s[12] >> 4;
            const uint64_t total = uint64_t { s[13] & 0x0Fu } << 32 | uint64_t { s[14] } << 24 | uint64_t { s[15] } << 16 | uint64_t { s[16] } << 8 | s[17];
            if (smallestBlock < 16 || largestBlock < smallestBlock || rate == 0 || (largestFrame != 0 && smallestFrame > largestFrame))
                return std::nullopt;
            info = StreamInfo { smallestFrame, largestFrame, total };
        }
        p += kBlockHeaderBytes + length;
    }

    // Frames: each must carry the next number of the first one's blocking strategy.
    const uint64_t longest = info->largestFrame != 0 ? info->largestFrame : kLargestFrame;
    auto first = FLACCarver::frameHeader(reader.bytes(p, kLongestFrameHeader));
    if (!first || first->number != 0)
        return std::nullopt;
    uint64_t frame = p;
    FrameHeader current = *first;
    uint64_t samples = 0; // before the current frame
    uint64_t frames = 0;
    bool complete = false;
    while (true) {
        const bool lastFrame = info->totalSamples != 0 && samples + current.blockSize >= info->totalSamples;
        std::optional<FrameHeader> next;
        auto follows = [&](uint64_t end) {
            if (lastFrame)
                return true;
            // Read apart from the walk's pieces, which must stay valid under it.
            ByteRun head = context.bytes(end, static_cast<int64_t>(std::min(kLongestFrameHeader, reader.limit() - end)));
            next = FLACCarver::frameHeader(head.span());
            const uint64_t expected = current.variableBlocks ? samples + current.blockSize : frames + 1;
            return next && next->variableBlocks == current.variableBlocks && next->number == expected;
        };
        // The last frame holds the fewest samples and is the smallest; no frame is
        // shorter than the smallest the encoder wrote.
        auto end = frameEnd(frame, std::max<uint64_t>(info->smallestFrame, current.headerBytes + kCRCBytes), longest, reader, follows);
        if (!end)
            break;
        samples += current.blockSize;
        ++frames;
        frame = *end;
        if (lastFrame) {
            complete = true;
            break;
        }
        current = *next;
    }
    if (frames == 0)
        return std::nullopt;
    return CarveMatch { frame - at, "flac", FormatCategory::audio, complete ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
