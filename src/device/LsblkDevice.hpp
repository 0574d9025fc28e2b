#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

/// One block device as `lsblk --json --bytes` describes it, with the devices
/// stacked on it (partitions, and the mapper or RAID devices built on those).
struct LsblkDevice {
    std::string name;                     ///< kernel name: sdb, mmcblk0p1, dm-0
    std::string type;                     ///< disk, part, loop, rom, crypt, lvm, raid1, …
    std::optional<uint64_t> size;         ///< bytes; no value when lsblk gave none
    bool removable { false };             ///< RM: the medium can be taken out
    bool hotplug { false };               ///< HOTPLUG: the device can come and go
    std::string transport;                ///< TRAN: usb, mmc, nvme, sata, …; empty when none
    std::string subsystems;               ///< SUBSYSTEMS: "block:scsi:usb:pci"; "block" for virtual devices
    std::string model;                    ///< MODEL, trimmed
    std::string label;                    ///< LABEL of the file system on it
    std::vector<std::string> mountPoints; ///< where it is mounted ("[SWAP]" for active swap)
    std::vector<LsblkDevice> children;

    bool operator==(const LsblkDevice&) const = default;
};

/// The columns `parseLsblkJson` reads, for `lsblk --output`.
inline constexpr std::string_view kLsblkColumns = "NAME,KNAME,TYPE,SIZE,RM,HOTPLUG,TRAN,SUBSYSTEMS,MODEL,LABEL,MOUNTPOINTS";

/// The devices of `lsblk --json --bytes` output, in its order. Accepts the older
/// forms too (numbers and flags as strings, a single "mountpoint"). No value when
/// the text is not JSON or has no "blockdevices" array; an entry without a name
/// is left out with its children. Absent or ill-typed fields read as empty, false
/// or no value.
std::optional<std::vector<LsblkDevice>> parseLsblkJson(std::string_view text);

}
