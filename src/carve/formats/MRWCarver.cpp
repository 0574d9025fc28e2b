#include "carve/formats/MRWCarver.hpp"

namespace brightfold {

namespace {

constexpr uint64_t kMostHeaderBytes = 0x10'0000;  // 1 MiB: an MRM block longer than that is no camera's
constexpr uint64_t kBlockHeaderBytes = 8;         // 4-byte name (a zero and three capitals), u32be length
constexpr uint64_t kLeastPRDBytes = 20;           // version (8), sensor height, width, image height, width (u16be each), bits, pixel size, storage
constexpr uint8_t kPacked = 0x52;                 // PRD storage method: 12-bit samples packed
constexpr uint8_t kUnpacked = 0x59;               // ... each sample in 16 bits
constexpr uint8_t kPackedBits = 12;

constexpr uint32_t kPictureRawDimensions = fourcc("\0PRD");

bool isBlockName(uint32_t name)
{
    for (int shift : { 16, 8, 0 }) {
        const uint32_t letter = name >> shift & 0xFF;
        if (letter < 'A' || letter > 'Z')
            return false;
    }
    return name >> 24 == 0;
}

}

// The file opens with 00 "MRM"; the signature leaves out the zero byte, with
// which every sector of zeros would begin a signature test.
MRWCarver::MRWCarver()
    : FormatCarver("mrw", { FormatCategory::rawPhotos }, { textSignature("MRM") }, 1, { kMostHeaderBytes, kMostHeaderBytes + kBlockHeaderBytes })
{
}

std::optional<CarveMatch> MRWCarver::carve(uint64_t at, ReadContext& context) const
{
    if (context.byte(at) != uint8_t { 0 })
        return std::nullopt;
    auto headerLength = context.u32be(at + 4); // MRM: u32be length of the blocks it holds
    if (!headerLength || *headerLength > kMostHeaderBytes - kBlockHeaderBytes)
        return std::nullopt;
    const uint64_t dataStart = kBlockHeaderBytes + *headerLength;

    std::optional<uint64_t> rawBytes;
    for (uint64_t p = kBlockHeaderBytes; dataStart - p >= kBlockHeaderBytes;) {
        auto name = context.u32be(at + p);
        auto length = context.u32be(at + p + 4);
        if (!name || !length || !isBlockName(*name) || *length > dataStart - p - kBlockHeaderBytes)
            return std::nullopt;
        if (*name == kPictureRawDimensions) {
            if (*length < kLeastPRDBytes)
                return std::nullopt;
            // PRD after its 8-byte version: u16be sensor height, width; image height, width; u8 bits, pixel size, storage.
            const uint64_t fields = at + p + kBlockHeaderBytes + 8;
            auto height = context.u16be(fields);
            auto width = context.u16be(fields + 2);
            auto bits = context.byte(fields + 8);
            auto storage = context.byte(fields + 10);
            if (!height || !width || !bits || !storage || *height == 0 || *width == 0)
                return std::nullopt;
            const uint64_t samples = uint64_t { *height } * *width;
            if (*storage == kUnpacked)
                rawBytes = samples * 2;
            else if (*storage == kPacked && *bits == kPackedBits)
                rawBytes = samples * kPackedBits / 8;
            else
                return std::nullopt;
        }
        p += kBlockHeaderBytes + *length;
    }
    if (!rawBytes)
        return std::nullopt;
    return CarveMatch { dataStart + *rawBytes, "mrw", FormatCategory::rawPhotos, CarveConfidence::exact };
}

}
