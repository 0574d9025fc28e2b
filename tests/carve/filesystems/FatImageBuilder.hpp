#pragma once

#include "TestSupport.hpp"
#include "carve/filesystems/FatVolume.hpp"

#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace brightfold::test {

/// A FAT12/16/32 or exFAT volume built field by field: 512-byte sectors, one FAT,
/// clusters numbered from 2. On exFAT cluster 2 holds the allocation bitmap and
/// cluster 3 the root directory; on FAT32 cluster 2 the root directory.
class FatImageBuilder {
public:
    /// One directory entry. `shortName` is the 11-byte 8.3 form ("IMG_0001JPG").
    struct Entry {
        std::string longName {};   ///< "" for none (FAT); exFAT always uses it
        std::string shortName {};  ///< FAT only
        std::string checksumOf {}; ///< the short name the long-name parts name; "" for shortName
        uint32_t firstCluster { 0 };
        uint32_t size { 0 };
        bool deleted { false };
        bool directory { false };
        bool contiguous { false }; ///< exFAT NoFatChain
        uint16_t date { (44 << 9) | (5 << 5) | 1 }; ///< 2024-05-01
        uint16_t time { (12 << 11) | (34 << 5) | 28 }; ///< 12:34:56
        uint8_t utcOffset { 0 };                      ///< exFAT: bit 7 valid, then quarters of an hour east of UTC
    };

    FatImageBuilder(FatKind kind, uint32_t clusters, uint32_t sectorsPerCluster = 1)
        : m_kind(kind), m_clusterSize(512 * sectorsPerCluster)
    {
        ByteBuilder boot;
        if (kind == FatKind::exfat) {
            // FAT at sector 24, the heap after it; cluster 2 the bitmap, 3 the root.
            const uint32_t fatSectors = ((clusters + 2) * 4 + 511) / 512;
            m_fatOffset = 24 * 512;
            m_dataOffset = uint64_t(24 + fatSectors) * 512;
            boot.bytes({ 0xEB, 0x76, 0x90 }).text("EXFAT   ").padTo(64).u64le(0).u64le(m_dataOffset / 512 + uint64_t(clusters) * sectorsPerCluster);
            boot.u32le(24).u32le(fatSectors).u32le(static_cast<uint32_t>(m_dataOffset / 512)).u32le(clusters).u32le(3).u32le(0x12345678);
            boot.u16le(0x100).u16le(0).u8(9).u8(static_cast<uint8_t>(__builtin_ctz(sectorsPerCluster))).u8(1).padTo(510).bytes({ 0x55, 0xAA });
            m_rootCluster = 3;
        } else {
            const uint32_t bytesPerEntry = kind == FatKind::fat12 ? 2 : kind == FatKind::fat16 ? 2 : 4;
            const uint32_t fatSectors = ((clusters + 2) * bytesPerEntry + 511) / 512;
            const uint32_t reserved = kind == FatKind::fat32 ? 8 : 1;
            const uint32_t rootEntries = kind == FatKind::fat32 ? 0 : 64;
            m_fatOffset = uint64_t(reserved) * 512;
            m_rootOffset = m_fatOffset + uint64_t(fatSectors) * 512;
            m_dataOffset = m_rootOffset + rootEntries * 32;
            const uint32_t total = static_cast<uint32_t>(m_dataOffset / 512) + clusters * sectorsPerCluster;
            boot.bytes({ 0xEB, 0x3C, 0x90 }).text("MSWIN4.1").u16le(512).u8(static_cast<uint8_t>(sectorsPerCluster)).u16le(static_cast<uint16_t>(reserved));
            boot.u8(1).u16le(static_cast<uint16_t>(rootEntries)).u16le(total < 0x10000 && kind != FatKind::fat32 ? static_cast<uint16_t>(total) : 0);
            boot.u8(0xF8).u16le(kind == FatKind::fat32 ? 0 : static_cast<uint16_t>(fatSectors)).u16le(63).u16le(255).u32le(0);
            boot.u32le(total < 0x10000 && kind != FatKind::fat32 ? 0 : total);
            if (kind == FatKind::fat32)
                boot.u32le(fatSectors).u16le(0).u16le(0).u32le(2);
            boot.padTo(510).bytes({ 0x55, 0xAA });
            m_rootCluster = kind == FatKind::fat32 ? 2 : 0;
        }
        m_image = boot.build();
        m_image.resize(m_dataOffset + uint64_t(clusters) * m_clusterSize, 0);
        mark(0, 0x0FFFFFF8).mark(1, FatVolume::kEndOfChain);
        if (kind == FatKind::exfat) {
            chain({ 2 }).chain({ 3 });
            // Bitmap entry: type 0x81, first cluster at 20, length at 24.
            rawEntry(0, ByteBuilder().u8(0x81).padTo(20).u32le(2).u64le((clusters + 7) / 8).build());
        } else if (kind == FatKind::fat32) {
            chain({ 2 });
        }
    }

    uint64_t clusterOffset(uint32_t cluster) const { return m_dataOffset + uint64_t(cluster - 2) * m_clusterSize; }
    uint32_t clusterSize() const { return m_clusterSize; }

    /// A FAT entry as the table holds it.
    FatImageBuilder& mark(uint32_t cluster, uint32_t value)
    {
        switch (m_kind) {
        case FatKind::fat12: {
            const uint64_t at = m_fatOffset + cluster + cluster / 2;
            uint16_t pair = static_cast<uint16_t>(m_image[at] | (m_image[at + 1] << 8));
            value &= 0x0FFF;
            pair = cluster % 2 ? static_cast<uint16_t>((pair & 0x000F) | (value << 4)) : static_cast<uint16_t>((pair & 0xF000) | value);
            m_image[at] = static_cast<uint8_t>(pair);
            m_image[at + 1] = static_cast<uint8_t>(pair >> 8);
            break;
        }
        case FatKind::fat16:
            put(m_fatOffset + cluster * 2, ByteBuilder().u16le(static_cast<uint16_t>(value)).build());
            break;
        default:
            put(m_fatOffset + cluster * 4, ByteBuilder().u32le(m_kind == FatKind::exfat && value == FatVolume::kEndOfChain ? 0xFFFFFFFF : value).build());
        }
        if (m_kind == FatKind::exfat && cluster >= 2)
            setBit(cluster, value != 0);
        return *this;
    }

    /// Links the clusters in order in the FAT (the last ends the chain); on exFAT also marks them in use.
    FatImageBuilder& chain(const std::vector<uint32_t>& clusters)
    {
        for (size_t i = 0; i < clusters.size(); ++i)
            mark(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : FatVolume::kEndOfChain);
        return *this;
    }

    /// exFAT: a cluster in use by the bitmap alone (a NoFatChain file's).
    FatImageBuilder& setBit(uint32_t cluster, bool used)
    {
        uint8_t& byte = m_image[clusterOffset(2) + (cluster - 2) / 8];
        byte = used ? byte | (1 << ((cluster - 2) % 8)) : byte & ~(1 << ((cluster - 2) % 8));
        return *this;
    }

    /// `bytes` laid across `clusters` in order.
    FatImageBuilder& data(const std::vector<uint32_t>& clusters, const std::vector<uint8_t>& bytes)
    {
        for (size_t i = 0; i < clusters.size() && i * m_clusterSize < bytes.size(); ++i) {
            auto from = bytes.begin() + static_cast<std::ptrdiff_t>(i * m_clusterSize);
            auto to = bytes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(bytes.size(), (i + 1) * m_clusterSize));
            put(clusterOffset(clusters[i]), std::vector<uint8_t>(from, to));
        }
        return *this;
    }

    /// Appends an entry (with its long-name parts or exFAT entry set) to the
    /// directory in `directoryCluster` (0: the root).
    FatImageBuilder& entry(uint32_t directoryCluster, const Entry& entry)
    {
        if (m_kind == FatKind::exfat)
            return exfatEntry(directoryCluster, entry);
        std::vector<uint8_t> name(entry.shortName.begin(), entry.shortName.end());
        name.resize(11, ' ');
        const std::string& named = entry.checksumOf.empty() ? entry.shortName : entry.checksumOf;
        uint8_t checksum = 0;
        for (size_t i = 0; i < 11; ++i)
            checksum = static_cast<uint8_t>(((checksum & 1) << 7) + (checksum >> 1) + (i < named.size() ? uint8_t(named[i]) : ' '));
        if (!entry.longName.empty()) {
            std::vector<uint16_t> units(entry.longName.begin(), entry.longName.end());
            const size_t parts = (units.size() + 12) / 13;
            if (units.size() % 13)
                units.push_back(0);
            units.resize(parts * 13, 0xFFFF);
            for (size_t part = parts; part >= 1; --part) {
                ByteBuilder b;
                b.u8(entry.deleted ? 0xE5 : static_cast<uint8_t>(part | (part == parts ? 0x40 : 0)));
                auto unit = [&](size_t i) { b.u16le(units[(part - 1) * 13 + i]); };
                for (size_t i = 0; i < 5; ++i)
                    unit(i);
                b.u8(0x0F).u8(0).u8(checksum);
                for (size_t i = 5; i < 11; ++i)
                    unit(i);
                b.u16le(0);
                unit(11);
                unit(12);
                rawEntry(directoryCluster, b.build());
            }
        }
        if (entry.deleted)
            name[0] = 0xE5;
        ByteBuilder b;
        b.bytes(name).u8(entry.directory ? 0x10 : 0x20).fill(8).u16le(static_cast<uint16_t>(entry.firstCluster >> 16));
        b.u16le(entry.time).u16le(entry.date).u16le(static_cast<uint16_t>(entry.firstCluster)).u32le(entry.size);
        return rawEntry(directoryCluster, b.build());
    }

    /// A 32-byte directory slot written as given.
    FatImageBuilder& rawEntry(uint32_t directoryCluster, std::vector<uint8_t> slot)
    {
        slot.resize(32, 0);
        const uint32_t cluster = directoryCluster ? directoryCluster : m_rootCluster;
        uint64_t& next = m_nextSlot[cluster];
        put((cluster ? clusterOffset(cluster) : m_rootOffset) + next, slot);
        next += 32;
        return *this;
    }

    const std::vector<uint8_t>& bytes() const { return m_image; }

    /// The volume behind an MBR whose one FAT partition starts at `sector`.
    std::vector<uint8_t> partitioned(uint32_t sector) const
    {
        ByteBuilder mbr;
        mbr.padTo(446).u8(0).fill(3).u8(m_kind == FatKind::exfat ? 0x07 : 0x0C).fill(3).u32le(sector);
        mbr.u32le(static_cast<uint32_t>(m_image.size() / 512)).padTo(510).bytes({ 0x55, 0xAA }).padTo(uint64_t(sector) * 512);
        std::vector<uint8_t> image = mbr.build();
        image.insert(image.end(), m_image.begin(), m_image.end());
        return image;
    }

private:
    FatImageBuilder& exfatEntry(uint32_t directoryCluster, const Entry& entry)
    {
        const uint8_t inUse = entry.deleted ? 0 : 0x80;
        const std::vector<uint16_t> units(entry.longName.begin(), entry.longName.end());
        const size_t nameEntries = (units.size() + 14) / 15;
        ByteBuilder file;
        file.u8(0x05 | inUse).u8(static_cast<uint8_t>(1 + nameEntries)).u16le(0).u16le(entry.directory ? 0x10 : 0x20).u16le(0);
        file.u32le(0).u32le((uint32_t(entry.date) << 16) | entry.time).u32le(0).u8(0).u8(0).u8(0).u8(entry.utcOffset);
        rawEntry(directoryCluster, file.build());
        ByteBuilder stream;
        stream.u8(0x40 | inUse).u8(entry.contiguous ? 0x03 : 0x01).u8(0).u8(static_cast<uint8_t>(units.size())).u16le(0).u16le(0);
        stream.u64le(entry.size).u32le(0).u32le(entry.firstCluster).u64le(entry.size);
        rawEntry(directoryCluster, stream.build());
        for (size_t part = 0; part < nameEntries; ++part) {
            ByteBuilder name;
            name.u8(0x41 | inUse).u8(0);
            for (size_t i = part * 15; i < std::min(units.size(), (part + 1) * 15); ++i)
                name.u16le(units[i]);
            rawEntry(directoryCluster, name.build());
        }
        return *this;
    }

    void put(uint64_t at, const std::vector<uint8_t>& bytes)
    {
        if (at > m_image.size() || bytes.size() > m_image.size() - at)
            throw std::out_of_range("a fixture writes past the end of its image");
        if (!bytes.empty())
            std::memcpy(m_image.data() + at, bytes.data(), bytes.size());
    }

    FatKind m_kind;
    uint32_t m_clusterSize;
    uint64_t m_fatOffset { 0 };
    uint64_t m_rootOffset { 0 };
    uint64_t m_dataOffset { 0 };
    uint32_t m_rootCluster { 0 };
    std::vector<uint8_t> m_image;
    std::map<uint32_t, uint64_t> m_nextSlot; ///< per directory cluster (0: the fixed root)
};

}
