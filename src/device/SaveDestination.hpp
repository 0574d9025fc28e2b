#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

/// Keeps recovered files off the card they come from: writing there could
/// overwrite the deleted files still waiting to be saved.
class SaveDestination {
public:
    SaveDestination() = delete;

    /// What holds a card's bytes, by what backs it rather than by name.
    struct Card {
        /// An image file holding the card, or the part of one a loop device shows.
        struct File {
            dev_t device { 0 };
            ino_t inode { 0 };
            uint64_t offset { 0 };
            std::optional<uint64_t> length; ///< no value: to the end of the file

            bool overlaps(const File& other) const;
        };
        std::vector<dev_t> devices; ///< block devices whose file systems live on the card's bytes
        std::vector<File> files;    ///< image files that hold the card's bytes
    };

    /// The card `sourcePath` names: for a block device its whole disk with its
    /// partitions and holders; for a loop device also its backing file's range; for
    /// an image file the file itself. Every loop device over one of those files
    /// whose range overlaps the card's (any range for an image file) is added with
    /// its own partitions and holders, so a second loop device over the same image
    /// is the same card. Nothing when the source cannot be examined.
    static Card cardOf(const std::string& sourcePath, const std::filesystem::path& sysRoot = "/sys");

    /// Throws DestinationError::onScannedCard when `folder` would be written on the
    /// scanned card `sourcePath` (see cardOf): when the nearest existing folder at
    /// or above it lies on a file system of the card (compared by device number, so
    /// any path to it is caught), or when it lies under a mount point of the card
    /// (a mount of one of its devices, or of its image file itself, as FUSE makes).
    /// An image file's own file system is fine, as the image's blocks are allocated
    /// and cannot be overwritten. A source that cannot be examined refuses nothing
    /// (it cannot be read for saving either).
    static void check(const std::string& sourcePath, const std::filesystem::path& folder);

    /// check() for the folder a scan writes its report (and copies) into.
    /// `folderGiven`: the user named it; otherwise it is the default folder in the
    /// current directory, and the refusal says how to choose another.
    static void checkScanFolder(const std::string& sourcePath, const std::filesystem::path& folder, bool folderGiven);

    /// The device numbers of the disk holding block device `device` and of
    /// everything on it: its partitions and their holders, found under
    /// `sysRoot`/dev/block. Only `device` itself when sysfs does not know it.
    static std::vector<dev_t> devicesOnDisk(dev_t device, const std::filesystem::path& sysRoot = "/sys");

    /// The mount points in a /proc/self/mountinfo text whose file system comes from
    /// one of `devices` (by the mount's device number, or by its source node).
    /// Lines that do not parse are skipped.
    static std::vector<std::filesystem::path> mountPointsOf(std::string_view mountinfo, const std::vector<dev_t>& devices);

    /// The mount points in a mountinfo text whose file system is `card`'s: by
    /// device, by source node, or by a source that is one of its image files.
    static std::vector<std::filesystem::path> mountPointsOf(std::string_view mountinfo, const Card& card);
};

}
