#pragma once

#include "carve/ReadContext.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brightfold {

/// The kind of a FAT volume, judged as Microsoft's FAT documentation does: by its cluster count.
enum class FatKind {
    fat12,
    fat16,
    fat32,
    exfat,
};

/// One directory entry as the volume's directories hold it, deleted or not.
struct FatEntry {
    std::string name;   ///< the long name when one belongs to it, else the short name; safe as a file name
    std::string folder; ///< the folders from the root, joined by "/"; "" at the root
    /// The modification time as the volume keeps it: local time, "YYYY-MM-DDTHH:MM:SS",
    /// with "+HH:MM" when exFAT kept its offset from UTC; no value when the entry's
    /// fields are not a date.
    std::optional<std::string> modified;
    uint32_t firstCluster { 0 };
    uint64_t size { 0 };
    bool deleted { false };
    bool directory { false };
    bool contiguous { false }; ///< exFAT's NoFatChain: the clusters follow one another, the FAT is not used
    /// A deleted 8.3 name without a long name lost its first letter: it is taken from
    /// a name like it ("_MG_0002.JPG" beside IMG_0001.JPG), else left "_".
    bool firstLetterGuessed { false };

    bool operator==(const FatEntry&) const = default;
};

/// A FAT12, FAT16, FAT32 or exFAT volume read from a source through a read
/// context, never written. Every structure is hostile input: a field out of
/// range makes open() return no value, and in a directory a bad entry, a loop
/// in a chain or a cluster out of range ends that branch only. The work is
/// bounded by the limits at the top of FatVolume.cpp.
class FatVolume {
public:
    /// The FAT value that ends a chain, whatever the width of the volume's FAT.
    static constexpr uint32_t kEndOfChain = 0x0FFFFFFF;

    /// The byte offsets of the volumes on the source: one at offset 0 when the
    /// source starts with a boot sector, else those the MBR partition table lists
    /// (primary entries) or the GPT behind a protective MBR (its first 128 entries).
    /// Throws what the context's reads throw.
    static std::vector<uint64_t> findVolumes(ReadContext& context);

    /// The volume whose boot sector lies at `offset`, with its FAT (and exFAT's
    /// allocation bitmap) read into memory; no value when the boot sector is not
    /// one. Throws what the context's reads throw.
    static std::optional<FatVolume> open(ReadContext& context, uint64_t offset);

    FatKind kind() const { return m_kind; }
    uint64_t offset() const { return m_offset; }
    uint64_t clusterSize() const { return m_clusterSize; }
    /// The number of the last cluster plus one (clusters are numbered from 2).
    uint32_t clusterLimit() const { return m_clusterLimit; }

    /// Where cluster `cluster` starts on the source; call only with a valid cluster.
    uint64_t clusterOffset(uint32_t cluster) const { return m_dataOffset + uint64_t(cluster - 2) * m_clusterSize; }
    bool isValidCluster(uint32_t cluster) const { return cluster >= 2 && cluster < m_clusterLimit; }
    /// The FAT's entry for `cluster`: the next cluster, kEndOfChain, 0 for a free one,
    /// or anything else the table holds. 0 for a cluster the table does not reach.
    uint32_t next(uint32_t cluster) const;
    /// Whether a file holds the cluster: by the allocation bitmap on exFAT, by the FAT elsewhere.
    bool inUse(uint32_t cluster) const;

    /// Every entry of every directory reachable from the root, deleted ones too,
    /// parents before their contents. Throws what the context's reads throw.
    std::vector<FatEntry> entries(ReadContext& context) const;

    /// `count` clusters following the chain from `first`; fewer when the chain ends,
    /// loops or leaves the volume first.
    std::vector<uint32_t> chain(uint32_t first, uint64_t count) const;

private:
    FatVolume() = default;
    /// The volume's geometry from its boot sector, without its tables.
    static std::optional<FatVolume> bootSector(ReadContext& context, uint64_t offset);
    static std::optional<FatVolume> openFat(ReadContext& context, uint64_t offset);
    static std::optional<FatVolume> openExfat(ReadContext& context, uint64_t offset);
    void readFat(ReadContext& context);
    void readBitmap(ReadContext& context);
    /// Appends the entries of one directory's bytes.
    void readFatDirectory(std::span<const uint8_t> bytes, const std::string& folder, std::vector<FatEntry>& found) const;
    void readExfatDirectory(std::span<const uint8_t> bytes, const std::string& folder, std::vector<FatEntry>& found) const;
    /// Gives deleted 8.3 names the first letter of names like them.
    static void guessFirstLetters(std::vector<FatEntry>& entries);

    FatKind m_kind { FatKind::fat16 };
    uint64_t m_offset { 0 };
    uint64_t m_clusterSize { 0 };
    uint64_t m_fatOffset { 0 };
    uint64_t m_dataOffset { 0 };
    uint32_t m_clusterLimit { 2 };
    uint32_t m_rootCluster { 0 };     ///< FAT32 and exFAT: the root directory's first cluster
    uint64_t m_rootOffset { 0 };      ///< FAT12/16: the fixed root directory
    uint64_t m_rootBytes { 0 };
    std::vector<uint32_t> m_fat;      ///< one entry per cluster, from cluster 0
    std::vector<uint8_t> m_bitmap;    ///< exFAT: bit n for cluster n + 2
};

}
