#pragma once

#include "device/ChildProcess.hpp"
#include "device/DiskInfo.hpp"
#include "device/ExternalDisk.hpp"
#include "device/LsblkDevice.hpp"

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brightfold {

/// Finds the whole disks worth offering for a scan (cards in a slot or reader,
/// external drives; never the disk the system runs from), unmounts them, and finds
/// the disk behind a mounted volume. Nothing here throws: a missing or failing
/// lsblk, unreadable output or sysfs simply give shorter lists or no value. Every
/// operation blocks while its programs run, so keep it off the interface thread.
class DiskEnumerator {
public:
    DiskEnumerator() = delete;

    /// Runs a system program: `command[0]` is a name found by
    /// ChildProcess::findProgram, the rest its arguments. No value when the program
    /// is missing or could not start.
    using Runner = std::function<std::optional<ChildProcess::Result>(const std::vector<std::string>& command)>;
    static std::optional<ChildProcess::Result> runSystemProgram(const std::vector<std::string>& command);

    /// The disk behind a mounted volume.
    struct WholeDisk {
        std::string identifier; ///< kernel name: sdb
        std::string rawPath;    ///< "/dev/" + identifier
        uint64_t size { 0 };    ///< bytes; 0 when sysfs does not say

        bool operator==(const WholeDisk&) const = default;
    };

    /// Lists the disks with lsblk and keeps the card-like ones, in lsblk's order;
    /// disk images (loop devices) only when `includeDiskImages` is set.
    static std::vector<ExternalDisk> externalDisks(bool includeDiskImages, const Runner& runner = runSystemProgram,
        const std::filesystem::path& sysRoot = kSysRoot);
    /// The card-like disks of one parsed listing. Only whole disks are looked at:
    /// entries of type disk or loop, but not eMMC boot areas nor empty card slots
    /// (a reported size of 0).
    static std::vector<ExternalDisk> externalDisks(const std::vector<LsblkDevice>& listing, bool includeDiskImages,
        const std::filesystem::path& sysRoot = kSysRoot);

    /// The facts the filter reads, from one whole disk's lsblk entry and, for an
    /// mmcblk card, its name and type in sysfs.
    static DiskInfo diskInfo(const LsblkDevice& disk, const std::filesystem::path& sysRoot = kSysRoot);
    /// Whether a disk is offered: disk images as `allowDiskImages` says; never a
    /// virtual disk or one the system runs from; else removable media, or any disk
    /// that is not internal.
    static bool isMemoryCardLike(const DiskInfo& info, bool allowDiskImages);
    /// The names of the volumes on a disk: each partition's label, else the last
    /// component of its mount point; a disk without partitions names its own.
    static std::vector<std::string> volumeNames(const LsblkDevice& disk);

    /// Unmounts every mounted file system on the disk with kernel name `identifier`
    /// (its partitions and anything stacked on them) with udisksctl, else umount.
    /// True when every one succeeded (also when nothing was mounted); false when the
    /// disk cannot be listed.
    static bool unmountDisk(const std::string& identifier, const Runner& runner = runSystemProgram);
    /// The device paths to unmount for a disk, one per mount point, mount points
    /// nested inside others first (active swap is not a mount).
    static std::vector<std::string> mountedVolumes(const LsblkDevice& disk);

    /// The whole disk holding the file system at `volume`, followed through sysfs
    /// from the volume's device number up through partitions and single-device
    /// mappings. No value when the volume is not on a block device.
    static std::optional<WholeDisk> wholeDisk(const std::filesystem::path& volume, const std::filesystem::path& sysRoot = kSysRoot);
    static std::optional<WholeDisk> wholeDisk(dev_t device, const std::filesystem::path& sysRoot = kSysRoot);

    static constexpr const char* kSysRoot = "/sys";
};

}
