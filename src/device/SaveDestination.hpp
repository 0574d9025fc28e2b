#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

/// Keeps recovered files off the card they come from: writing there could
/// overwrite the deleted files still waiting to be saved.
class SaveDestination {
public:
    SaveDestination() = delete;

    /// Throws DestinationError::onScannedCard when `folder` would be written on the
    /// scanned device `sourcePath`: when the nearest existing folder at or above it
    /// lies on a file system of that disk (the whole disk, any partition, or a volume
    /// built on them such as an encrypted one; compared by device number, so any path
    /// to the card is caught), or when it lies under a mount point of any of them.
    /// A regular file as the source (a disk image) refuses only the file systems of
    /// loop devices over it (writing there writes into the image); its own file
    /// system is fine, as the image's blocks are allocated and cannot be
    /// overwritten. A source that cannot be examined refuses nothing (it cannot be
    /// read for saving either).
    static void check(const std::string& sourcePath, const std::filesystem::path& folder);

    /// The device numbers of the disk holding block device `device` and of
    /// everything on it: its partitions and their holders, found under
    /// `sysRoot`/dev/block. Only `device` itself when sysfs does not know it.
    static std::vector<dev_t> devicesOnDisk(dev_t device, const std::filesystem::path& sysRoot = "/sys");

    /// The mount points in a /proc/self/mountinfo text whose file system comes from
    /// one of `devices` (by the mount's device number, or by its source node).
    /// Lines that do not parse are skipped.
    static std::vector<std::filesystem::path> mountPointsOf(std::string_view mountinfo, const std::vector<dev_t>& devices);
};

}
