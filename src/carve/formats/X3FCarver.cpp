#include "carve/formats/X3FCarver.hpp"

#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x2000'0000;    // 512 MiB: a directory not found by then is no match
constexpr int kMostDirectories = 16;             // "SECd" candidates examined before giving up
constexpr uint32_t kMostSections = 1024;         // entries per directory
constexpr uint64_t kHeaderBytes = 8;             // "FOVb", u32 version; no section starts inside it
constexpr uint64_t kDirectoryHeaderBytes = 12;   // "SECd", u32 version, u32 entry count
constexpr uint64_t kEntryBytes = 12;             // u32 offset, u32 length, 4-byte type

constexpr std::array<uint8_t, 4> kDirectoryMagic { 'S', 'E', 'C', 'd' };

/// The end of the directory at `directory` (absolute) when its trailing
/// pointer names it and its sections lie before it.
std::optional<uint64_t> directoryEnd(uint64_t at, uint64_t directory, ReadContext& context)
{
    const uint64_t offset = directory - at;
    auto count = context.u32le(directory + 8);
    if (!count || *count == 0 || *count > kMostSections)
        return std::nullopt;
    const uint64_t pointerAt = directory + kDirectoryHeaderBytes + kEntryBytes * *count;
    if (context.u32le(pointerAt) != offset)
        return std::nullopt;
    for (uint32_t i = 0; i < *count; ++i) {
        auto sectionOffset = context.u32le(directory + kDirectoryHeaderBytes + kEntryBytes * i);
        auto sectionLength = context.u32le(directory + kDirectoryHeaderBytes + kEntryBytes * i + 4);
        if (!sectionOffset || !sectionLength || *sectionOffset < kHeaderBytes || uint64_t { *sectionOffset } + *sectionLength > offset)
            return std::nullopt;
    }
    return pointerAt + 4;
}

}

X3FCarver::X3FCarver()
    : FormatCarver("x3f", { FormatCategory::rawPhotos }, { textSignature("FOVb") }, 0,
        // a directory found just inside the window: its entries and pointer lie past it
        { kWalkWindow, kWalkWindow + ReadContext::kSearchOverrun + kDirectoryHeaderBytes + kEntryBytes * kMostSections + 4 })
{
}

std::optional<CarveMatch> X3FCarver::carve(uint64_t at, ReadContext& context) const
{
    const uint64_t searchEnd = std::min(context.size(), at + kWalkWindow);
    uint64_t from = at + kHeaderBytes;
    for (int examined = 0; examined < kMostDirectories && from < searchEnd; ++examined) {
        auto directory = context.find(kDirectoryMagic, from, searchEnd - from, ReadContext::kSearchChunk);
        if (!directory)
            return std::nullopt;
        if (auto end = directoryEnd(at, *directory, context))
            return CarveMatch { *end - at, "x3f", FormatCategory::rawPhotos, CarveConfidence::exact };
        from = *directory + kDirectoryMagic.size();
    }
    return std::nullopt;
}

}
