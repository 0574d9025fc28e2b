#include "carve/filesystems/FatVolume.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>

namespace brightfold {

namespace {

constexpr uint64_t kSectorBytes = 512;                    // the MBR's unit, whatever the volume's sector size
constexpr size_t kMaxDirectories = 100'000;               // directories read per volume
constexpr size_t kMaxEntries = 500'000;                   // entries listed per volume (about 100 bytes each)
constexpr uint64_t kMaxDirectoryBytes = 4 * 1024 * 1024;  // bytes read of one directory (a FAT directory holds at most 2 MiB)
constexpr uint64_t kMaxDirectoryBytesInAll = 64 * 1024 * 1024; // bytes read of all directories of a volume
constexpr size_t kMaxFolderDepth = 64;                    // folders below the root
constexpr uint64_t kFatPiece = 4 * 1024 * 1024;           // bytes of the FAT read at once
constexpr uint32_t kMaxClusters = 0x0FFFFFF6;             // the most a FAT32 or exFAT volume can number
constexpr uint32_t kMaxGptEntries = 128;                  // GPT partition entries looked at
constexpr uint8_t kGptProtective = 0xEE;                  // the MBR entry type in front of a GPT

constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kAttributeLongName = 0x0F;
constexpr uint8_t kAttributeVolumeLabel = 0x08;
constexpr uint8_t kAttributeDirectory = 0x10;
constexpr uint8_t kLastLongNamePart = 0x40;

constexpr uint8_t kExfatFile = 0x05;       // entry types without their in-use bit (0x80)
constexpr uint8_t kExfatStream = 0x40;
constexpr uint8_t kExfatName = 0x41;
constexpr uint8_t kExfatBitmap = 0x81;
constexpr uint8_t kExfatInUse = 0x80;
constexpr uint8_t kExfatNoFatChain = 0x02;
constexpr size_t kExfatNameCharsPerEntry = 15;

bool isPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

uint16_t le16(std::span<const uint8_t> bytes, size_t at) { return integerAt<uint16_t>(bytes, at, ByteOrder::little); }
uint32_t le32(std::span<const uint8_t> bytes, size_t at) { return integerAt<uint32_t>(bytes, at, ByteOrder::little); }
uint64_t le64(std::span<const uint8_t> bytes, size_t at) { return integerAt<uint64_t>(bytes, at, ByteOrder::little); }

void appendUtf8(std::string& out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

/// UTF-16 units as UTF-8: a lone surrogate becomes U+FFFD; a "/" or a control
/// character "_", so the name is always one path component.
std::string utf8FromUtf16(const std::vector<uint16_t>& units)
{
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t unit = units[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            appendUtf8(out, 0xFFFD);
        } else if (unit < 0x20 || unit == '/' || unit == '\\' || unit == 0x7F) {
            out += '_';
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

bool isUsableName(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

/// "YYYY-MM-DDTHH:MM:SS" from a FAT date and time, or no value when they are not
/// one; with exFAT's UTC offset byte (bit 7: valid, then a signed count of 15
/// minutes) "+HH:MM" or "-HH:MM" follows.
std::optional<std::string> timestamp(uint16_t date, uint16_t time, uint8_t utcOffset = 0)
{
    unsigned day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
    unsigned seconds = (time & 0x1F) * 2, minutes = (time >> 5) & 0x3F, hours = time >> 11;
    if (day == 0 || month == 0 || month > 12 || hours > 23 || minutes > 59 || seconds > 59)
        return std::nullopt;
    std::array<char, 32> text {};
    std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02u", year, month, day, hours, minutes, seconds);
    std::string stamp(text.data());
    if (utcOffset & 0x80) {
        const int quarters = (utcOffset & 0x40) ? int(utcOffset & 0x7F) - 128 : int(utcOffset & 0x7F);
        const int minutesEast = quarters * 15;
        std::snprintf(text.data(), text.size(), "%c%02d:%02d", minutesEast < 0 ? '-' : '+', std::abs(minutesEast) / 60, std::abs(minutesEast) % 60);
        stamp += text.data();
    }
    return stamp;
}

/// The VFAT checksum of an 11-byte short name, which each long-name part repeats.
uint8_t shortNameChecksum(std::span<const uint8_t, 11> name)
{
    uint8_t sum = 0;
    for (uint8_t byte : name)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + byte);
    return sum;
}

/// An 8.3 name as text: padding dropped, the NT lower-case flags applied, bytes
/// outside ASCII (a code page we do not know) shown as "_".
std::string shortName(std::span<const uint8_t, 11> name, uint8_t caseFlags)
{
    auto part = [&](size_t from, size_t count, bool lower) {
        std::string text;
        for (size_t i = from; i < from + count; ++i) {
            uint8_t c = name[i];
            text += c >= 0x80 || c < 0x20 || c == '/' || c == '\\' ? '_' : static_cast<char>(lower ? std::tolower(c) : c);
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    };
    std::string base = part(0, 8, caseFlags & 0x08);
    std::string ext = part(8, 3, caseFlags & 0x10);
    return ext.empty() ? base : base + "." + ext;
}

struct LongNamePart {
    uint8_t order;
    uint8_t checksum;
    std::vector<uint16_t> units;
};

/// The name the parts before a short entry spell, when they belong to it: in
/// order, complete and with its checksum. A deleted entry lost the first byte of
/// its short name and its parts their order numbers: the parts are taken in the
/// order they lie, and the checksum is tried with the first byte the long name
/// gives its short name (its first letter in upper case, or "_"), which then
/// goes into `name[0]`. Any first byte would fit some checksum, so no other is tried.
std::optional<std::string> longName(const std::vector<LongNamePart>& parts, std::array<uint8_t, 11>& name, bool deleted)
{
    if (parts.empty() || parts.size() > 20)
        return std::nullopt;
    const uint8_t checksum = parts.front().checksum;
    if (!std::all_of(parts.begin(), parts.end(), [&](const LongNamePart& part) { return part.checksum == checksum; }))
        return std::nullopt;
    if (!deleted) {
        if (parts.front().order != (kLastLongNamePart | parts.size()))
            return std::nullopt;
        for (size_t i = 1; i < parts.size(); ++i)
            if (parts[i].order != parts.size() - i)
                return std::nullopt;
    } else if (!std::all_of(parts.begin(), parts.end(), [](const LongNamePart& part) { return part.order == kDeletedMark; })) {
        return std::nullopt;
    }
    std::vector<uint16_t> units;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part)
        units.insert(units.end(), part->units.begin(), part->units.end());
    units.erase(std::find(units.begin(), units.end(), uint16_t(0)), units.end());
    if (deleted) {
        auto first = std::find_if(units.begin(), units.end(), [](uint16_t unit) { return unit != '.' && unit != ' '; });
        if (first == units.end())
            return std::nullopt;
        const bool plain = *first < 0x80 && (std::isalnum(*first) || std::strchr("!#$%&'()-@^_`{}~", *first));
        std::array<uint8_t, 2> guesses { static_cast<uint8_t>(plain ? std::toupper(*first) : '_'), '_' };
        auto fits = std::find_if(guesses.begin(), guesses.end(), [&](uint8_t guess) {
            name[0] = guess;
            return shortNameChecksum(name) == checksum;
        });
        if (fits == guesses.end())
            return std::nullopt;
    } else if (shortNameChecksum(name) != checksum) {
        return std::nullopt;
    }
    std::string text = utf8FromUtf16(units);
    if (!isUsableName(text))
        return std::nullopt;
    return text;
}

/// A directory waiting to be read.
struct PendingDirectory {
    /// Where a directory's clusters are.
    enum class Layout {
        chain,      ///< in its FAT chain
        run,        ///< one after the other (exFAT's NoFatChain)
        deletedRun, ///< a deleted FAT folder: one after the other while they read as its entries
    };

    std::string folder;
    size_t depth;
    uint32_t firstCluster; ///< 0: the fixed root of FAT12/16
    uint64_t bytes;        ///< how many bytes it holds, when known (exFAT); else 0
    Layout layout;
};

/// Whether `bytes` read as FAT directory entries up to the entry that ends them:
/// long-name parts with no cluster, short entries with a name and no reserved
/// attribute. A cluster of file data almost never does.
bool looksLikeDirectory(std::span<const uint8_t> bytes)
{
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        auto entry = bytes.subspan(at, 32);
        if (entry[0] == 0x00)
            return at > 0;
        if ((entry[11] & 0x3F) == kAttributeLongName) {
            if (entry[26] != 0 || entry[27] != 0)
                return false;
        } else if ((entry[11] & 0xC0) || std::any_of(entry.begin(), entry.begin() + 11, [](uint8_t c) { return c < 0x20 && c != 0x05; })) {
            return false;
        }
    }
    return true;
}

bool holdsEnd(std::span<const uint8_t> bytes)
{
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32)
        if (bytes[at] == 0x00)
            return true;
    return false;
}

}

std::vector<uint64_t> FatVolume::findVolumes(ReadContext& context)
{
    if (bootSector(context, 0))
        return { 0 };
    std::vector<uint64_t> volumes;
    auto add = [&](uint64_t firstSector) {
        const uint64_t offset = firstSector * kSectorBytes;
        if (firstSector != 0 && firstSector <= UINT64_MAX / kSectorBytes && std::find(volumes.begin(), volumes.end(), offset) == volumes.end()
            && bootSector(context, offset))
            volumes.push_back(offset);
    };
    ByteRun mbr = context.bytes(0, kSectorBytes);
    if (mbr.size() < kSectorBytes || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return volumes;
    bool protective = false;
    for (size_t entry = 0; entry < 4; ++entry) {
        // 16-byte entries from 446: u8 status, CHS, u8 type at 4, u32 first LBA at 8, u32 sector count at 12
        const size_t at = 446 + entry * 16;
        protective = protective || mbr[at + 4] == kGptProtective;
        if (mbr[at + 4] != 0)
            add(le32(mbr.span(), at + 8));
    }
    if (!protective)
        return volumes;
    // GPT header at LBA 1: "EFI PART", u64 entries' LBA at 72, u32 count at 80, u32 entry size at 84
    ByteRun header = context.bytes(kSectorBytes, kSectorBytes);
    if (header.size() < 92 || std::memcmp(header.data(), "EFI PART", 8) != 0)
        return volumes;
    const uint64_t entriesSector = le64(header.span(), 72);
    const uint32_t entrySize = le32(header.span(), 84);
    const uint32_t count = std::min<uint32_t>(le32(header.span(), 80), kMaxGptEntries);
    if (entrySize < 48 || entrySize > 4096 || entriesSector == 0 || entriesSector > UINT64_MAX / kSectorBytes / 2)
        return volumes;
    ByteRun entries = context.bytes(entriesSector * kSectorBytes, int64_t(count) * entrySize);
    for (size_t at = 0; at + 48 <= entries.size(); at += entrySize) {
        // 16-byte type GUID (all zero: unused), 16-byte unique GUID, u64 first LBA at 32
        const auto type = entries.span().subspan(at, 16);
        if (std::any_of(type.begin(), type.end(), [](uint8_t b) { return b != 0; }))
            add(le64(entries.span(), at + 32));
    }
    return volumes;
}

std::optional<FatVolume> FatVolume::open(ReadContext& context, uint64_t offset)
{
    auto volume = bootSector(context, offset);
    if (!volume)
        return std::nullopt;
    volume->readFat(context);
    if (volume->m_kind == FatKind::exfat)
        volume->readBitmap(context);
    return volume;
}

std::optional<FatVolume> FatVolume::bootSector(ReadContext& context, uint64_t offset)
{
    ByteRun boot = context.bytes(offset, kSectorBytes);
    if (boot.size() < kSectorBytes)
        return std::nullopt;
    if (std::memcmp(boot.data() + 3, "EXFAT   ", 8) == 0)
        return openExfat(context, offset);
    return openFat(context, offset);
}

std::optional<FatVolume> FatVolume::openFat(ReadContext& context, uint64_t offset)
{
    ByteRun run = context.bytes(offset, kSectorBytes);
    auto boot = run.span();
    // u8[3] jump, u8[8] OEM name, then the BIOS parameter block
    if (boot[0] != 0xEB && boot[0] != 0xE9)
        return std::nullopt;
    const uint32_t bytesPerSector = le16(boot, 11);
    const uint32_t sectorsPerCluster = boot[13];
    const uint32_t reservedSectors = le16(boot, 14);
    const uint32_t fatCount = boot[16];
    const uint32_t rootEntries = le16(boot, 17);
    const uint32_t totalSectors = le16(boot, 19) ? le16(boot, 19) : le32(boot, 32);
    const uint32_t fatSectors = le16(boot, 22) ? le16(boot, 22) : le32(boot, 36);
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector) || !isPowerOfTwo(sectorsPerCluster)
        || reservedSectors == 0 || fatCount == 0 || fatCount > 2 || totalSectors == 0 || fatSectors == 0)
        return std::nullopt;
    const uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bytesPerSector - 1) / bytesPerSector;
    const uint64_t metaSectors = reservedSectors + uint64_t(fatCount) * fatSectors + rootSectors;
    if (metaSectors >= totalSectors)
        return std::nullopt;
    const uint64_t clusters = (totalSectors - metaSectors) / sectorsPerCluster;

    FatVolume volume;
    volume.m_offset = offset;
    volume.m_clusterSize = uint64_t(bytesPerSector) * sectorsPerCluster;
    volume.m_kind = clusters < 4085 ? FatKind::fat12 : clusters < 65525 ? FatKind::fat16 : FatKind::fat32;
    if ((volume.m_kind == FatKind::fat32) != (rootEntries == 0))
        return std::nullopt; // FAT32 has no fixed root, FAT12/16 always one
    volume.m_dataOffset = offset + metaSectors * bytesPerSector;
    volume.m_clusterLimit = static_cast<uint32_t>(std::min<uint64_t>(clusters, kMaxClusters) + 2);
    if (volume.m_kind == FatKind::fat32) {
        volume.m_rootCluster = le32(boot, 44);
        if (!volume.isValidCluster(volume.m_rootCluster))
            return std::nullopt;
    } else {
        volume.m_rootOffset = volume.m_dataOffset - rootSectors * bytesPerSector;
        volume.m_rootBytes = uint64_t(rootEntries) * 32;
    }
    volume.m_fatOffset = offset + uint64_t(reservedSectors) * bytesPerSector;
    return volume;
}

std::optional<FatVolume> FatVolume::openExfat(ReadContext& context, uint64_t offset)
{
    ByteRun run = context.bytes(offset, kSectorBytes);
    auto boot = run.span();
    // u64 volume length at 72, u32 FAT offset at 80 and length at 84 (sectors), u32
    // cluster heap offset at 88 (sectors), u32 cluster count at 92, u32 root cluster
    // at 96, u8 bytes-per-sector shift at 108, u8 sectors-per-cluster shift at 109
    const uint32_t fatOffset = le32(boot, 80);
    const uint32_t heapOffset = le32(boot, 88);
    const uint32_t clusterCount = le32(boot, 92);
    const uint32_t sectorShift = boot[108];
    const uint32_t clusterShift = boot[109];
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift || fatOffset < 24 || heapOffset <= fatOffset
        || clusterCount == 0 || clusterCount > kMaxClusters || boot[110] == 0 || boot[110] > 2)
        return std::nullopt;
    FatVolume volume;
    volume.m_kind = FatKind::exfat;
    volume.m_offset = offset;
    volume.m_clusterSize = uint64_t(1) << (sectorShift + clusterShift);
    volume.m_dataOffset = offset + (uint64_t(heapOffset) << sectorShift);
    volume.m_clusterLimit = clusterCount + 2;
    volume.m_rootCluster = le32(boot, 96);
    if (!volume.isValidCluster(volume.m_rootCluster))
        return std::nullopt;
    volume.m_fatOffset = offset + (uint64_t(fatOffset) << sectorShift);
    return volume;
}

void FatVolume::readFat(ReadContext& context)
{
    const uint64_t fatOffset = m_fatOffset;
    // The table is read no further than the source reaches: a volume larger than
    // the source (a cut image) keeps its entries there, the rest read as free.
    const uint64_t size = context.size();
    if (m_dataOffset < size)
        m_clusterLimit = static_cast<uint32_t>(std::min<uint64_t>(m_clusterLimit, (size - m_dataOffset) / m_clusterSize + 3));
    else
        m_clusterLimit = 2;
    const uint32_t entries = m_clusterLimit;
    const uint64_t fatBytes = m_kind == FatKind::fat12 ? (uint64_t(entries) * 3 + 1) / 2
        : m_kind == FatKind::fat16                     ? uint64_t(entries) * 2
                                                       : uint64_t(entries) * 4;
    std::vector<uint8_t> table;
    while (table.size() < fatBytes) {
        ByteRun piece = context.bytes(fatOffset + table.size(), static_cast<int64_t>(std::min(kFatPiece, fatBytes - table.size())));
        if (piece.empty())
            break;
        table.insert(table.end(), piece.begin(), piece.end());
    }
    table.resize(fatBytes, 0);
    m_fat.resize(entries);
    for (uint32_t cluster = 0; cluster < entries; ++cluster) {
        uint32_t value = 0;
        switch (m_kind) {
        case FatKind::fat12: {
            const uint16_t pair = le16(table, cluster + cluster / 2);
            value = cluster % 2 ? pair >> 4 : pair & 0x0FFF;
            value = value >= 0x0FF8 ? kEndOfChain : value;
            break;
        }
        case FatKind::fat16:
            value = le16(table, uint64_t(cluster) * 2);
            value = value >= 0xFFF8 ? kEndOfChain : value;
            break;
        case FatKind::fat32:
            value = le32(table, uint64_t(cluster) * 4) & 0x0FFFFFFF;
            value = value >= 0x0FFFFFF8 ? kEndOfChain : value;
            break;
        case FatKind::exfat:
            value = le32(table, uint64_t(cluster) * 4);
            value = value >= 0xFFFFFFF8 ? kEndOfChain : value;
            break;
        }
        m_fat[cluster] = value;
    }
}

void FatVolume::readBitmap(ReadContext& context)
{
    // The allocation bitmap's entry is one of the first in the root directory.
    const uint64_t bitmapBytes = (uint64_t(m_clusterLimit) - 2 + 7) / 8;
    auto rootClusters = chain(m_rootCluster, 1);
    if (rootClusters.empty())
        return;
    ByteRun root = context.bytes(clusterOffset(rootClusters[0]), static_cast<int64_t>(m_clusterSize));
    for (size_t at = 0; at + 32 <= root.size(); at += 32) {
        // type 0x81, u32 first cluster at 20, u64 data length at 24
        if (root[at] == 0)
            break;
        if (root[at] != kExfatBitmap)
            continue;
        const uint32_t first = le32(root.span(), at + 20);
        const uint64_t length = std::min(le64(root.span(), at + 24), bitmapBytes);
        const uint64_t count = (length + m_clusterSize - 1) / m_clusterSize;
        // Its clusters follow its chain; a formatter that left the chain out laid them in a row.
        std::vector<uint32_t> clusters = chain(first, count);
        for (uint32_t cluster = first + static_cast<uint32_t>(clusters.size()); clusters.size() < count && isValidCluster(cluster); ++cluster)
            clusters.push_back(cluster);
        for (uint32_t cluster : clusters) {
            ByteRun piece = context.bytes(clusterOffset(cluster), static_cast<int64_t>(std::min(m_clusterSize, length - m_bitmap.size())));
            if (piece.empty())
                break;
            m_bitmap.insert(m_bitmap.end(), piece.begin(), piece.end());
        }
        break;
    }
}

uint32_t FatVolume::next(uint32_t cluster) const
{
    return cluster < m_fat.size() ? m_fat[cluster] : 0;
}

bool FatVolume::inUse(uint32_t cluster) const
{
    if (!isValidCluster(cluster))
        return false;
    if (m_kind == FatKind::exfat) {
        const uint32_t bit = cluster - 2;
        // A bitmap the volume lost leaves every cluster to the FAT.
        if (bit / 8 >= m_bitmap.size())
            return next(cluster) != 0;
        return (m_bitmap[bit / 8] >> (bit % 8)) & 1;
    }
    return next(cluster) != 0;
}

std::vector<uint32_t> FatVolume::chain(uint32_t first, uint64_t count) const
{
    std::vector<uint32_t> clusters;
    count = std::min<uint64_t>(count, m_clusterLimit);
    for (uint32_t cluster = first; clusters.size() < count && isValidCluster(cluster); cluster = next(cluster))
        clusters.push_back(cluster);
    // A loop repeats a cluster: the chain is good up to the first repeat.
    std::vector<uint32_t> sorted = clusters;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        std::set<uint32_t> seen;
        auto repeat = std::find_if(clusters.begin(), clusters.end(), [&](uint32_t cluster) { return !seen.insert(cluster).second; });
        clusters.erase(repeat, clusters.end());
    }
    return clusters;
}

std::vector<FatEntry> FatVolume::entries(ReadContext& context) const
{
    std::vector<FatEntry> found;
    std::deque<PendingDirectory> pending;
    std::set<uint32_t> visited { m_rootCluster };
    pending.push_back({ "", 0, m_kind == FatKind::fat12 || m_kind == FatKind::fat16 ? 0 : m_rootCluster, 0, PendingDirectory::Layout::chain });
    size_t directoriesRead = 0;
    uint64_t bytesRead = 0;
    while (!pending.empty() && directoriesRead < kMaxDirectories && found.size() < kMaxEntries && bytesRead < kMaxDirectoryBytesInAll) {
        PendingDirectory directory = std::move(pending.front());
        pending.pop_front();
        ++directoriesRead;

        // The directory's bytes: the fixed root, its chain, or its run of clusters.
        std::vector<uint8_t> bytes;
        auto append = [&](uint64_t offset, uint64_t count) {
            ByteRun piece = context.bytes(offset, static_cast<int64_t>(count));
            bytes.insert(bytes.end(), piece.begin(), piece.end());
            return piece.size() == count;
        };
        if (directory.firstCluster == 0) {
            append(m_rootOffset, std::min(m_rootBytes, kMaxDirectoryBytes));
        } else if (directory.layout == PendingDirectory::Layout::deletedRun) {
            // Its chain is gone: the clusters from its first, while they are free and
            // read as entries, up to the entry that ends the folder.
            append(clusterOffset(directory.firstCluster), m_clusterSize);
            bool ended = holdsEnd(bytes);
            for (uint32_t cluster = directory.firstCluster + 1; !ended && bytes.size() < kMaxDirectoryBytes && isValidCluster(cluster) && !inUse(cluster);
                 ++cluster) {
                ByteRun piece = context.bytes(clusterOffset(cluster), static_cast<int64_t>(m_clusterSize));
                if (!looksLikeDirectory(piece.span()))
                    break;
                bytes.insert(bytes.end(), piece.begin(), piece.end());
                ended = holdsEnd(piece.span());
            }
        } else {
            const uint64_t wanted = directory.bytes ? std::min(directory.bytes, kMaxDirectoryBytes) : kMaxDirectoryBytes;
            const uint64_t clusterCount = (wanted + m_clusterSize - 1) / m_clusterSize;
            std::vector<uint32_t> clusters;
            if (directory.layout == PendingDirectory::Layout::chain) {
                clusters = chain(directory.firstCluster, clusterCount);
            } else {
                for (uint32_t cluster = directory.firstCluster; clusters.size() < clusterCount && isValidCluster(cluster); ++cluster)
                    clusters.push_back(cluster);
            }
            for (uint32_t cluster : clusters)
                if (!append(clusterOffset(cluster), m_clusterSize))
                    break;
        }

        bytesRead += bytes.size();
        const size_t before = found.size();
        if (m_kind == FatKind::exfat)
            readExfatDirectory(bytes, directory.folder, found);
        else
            readFatDirectory(bytes, directory.folder, found);
        if (directory.depth >= kMaxFolderDepth)
            continue;
        for (size_t index = before; index < found.size(); ++index) {
            const FatEntry& entry = found[index];
            if (!entry.directory || !isValidCluster(entry.firstCluster) || !visited.insert(entry.firstCluster).second)
                continue;
            // A deleted folder's chain is cleared on FAT (on exFAT it survives); one
            // whose first cluster a live file took since is gone.
            if (entry.deleted && inUse(entry.firstCluster))
                continue;
            using Layout = PendingDirectory::Layout;
            const Layout layout = entry.contiguous ? Layout::run : entry.deleted && m_kind != FatKind::exfat ? Layout::deletedRun : Layout::chain;
            std::string folder = directory.folder.empty() ? entry.name : directory.folder + "/" + entry.name;
            pending.push_back({ std::move(folder), directory.depth + 1, entry.firstCluster, m_kind == FatKind::exfat ? entry.size : 0, layout });
        }
    }
    if (found.size() > kMaxEntries)
        found.resize(kMaxEntries);
    guessFirstLetters(found);
    return found;
}

void FatVolume::guessFirstLetters(std::vector<FatEntry>& entries)
{
    // Names alike: the same length and the same three letters after the first, as a
    // camera's numbered files are (IMG_0001.JPG, IMG_0002.JPG; MVI_0003.MP4, MVI_0004.MOV).
    auto likeness = [](const std::string& name) { return std::to_string(name.size()) + name.substr(1, 3); };
    std::map<std::string, std::map<char, size_t>> inFolder, anywhere;
    for (const auto& entry : entries) {
        const char first = entry.name[0];
        if (entry.firstLetterGuessed || static_cast<unsigned char>(first) >= 0x80 || entry.name.size() < 4)
            continue;
        ++inFolder[entry.folder + '/' + likeness(entry.name)][first];
        ++anywhere[likeness(entry.name)][first];
    }
    auto commonest = [](const std::map<char, size_t>& counts) {
        return std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
    };
    for (auto& entry : entries) {
        if (!entry.firstLetterGuessed || entry.name.size() < 4)
            continue;
        if (auto same = inFolder.find(entry.folder + '/' + likeness(entry.name)); same != inFolder.end())
            entry.name[0] = commonest(same->second);
        else if (auto other = anywhere.find(likeness(entry.name)); other != anywhere.end())
            entry.name[0] = commonest(other->second);
    }
}

void FatVolume::readFatDirectory(std::span<const uint8_t> bytes, const std::string& folder, std::vector<FatEntry>& found) const
{
    std::vector<LongNamePart> parts; // the long-name parts met since the last short entry
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        auto entry = bytes.subspan(at, 32);
        // u8[11] name, u8 attributes, u8 NT case flags, ..., u16 high cluster at 20,
        // u16 time at 22, u16 date at 24, u16 low cluster at 26, u32 size at 28
        const uint8_t attributes = entry[11];
        if (entry[0] == 0x00)
            break; // no entry was ever written past this one
        if ((attributes & 0x3F) == kAttributeLongName) {
            // u8 order, u16[5] at 1, u8 attributes, u8 type, u8 checksum at 13, u16[6] at 14, u16 0, u16[2] at 28
            LongNamePart part { entry[0], entry[13], {} };
            for (size_t offset : { 1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30 })
                part.units.push_back(le16(entry, offset));
            parts.push_back(std::move(part));
            continue;
        }
        std::vector<LongNamePart> namedBy = std::move(parts);
        parts.clear();
        if ((attributes & kAttributeVolumeLabel) || (attributes & 0xC0))
            continue;
        std::array<uint8_t, 11> name {};
        std::copy_n(entry.begin(), 11, name.begin());
        if (name[0] == '.')
            continue; // "." and ".."
        if (std::any_of(name.begin() + 1, name.end(), [](uint8_t c) { return c < 0x20; }))
            continue; // not a short name: a damaged entry
        const bool deleted = name[0] == kDeletedMark;
        if (name[0] == 0x05)
            name[0] = kDeletedMark; // a name whose first byte really is 0xE5
        std::optional<std::string> text = longName(namedBy, name, deleted);
        const bool lostFirstLetter = !text && deleted;
        if (!text) {
            if (deleted)
                name[0] = '_';
            text = shortName(name, entry[12]);
        }
        if (!isUsableName(*text))
            continue;
        FatEntry file;
        file.name = std::move(*text);
        file.folder = folder;
        file.modified = timestamp(le16(entry, 24), le16(entry, 22));
        file.firstCluster = (m_kind == FatKind::fat32 ? uint32_t(le16(entry, 20)) << 16 : 0) | le16(entry, 26);
        file.size = le32(entry, 28);
        file.deleted = deleted;
        file.directory = attributes & kAttributeDirectory;
        file.firstLetterGuessed = lostFirstLetter;
        found.push_back(std::move(file));
    }
}

void FatVolume::readExfatDirectory(std::span<const uint8_t> bytes, const std::string& folder, std::vector<FatEntry>& found) const
{
    const size_t count = bytes.size() / 32;
    for (size_t index = 0; index < count; ++index) {
        auto entry = bytes.subspan(index * 32, 32);
        if (entry[0] == 0x00)
            break;
        if ((entry[0] & ~kExfatInUse) != kExfatFile)
            continue;
        // File: u8 type, u8 secondary count, u16 checksum, u16 attributes at 4, …, u32 modified at 12.
        // Stream extension: u8 type, u8 flags, u8, u8 name length at 3, …, u32 first cluster at 20, u64 data length at 24.
        // File name: u8 type, u8 flags, u16[15] at 2.
        const bool inUse = entry[0] & kExfatInUse;
        const size_t secondaries = entry[1];
        if (secondaries < 2 || secondaries > 18 || secondaries >= count - index)
            continue;
        auto stream = bytes.subspan((index + 1) * 32, 32);
        if (stream[0] != (kExfatStream | (inUse ? kExfatInUse : 0)))
            continue;
        const size_t nameLength = stream[3];
        if (nameLength == 0 || (nameLength + kExfatNameCharsPerEntry - 1) / kExfatNameCharsPerEntry > secondaries - 1)
            continue;
        std::vector<uint16_t> units;
        bool complete = true;
        for (size_t part = 0; units.size() < nameLength; ++part) {
            auto nameEntry = bytes.subspan((index + 2 + part) * 32, 32);
            if (nameEntry[0] != (kExfatName | (inUse ? kExfatInUse : 0))) {
                complete = false;
                break;
            }
            for (size_t i = 0; i < kExfatNameCharsPerEntry && units.size() < nameLength; ++i)
                units.push_back(le16(nameEntry, 2 + 2 * i));
        }
        if (!complete)
            continue;
        std::string name = utf8FromUtf16(units);
        if (!isUsableName(name))
            continue;
        const uint32_t modified = le32(entry, 12);
        FatEntry file;
        file.name = std::move(name);
        file.folder = folder;
        file.modified = timestamp(static_cast<uint16_t>(modified >> 16), static_cast<uint16_t>(modified), entry[23]);
        file.firstCluster = le32(stream, 20);
        file.size = le64(stream, 24);
        file.deleted = !inUse;
        file.directory = le16(entry, 4) & kAttributeDirectory;
        file.contiguous = stream[1] & kExfatNoFatChain;
        found.push_back(std::move(file));
        index += secondaries;
    }
}

}
