#include "carve/formats/SevenZipCarver.hpp"

#include <zlib.h>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000;   // 4 GiB: a next header ending past it is no match
constexpr uint64_t kSignatureHeaderBytes = 32;     // signature, version, start header CRC, the start header
constexpr uint64_t kStartHeaderAt = 12;            // u64le next header offset, u64le size, u32le CRC
constexpr uint64_t kStartHeaderBytes = 20;
constexpr uint64_t kMostCheckedHeaderBytes = 0x100'0000; // 16 MiB: a larger next header is not read
constexpr uint8_t kMajorVersion = 0;
constexpr uint8_t kHeader = 0x01;                  // property ids a next header opens with: plain
constexpr uint8_t kEncodedHeader = 0x17;           // ... or packed

uint32_t crcOf(const ByteRun& bytes)
{
    return static_cast<uint32_t>(::crc32(::crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

}

SevenZipCarver::SevenZipCarver()
    : FormatCarver("7z", { FormatCategory::archives }, { { '7', 'z', 0xBC, 0xAF, 0x27, 0x1C } }, 0, { kWalkWindow, kWalkWindow })
{
}

std::optional<CarveMatch> SevenZipCarver::carve(uint64_t at, ReadContext& context) const
{
    // Signature header: 6-byte signature, u8 major and minor version, u32le CRC of the 20-byte start header.
    auto major = context.byte(at + 6);
    auto startHeaderCRC = context.u32le(at + 8);
    ByteRun startHeader = context.bytes(at + kStartHeaderAt, kStartHeaderBytes);
    if (!major || *major != kMajorVersion || !startHeaderCRC || startHeader.size() != kStartHeaderBytes || crcOf(startHeader) != *startHeaderCRC)
        return std::nullopt;
    const uint64_t nextOffset = integerAt<uint64_t>(startHeader.span(), 0, ByteOrder::little);
    const uint64_t nextSize = integerAt<uint64_t>(startHeader.span(), 8, ByteOrder::little);
    const uint32_t nextCRC = integerAt<uint32_t>(startHeader.span(), 16, ByteOrder::little);
    const uint64_t room = kWalkWindow - kSignatureHeaderBytes;
    if (nextOffset > room || nextSize > room - nextOffset)
        return std::nullopt;
    const uint64_t end = kSignatureHeaderBytes + nextOffset + nextSize;
    if (nextSize == 0) // an empty archive: the signature header is all of it
        return CarveMatch { end, "7z", FormatCategory::archives, CarveConfidence::exact };

    CarveConfidence confidence = CarveConfidence::heuristic;
    if (nextSize <= kMostCheckedHeaderBytes) {
        ByteRun nextHeader = context.bytes(at + kSignatureHeaderBytes + nextOffset, static_cast<int64_t>(nextSize));
        if (nextHeader.size() == nextSize && (nextHeader[0] == kHeader || nextHeader[0] == kEncodedHeader) && crcOf(nextHeader) == nextCRC)
            confidence = CarveConfidence::exact;
    }
    return CarveMatch { end, "7z", FormatCategory::archives, confidence };
}

}
