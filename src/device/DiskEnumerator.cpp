#include "device/DiskEnumerator.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <string_view>

namespace brightfold {

namespace {

namespace fs = std::filesystem;

// Transports over which disks come and go; a disk on any other is built in. lsblk
// calls FireWire "sbp".
constexpr std::array<std::string_view, 5> kRemovableTransports { "usb", "mmc", "ieee1394", "sbp", "sdio" };
// Kernel names of disks that no hardware stands behind.
constexpr std::array<std::string_view, 9> kVirtualPrefixes { "dm-", "md", "zram", "nbd", "ram", "loop", "drbd", "rbd", "zd" };
// Mount points that make a disk the one the system runs from; anything under /boot
// (the EFI partition) counts too.
constexpr std::array<std::string_view, 5> kSystemMountPoints { "/", "/boot", "/usr", "/var", "/home" };
constexpr std::string_view kSwapMountPoint = "[SWAP]";
// Where live systems mount the medium they started from.
constexpr std::array<std::string_view, 6> kLiveMediumMountPoints { "/run/live/medium", "/lib/live/mount/medium",
    "/usr/lib/live/mount/medium", "/cdrom", "/run/initramfs/live", "/run/archiso/bootmnt" };
// sysfs counts sizes in 512-byte sectors whatever the device's block size.
constexpr uint64_t kSysfsSectorSize = 512;
// Partitions, mappings and RAID members stack only a few levels deep.
constexpr int kMaxStackDepth = 8;

template<size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The first line of a small sysfs file, trimmed; empty when it cannot be read.
std::string readSysfsValue(const fs::path& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    size_t end = line.find_last_not_of(" \t\r");
    return line.substr(begin, end - begin + 1);
}

bool isVirtual(const LsblkDevice& disk)
{
    if (disk.subsystems == "block")
        return true; // nothing but the block layer below it
    return std::any_of(kVirtualPrefixes.begin(), kVirtualPrefixes.end(),
        [&](std::string_view prefix) { return startsWith(disk.name, prefix); });
}

// mmcblk0boot0, mmcblk0boot1: the hardware boot areas of an eMMC, not disks of their own.
bool isEmmcBootArea(const std::string& name)
{
    size_t boot = name.find("boot");
    return startsWith(name, "mmcblk") && boot != std::string::npos && boot > 6;
}

void forEachMountPoint(const LsblkDevice& device, const std::function<void(const std::string&)>& visit, int depth = 0)
{
    for (const auto& point : device.mountPoints)
        visit(point);
    if (depth >= kMaxStackDepth)
        return;
    for (const auto& child : device.children)
        forEachMountPoint(child, visit, depth + 1);
}

bool isSystemMountPoint(const std::string& point)
{
    return point == kSwapMountPoint || contains(kSystemMountPoints, point) || startsWith(point, "/boot/");
}

// An SD or MMC card's type and name as its card register gives them ("SD SL32G").
std::string mmcMediaName(const std::string& name, const fs::path& sysRoot)
{
    fs::path device = sysRoot / "block" / name / "device";
    std::string type = readSysfsValue(device / "type");
    std::string cardName = readSysfsValue(device / "name");
    if (type.empty() || cardName.empty())
        return type + cardName;
    return type + " " + cardName;
}

std::string volumeName(const LsblkDevice& volume, int depth = 0)
{
    if (!volume.label.empty())
        return volume.label;
    for (const auto& point : volume.mountPoints) {
        if (!startsWith(point, "/"))
            continue;
        std::string last = fs::path(point).filename().string();
        if (!last.empty())
            return last;
    }
    // An encrypted partition is named by what is opened from it.
    if (depth < kMaxStackDepth) {
        for (const auto& child : volume.children) {
            if (std::string name = volumeName(child, depth + 1); !name.empty())
                return name;
        }
    }
    return {};
}

void collectMounted(const LsblkDevice& device, std::vector<std::pair<fs::path, std::string>>& mounts, int depth)
{
    for (const auto& point : device.mountPoints) {
        if (point != kSwapMountPoint)
            mounts.emplace_back(point, "/dev/" + device.name);
    }
    if (depth >= kMaxStackDepth)
        return;
    for (const auto& child : device.children)
        collectMounted(child, mounts, depth + 1);
}

// A kernel name as lsblk and /dev spell it: no path, nothing an option parser could take.
bool isKernelName(const std::string& identifier)
{
    return !identifier.empty() && identifier.find('/') == std::string::npos && identifier.front() != '-' && identifier.front() != '.';
}

std::vector<std::string> lsblkCommand()
{
    return { "lsblk", "--json", "--bytes", "--output", std::string(kLsblkColumns) };
}

}

std::optional<ChildProcess::Result> DiskEnumerator::runSystemProgram(const std::vector<std::string>& command)
{
    if (command.empty())
        return std::nullopt;
    std::optional<std::string> program = ChildProcess::findProgram(command.front());
    if (!program)
        return std::nullopt;
    std::vector<std::string> arguments = command;
    arguments.front() = *program;
    return ChildProcess::run(arguments);
}

std::vector<ExternalDisk> DiskEnumerator::externalDisks(bool includeDiskImages, const Runner& runner, const fs::path& sysRoot)
{
    std::optional<ChildProcess::Result> listed = runner(lsblkCommand());
    if (!listed || listed->exitStatus != 0)
        return {};
    std::optional<std::vector<LsblkDevice>> listing = parseLsblkJson(listed->output);
    if (!listing)
        return {};
    return externalDisks(*listing, includeDiskImages, sysRoot);
}

std::vector<ExternalDisk> DiskEnumerator::externalDisks(const std::vector<LsblkDevice>& listing, bool includeDiskImages,
    const fs::path& sysRoot)
{
    std::vector<ExternalDisk> disks;
    for (const auto& device : listing) {
        if (device.type != "disk" && device.type != "loop")
            continue;
        if (isEmmcBootArea(device.name) || device.size == uint64_t { 0 })
            continue;
        DiskInfo info = diskInfo(device, sysRoot);
        if (!isMemoryCardLike(info, includeDiskImages))
            continue;
        disks.push_back({ device.name, info.mediaName, device.size.value_or(0), volumeNames(device) });
    }
    return disks;
}

DiskInfo DiskEnumerator::diskInfo(const LsblkDevice& disk, const fs::path& sysRoot)
{
    DiskInfo info;
    if (disk.type == "loop")
        info.backing = DiskInfo::Backing::diskImage;
    else if (isVirtual(disk))
        info.backing = DiskInfo::Backing::virtualDisk;
    forEachMountPoint(disk, [&](const std::string& point) {
        info.osInternalMedia = info.osInternalMedia || isSystemMountPoint(point);
        info.systemImage = info.systemImage || contains(kLiveMediumMountPoints, point);
    });
    info.removableMedia = disk.removable;
    info.hotPluggable = disk.hotplug;
    info.internal = !disk.hotplug && !contains(kRemovableTransports, disk.transport);
    info.mediaName = disk.model;
    if (info.mediaName.empty() && startsWith(disk.name, "mmcblk"))
        info.mediaName = mmcMediaName(disk.name, sysRoot);
    return info;
}

bool DiskEnumerator::isMemoryCardLike(const DiskInfo& info, bool allowDiskImages)
{
    if (info.backing == DiskInfo::Backing::diskImage)
        return allowDiskImages;
    if (info.backing == DiskInfo::Backing::virtualDisk)
        return false;
    if (info.osInternalMedia || info.systemImage)
        return false;
    return info.removableMedia || info.hotPluggable || !info.internal;
}

std::vector<std::string> DiskEnumerator::volumeNames(const LsblkDevice& disk)
{
    std::vector<std::string> names;
    bool partitioned = false;
    for (const auto& child : disk.children) {
        if (child.type != "part")
            continue;
        partitioned = true;
        if (std::string name = volumeName(child); !name.empty())
            names.push_back(std::move(name));
    }
    if (!partitioned) {
        if (std::string name = volumeName(disk); !name.empty())
            names.push_back(std::move(name));
    }
    return names;
}

bool DiskEnumerator::unmountDisk(const std::string& identifier, const Runner& runner)
{
    if (!isKernelName(identifier))
        return false;
    std::vector<std::string> command = lsblkCommand();
    command.push_back("/dev/" + identifier);
    std::optional<ChildProcess::Result> listed = runner(command);
    if (!listed || listed->exitStatus != 0)
        return false;
    std::optional<std::vector<LsblkDevice>> listing = parseLsblkJson(listed->output);
    if (!listing || listing->empty())
        return false;

    bool unmountedAll = true;
    for (const auto& volume : mountedVolumes(listing->front())) {
        // udisks unmounts as the desktop does (and lets the user's session do it
        // without root); where it cannot be reached, umount does the same.
        auto viaUdisks = runner({ "udisksctl", "unmount", "--no-user-interaction", "--block-device", volume });
        if (viaUdisks && viaUdisks->exitStatus == 0)
            continue;
        auto viaUmount = runner({ "umount", volume });
        unmountedAll = unmountedAll && viaUmount && viaUmount->exitStatus == 0;
    }
    return unmountedAll;
}

std::vector<std::string> DiskEnumerator::mountedVolumes(const LsblkDevice& disk)
{
    std::vector<std::pair<fs::path, std::string>> mounts;
    collectMounted(disk, mounts, 0);
    // A mount point with more components may lie inside one with fewer, never the
    // other way round: unmounting the deeper ones first never meets a busy parent.
    auto depthOf = [](const fs::path& point) { return std::distance(point.begin(), point.end()); };
    std::stable_sort(mounts.begin(), mounts.end(), [&](const auto& a, const auto& b) { return depthOf(a.first) > depthOf(b.first); });
    std::vector<std::string> volumes;
    for (auto& mount : mounts)
        volumes.push_back(std::move(mount.second));
    return volumes;
}

std::optional<DiskEnumerator::WholeDisk> DiskEnumerator::wholeDisk(const fs::path& volume, const fs::path& sysRoot)
{
    struct stat status {};
    if (::stat(volume.c_str(), &status) != 0)
        return std::nullopt;
    return wholeDisk(status.st_dev, sysRoot);
}

std::optional<DiskEnumerator::WholeDisk> DiskEnumerator::wholeDisk(dev_t device, const fs::path& sysRoot)
{
    std::error_code error;
    fs::path node = fs::canonical(sysRoot / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device))), error);
    if (error)
        return std::nullopt;
    for (int depth = 0; depth < kMaxStackDepth; ++depth) {
        // A partition's folder sits inside its disk's folder.
        if (fs::exists(node / "partition", error)) {
            node = node.parent_path();
            continue;
        }
        // A mapping over exactly one device (an opened encrypted partition) leads to it.
        std::vector<fs::path> slaves;
        for (fs::directory_iterator entry(node / "slaves", error), end; !error && entry != end; entry.increment(error))
            slaves.push_back(entry->path());
        error.clear();
        if (slaves.size() != 1)
            break;
        fs::path lower = fs::canonical(slaves.front(), error);
        if (error)
            return std::nullopt;
        node = lower;
    }
    std::string identifier = node.filename().string();
    if (!isKernelName(identifier))
        return std::nullopt;
    uint64_t sectors = 0;
    std::string sizeText = readSysfsValue(node / "size");
    bool numeric = !sizeText.empty() && std::all_of(sizeText.begin(), sizeText.end(), [](unsigned char c) { return std::isdigit(c); });
    if (numeric && sizeText.size() < 20)
        sectors = std::stoull(sizeText);
    uint64_t size = sectors <= UINT64_MAX / kSysfsSectorSize ? sectors * kSysfsSectorSize : 0;
    return WholeDisk { identifier, "/dev/" + identifier, size };
}

}
