#include "cli/Commands.hpp"

#include "device/DeviceError.hpp"
#include "device/DiskEnumerator.hpp"
#include "device/SourceOpener.hpp"

#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace brightfold::cli {

namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

int runDisks(bool includeImages)
{
    std::vector<ExternalDisk> disks = DiskEnumerator::externalDisks(includeImages);
    if (disks.empty()) {
        fmt::print("No memory cards or external disks found. Insert the card (in this computer's SD slot or a card reader) "
                   "and run brightfold disks again.\n");
        return 0;
    }
    size_t nameWidth = 4;
    size_t pathWidth = 6;
    for (const auto& disk : disks) {
        nameWidth = std::max(nameWidth, disk.displayName().size());
        pathWidth = std::max(pathWidth, disk.rawDevicePath().size());
    }
    fmt::print("{:<{}}  {:>9}  {:<{}}  {:<11}  {}\n", "Name", nameWidth, "Size", "Device", pathWidth, "Kind", "Volumes");
    for (const auto& disk : disks) {
        std::string volumes = disk.volumeNames.empty() ? "-" : joined(disk.volumeNames);
        fmt::print("{:<{}}  {:>9}  {:<{}}  {:<11}  {}\n", disk.displayName(), nameWidth, disk.sizeDescription(), disk.rawDevicePath(),
            pathWidth, disk.isMemoryCard() ? "memory card" : "disk", volumes);
    }
    fmt::print("\nScan one with: brightfold scan {} --unmount\n", disks.front().rawDevicePath());
    return 0;
}

bool isDevice(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode));
}

}

ByteSourcePtr openScanSource(const std::string& path, bool unmountFirst)
{
    bool device = isDevice(path);
    if (unmountFirst && device) {
        // /dev/disk/by-id/… and other links lead to the kernel's own name.
        std::error_code ignored;
        std::string identifier = std::filesystem::canonical(path, ignored).filename().string();
        if (!DiskEnumerator::unmountDisk(identifier))
            fmt::print(stderr, "Warning: not every volume of {} could be unmounted; scanning it anyway (read-only).\n", path);
    } else if (unmountFirst) {
        fmt::print(stderr, "Note: {} is not a device; there is nothing to unmount.\n", path);
    }
    if (device && ::access(path.c_str(), R_OK) != 0)
        fmt::print(stderr, "Asking for permission to read {} (the system may be asking for your password)…\n", path);
    try {
        return SourceOpener::open(path);
    } catch (const DeviceError& error) {
        bool refused = error.kind() == DeviceError::Kind::authorizationDenied
            || (error.kind() == DeviceError::Kind::cannotOpen && (error.code() == EACCES || error.code() == EPERM));
        if (!device || !refused)
            throw;
        throw CommandError(std::string(error.what())
            + "\nReading a card needs an administrator's permission: run the scan with sudo, or make sure polkit (pkexec) "
              "is installed and its service is running.");
    }
}

std::function<int()> addDisksCommand(CLI::App& app)
{
    auto includeImages = std::make_shared<bool>(false);
    auto* command = app.add_subcommand("disks", "List the memory cards and external disks that can be scanned");
    command->add_flag("--images", *includeImages, "Also list disk images attached as loop devices");
    return [includeImages] { return runDisks(*includeImages); };
}

}
