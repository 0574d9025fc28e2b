#include "carve/formats/OLE2Carver.hpp"

#include <algorithm>
#include <array>
#include <span>

namespace brightfold {

namespace {

constexpr uint16_t kSmallSectorShift = 9;   // 512-byte sectors
constexpr uint16_t kLargeSectorShift = 12;  // 4,096-byte sectors
constexpr uint32_t kMaximumFATSectors = 65536;
constexpr uint64_t kLargestLength = 0x10000000;    // 256 MiB
constexpr uint64_t kStreamNameSearchBytes = 0x800000; // 8 MiB from the start

/// A stream name as stored in a directory entry: UTF-16 little-endian, no terminator.
template<size_t N>
constexpr std::array<uint8_t, 2 * (N - 1)> utf16LittleEndian(const char (&name)[N])
{
    std::array<uint8_t, 2 * (N - 1)> bytes {};
    for (size_t i = 0; i + 1 < N; ++i)
        bytes[2 * i] = static_cast<uint8_t>(name[i]);
    return bytes;
}

constexpr auto kWordDocument = utf16LittleEndian("WordDocument");
constexpr auto kWorkbook = utf16LittleEndian("Workbook");
constexpr auto kPowerPointDocument = utf16LittleEndian("PowerPoint Document");

struct StreamRule {
    std::span<const uint8_t> name;
    const char* ext;
};

// Tried in this order: a file holding both a Word and a Workbook stream is a Word document.
constexpr std::array<StreamRule, 3> kStreamRules { {
    { kWordDocument, "doc" },
    { kWorkbook, "xls" },
    { kPowerPointDocument, "ppt" },
} };

static_assert(kWordDocument.size() == 24 && kPowerPointDocument.size() == 38);

}

OLE2Carver::OLE2Carver()
    : FormatCarver("ole2", { FormatCategory::documents }, { { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 } }, 0,
        { kStreamNameSearchBytes, kStreamNameSearchBytes })
{
}

std::optional<CarveMatch> OLE2Carver::carve(uint64_t at, ReadContext& context) const
{
    // Compound file header: u16 sector shift at 30, u32 number of FAT sectors at 44.
    auto sectorShift = context.u16le(at + 30);
    if (!sectorShift || (*sectorShift != kSmallSectorShift && *sectorShift != kLargeSectorShift))
        return std::nullopt;
    auto fatSectors = context.u32le(at + 44);
    if (!fatSectors || *fatSectors < 1 || *fatSectors > kMaximumFATSectors)
        return std::nullopt;

    // Each FAT sector holds one 4-byte entry per sector of the file: the table
    // can address no more than this, after the header sector.
    uint64_t sectorSize = uint64_t { 1 } << *sectorShift;
    uint64_t estimate = sectorSize + uint64_t { *fatSectors } * (sectorSize / 4) * sectorSize;
    uint64_t length = std::min(estimate, kLargestLength);

    // A plain byte search, anywhere in the first bytes of the carved range that
    // the source holds, read once (at most 8 MiB) and searched in memory for each
    // name in turn.
    ByteRun head = context.bytes(at, static_cast<int64_t>(std::min(length, kStreamNameSearchBytes)));
    const char* ext = "ole";
    for (const auto& rule : kStreamRules) {
        if (findBytes(head.span(), rule.name) < head.size()) {
            ext = rule.ext;
            break;
        }
    }
    return CarveMatch { length, ext, FormatCategory::documents, CarveConfidence::heuristic };
}

}
