#include "carve/formats/OLE2Carver.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

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

constexpr uint32_t kFreeSector = 0xFFFFFFFF;     // FAT entry of a sector not in use
constexpr uint32_t kFatSector = 0xFFFFFFFD;      // FAT entry of a sector that holds part of the FAT
constexpr uint64_t kHeaderDifatEntries = 109;    // FAT sector numbers held in the header, from offset 76

/// The length of the compound file at `at`: the header sector and every sector
/// up to the last one the FAT marks as in use, found from the FAT sectors that
/// the DIFAT lists. No value unless every listed FAT sector can be read and is
/// itself marked in the FAT as a FAT sector, and some sector is in use.
std::optional<uint64_t> lengthFromFat(uint64_t at, uint64_t sectorSize, uint32_t fatSectors, uint64_t longest, ReadContext& context)
{
    const uint64_t perSector = sectorSize / 4;
    // Every sector read (FAT or DIFAT) lies inside the longest file carved, and a
    // table with more FAT sectors than that file needs is not walked.
    const uint64_t sectorLimit = longest / sectorSize - 1;
    if (fatSectors > kLargestLength / (perSector * sectorSize) + 1)
        return std::nullopt;
    auto sectorAt = [&](uint32_t sector) { return at + (uint64_t { sector } + 1) * sectorSize; };

    // The header lists the first 109 FAT sectors; further ones sit in a chain of
    // DIFAT sectors, each ending with the number of the next.
    std::vector<uint32_t> listed;
    auto list = [&](std::optional<uint32_t> sector) {
        if (!sector || *sector >= sectorLimit)
            return false;
        listed.push_back(*sector);
        return true;
    };
    for (uint64_t index = 0; index < kHeaderDifatEntries && listed.size() < fatSectors; ++index) {
        if (!list(context.u32le(at + 76 + 4 * index)))
            return std::nullopt;
    }
    auto difat = context.u32le(at + 68);
    for (uint32_t hops = 0; listed.size() < fatSectors; ++hops) {
        if (!difat || *difat >= sectorLimit || hops > fatSectors)
            return std::nullopt;
        for (uint64_t index = 0; index + 1 < perSector && listed.size() < fatSectors; ++index) {
            if (!list(context.u32le(sectorAt(*difat) + 4 * index)))
                return std::nullopt;
        }
        difat = context.u32le(sectorAt(*difat) + 4 * (perSector - 1));
    }

    std::vector<uint32_t> sorted = listed;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        return std::nullopt; // one sector listed twice: not a table this file wrote
    std::optional<uint64_t> lastInUse;
    for (size_t position = 0; position < listed.size(); ++position) {
        ByteRun entries = context.bytes(sectorAt(listed[position]), static_cast<int64_t>(sectorSize));
        if (entries.size() != sectorSize)
            return std::nullopt;
        auto entry = [&](uint64_t index) {
            return static_cast<uint32_t>(entries[4 * index]) | static_cast<uint32_t>(entries[4 * index + 1]) << 8
                | static_cast<uint32_t>(entries[4 * index + 2]) << 16 | static_cast<uint32_t>(entries[4 * index + 3]) << 24;
        };
        const uint64_t first = position * perSector;
        // Every FAT sector this part of the table covers must be marked as one.
        for (auto it = std::lower_bound(sorted.begin(), sorted.end(), first); it != sorted.end() && *it < first + perSector; ++it) {
            if (entry(*it - first) != kFatSector)
                return std::nullopt;
        }
        for (uint64_t index = perSector; index-- > 0;) {
            if (entry(index) != kFreeSector) {
                lastInUse = std::max(lastInUse.value_or(0), first + index);
                break;
            }
        }
    }
    if (!lastInUse)
        return std::nullopt;
    return (*lastInUse + 2) * sectorSize;
}

}

OLE2Carver::OLE2Carver()
    : FormatCarver("ole2", { FormatCategory::documents }, { { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 } }, 0,
        { kLargestLength, kLargestLength }) // the FAT and DIFAT sectors of the longest file
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
    CarveConfidence confidence = CarveConfidence::heuristic;
    if (auto exact = lengthFromFat(at, sectorSize, *fatSectors, length, context)) {
        length = *exact; // the engine cuts it at the source end, as heuristic
        confidence = CarveConfidence::exact;
    }

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
    return CarveMatch { length, ext, FormatCategory::documents, confidence };
}

}
