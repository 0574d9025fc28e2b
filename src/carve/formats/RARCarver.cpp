#include "carve/formats/RARCarver.hpp"

#include <zlib.h>

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000;  // 4 GiB: a block starting past it is not read
constexpr uint32_t kMostBlocks = 0x10'0000;       // blocks walked per archive
constexpr uint64_t kVersion4SignatureBytes = 7;
constexpr uint64_t kVersion5SignatureBytes = 8;

// RAR 4 block header: u16 CRC, u8 type, u16 flags, u16 header size, then for
// some blocks a u32 data size.
constexpr uint64_t kVersion4HeaderBytes = 7;
constexpr uint8_t kArchiveHeader = 0x73;
constexpr uint8_t kFileHeader = 0x74;
constexpr uint8_t kServiceHeader = 0x7A;          // a file header's layout, for comments and other service data
constexpr uint8_t kEndOfArchive = 0x7B;
constexpr uint8_t kFirstType = 0x73, kLastType = 0x7B;
constexpr uint16_t kEncryptedHeaders = 0x0080;    // archive header flag: every later header is encrypted
constexpr uint16_t kLargeFile = 0x0100;           // file header flag: u32 high halves of the sizes at 32
constexpr uint16_t kHasDataSize = 0x8000;         // any block: u32 data size at 7
constexpr uint64_t kDataSizeAt = 7;               // u32 data (packed) size, from the block's start
constexpr uint64_t kHighDataSizeAt = 32;          // u32 high half of a large file's packed size
constexpr uint64_t kCRCBytes = 2;                 // the header CRC covers what follows it

// RAR 5 block header: u32 CRC, vint header size, then (the size counted from
// here) vint type, vint flags, [vint extra area size], [vint data size], ...
constexpr uint64_t kMostVersion5HeaderBytes = 0x20'0000; // 2 MiB, the format's limit
constexpr uint64_t kMain = 1, kFile = 2, kService = 3, kEncryption = 4, kEnd = 5;
constexpr uint64_t kHasExtraArea = 0x0001, kHasDataArea = 0x0002;
constexpr int kMostVintBytes = 10;                // 7 bits each: 64 bits

uint32_t crcOf(const ByteRun& bytes)
{
    return static_cast<uint32_t>(::crc32(::crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

/// Where a walk stopped: after the end block (exact), or after its last good block.
struct WalkEnd {
    uint64_t end;
    bool sawEndBlock;
    bool sawFile;
};

std::optional<CarveMatch> matchOf(const WalkEnd& walk)
{
    if (walk.sawEndBlock)
        return CarveMatch { walk.end, "rar", FormatCategory::archives, CarveConfidence::exact };
    if (walk.sawFile)
        return CarveMatch { walk.end, "rar", FormatCategory::archives, CarveConfidence::heuristic };
    return std::nullopt;
}

std::optional<CarveMatch> walkVersion4(uint64_t at, ReadContext& context)
{
    WalkEnd walk { kVersion4SignatureBytes, false, false };
    for (uint32_t block = 0; block < kMostBlocks && walk.end < kWalkWindow; ++block) {
        const uint64_t p = at + walk.end;
        auto crc = context.u16le(p);
        auto type = context.byte(p + 2);
        auto flags = context.u16le(p + 3);
        auto headerSize = context.u16le(p + 5);
        if (!crc || !type || !flags || !headerSize || *type < kFirstType || *type > kLastType || *headerSize < kVersion4HeaderBytes)
            break;
        if (block == 0 && *type != kArchiveHeader)
            return std::nullopt;
        // The CRC's low 16 bits cover the header from its type byte on.
        ByteRun header = context.bytes(p + kCRCBytes, *headerSize - kCRCBytes);
        if (header.size() != *headerSize - kCRCBytes || (crcOf(header) & 0xFFFF) != *crc)
            break;
        auto fieldAt = [&](uint64_t offset) -> std::optional<uint32_t> { // a u32 of the header, by its offset in the block
            if (*headerSize < offset + 4)
                return std::nullopt;
            return integerAt<uint32_t>(header.span(), offset - kCRCBytes, ByteOrder::little);
        };

        std::optional<uint64_t> dataSize = 0;
        if (*type == kFileHeader || *type == kServiceHeader || (*flags & kHasDataSize))
            dataSize = fieldAt(kDataSizeAt);
        if (dataSize && (*type == kFileHeader || *type == kServiceHeader) && (*flags & kLargeFile)) {
            auto high = fieldAt(kHighDataSizeAt);
            dataSize = high ? std::optional<uint64_t>(*dataSize | uint64_t { *high } << 32) : std::nullopt;
        }
        if (!dataSize)
            break;
        // Data running past the window end the walk there (and the sum cannot wrap).
        walk.end += *headerSize + std::min(*dataSize, kWalkWindow);
        walk.sawFile = walk.sawFile || *type == kFileHeader;
        if (*type == kArchiveHeader && (*flags & kEncryptedHeaders))
            return std::nullopt;
        if (*type == kEndOfArchive) {
            walk.sawEndBlock = true;
            break;
        }
    }
    return matchOf(walk);
}

/// Reads RAR 5's variable-length integers from one header in memory.
class VintReader {
public:
    explicit VintReader(std::span<const uint8_t> bytes) : m_bytes(bytes) { }
    std::optional<uint64_t> next()
    {
        uint64_t value = 0;
        for (int i = 0; i < kMostVintBytes && m_at < m_bytes.size(); ++i) {
            const uint8_t byte = m_bytes[m_at++];
            value |= uint64_t { byte & 0x7Fu } << (7 * i);
            if (!(byte & 0x80))
                return value;
        }
        return std::nullopt;
    }
    size_t position() const { return m_at; }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_at { 0 };
};

std::optional<CarveMatch> walkVersion5(uint64_t at, ReadContext& context)
{
    WalkEnd walk { kVersion5SignatureBytes, false, false };
    for (uint32_t block = 0; block < kMostBlocks && walk.end < kWalkWindow; ++block) {
        const uint64_t p = at + walk.end;
        auto crc = context.u32le(p);
        ByteRun sizeBytes = context.bytes(p + 4, 3); // the header size takes at most 3 bytes (2 MiB)
        VintReader sizeReader(sizeBytes.span());
        auto headerSize = sizeReader.next();
        const size_t sizeLength = sizeReader.position();
        if (!crc || !headerSize || *headerSize == 0 || *headerSize > kMostVersion5HeaderBytes)
            break;
        // The CRC covers the header size field and the header.
        ByteRun header = context.bytes(p + 4, static_cast<int64_t>(sizeLength + *headerSize));
        if (header.size() != sizeLength + *headerSize || crcOf(header) != *crc)
            break;

        VintReader fields(header.span().subspan(sizeLength));
        auto type = fields.next();
        auto flags = fields.next();
        if (!type || !flags)
            break;
        if (block == 0 && *type != kMain)
            return std::nullopt;
        if (*type == kEncryption)
            return std::nullopt;
        std::optional<uint64_t> dataSize = 0;
        if (*flags & kHasExtraArea && !fields.next())
            break;
        if (*flags & kHasDataArea)
            dataSize = fields.next();
        if (!dataSize || fields.position() > *headerSize)
            break;
        walk.end += 4 + sizeLength + *headerSize + std::min(*dataSize, kWalkWindow);
        walk.sawFile = walk.sawFile || *type == kFile;
        if (*type == kEnd) {
            walk.sawEndBlock = true;
            break;
        }
        if (*type != kMain && *type != kFile && *type != kService)
            break;
    }
    return matchOf(walk);
}

}

RARCarver::RARCarver()
    : FormatCarver("rar", { FormatCategory::archives }, { { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x00 }, { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00 } }, 0,
        // a block starting just inside the window: its header, up to RAR 5's limit
        { kWalkWindow, kWalkWindow + 4 + 3 + kMostVersion5HeaderBytes })
{
}

std::optional<CarveMatch> RARCarver::carve(uint64_t at, ReadContext& context) const
{
    auto version = context.byte(at + 6); // 00 for RAR 4; 01 then 00 for RAR 5
    if (version == uint8_t { 0 })
        return walkVersion4(at, context);
    if (version == uint8_t { 1 } && context.byte(at + 7) == uint8_t { 0 })
        return walkVersion5(at, context);
    return std::nullopt;
}

}
