#pragma once

#include "device/ByteSource.hpp"
#include "device/ExternalDisk.hpp"

#include <string>
#include <vector>

namespace brightfold {

/// Whether loop-mounted disk images count as disks.
enum class DiskImages {
    excluded,
    included,
};

/// What the workflow asks of the system's disks: listing, unmounting and opening
/// them. Called from background threads, possibly two at once (a disk refresh
/// during a scan); every call may block on a program or a password prompt.
/// Tests replace it with a fake.
class DeviceAccess {
public:
    virtual ~DeviceAccess() = default;

    /// The disks offered for scanning, in the system's order; empty when they
    /// cannot be listed.
    virtual std::vector<ExternalDisk> externalDisks(DiskImages images) = 0;
    /// Unmounts every volume of the disk; false when one stays mounted.
    virtual bool unmountDisk(const std::string& identifier) = 0;
    /// Opens a device or image file for reading. Throws DeviceError.
    virtual ByteSourcePtr open(const std::string& path) = 0;
};

/// The real disks: lsblk, udisksctl/umount and the privileged open.
class SystemDeviceAccess final : public DeviceAccess {
public:
    std::vector<ExternalDisk> externalDisks(DiskImages images) override;
    bool unmountDisk(const std::string& identifier) override;
    ByteSourcePtr open(const std::string& path) override;
};

}
