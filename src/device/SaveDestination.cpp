#include "device/SaveDestination.hpp"

#include "device/DestinationError.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

namespace brightfold {

namespace {

namespace fs = std::filesystem;

// Volumes stacked on a card (a partition under an encrypted volume under LVM) are
// followed this many levels deep; sysfs cannot loop, this only bounds the walk.
constexpr int kHolderDepth = 8;

std::optional<dev_t> parseDeviceNumber(std::string_view text)
{
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream in { std::string(text) };
    if (!(in >> major >> colon >> minor) || colon != ':')
        return std::nullopt;
    return makedev(major, minor);
}

std::optional<dev_t> deviceNumberIn(const fs::path& sysDevice)
{
    std::ifstream in(sysDevice / "dev");
    std::string text;
    if (!std::getline(in, text))
        return std::nullopt;
    return parseDeviceNumber(text);
}

void collect(const fs::path& sysDevice, int depth, std::vector<dev_t>& devices)
{
    if (depth > kHolderDepth)
        return;
    if (auto number = deviceNumberIn(sysDevice); number && std::find(devices.begin(), devices.end(), *number) == devices.end())
        devices.push_back(*number);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysDevice, error)) {
        // A partition is a folder of its disk that has a "partition" file.
        if (!entry.is_symlink(error) && entry.is_directory(error) && fs::exists(entry.path() / "partition", error))
            collect(entry.path(), depth + 1, devices);
    }
    for (const auto& holder : fs::directory_iterator(sysDevice / "holders", error)) {
        fs::path target = fs::canonical(holder.path(), error);
        if (!error)
            collect(target, depth + 1, devices);
    }
}

/// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(std::string_view field)
{
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        auto isOctal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && field.size() - i > 3 && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        text += field[i];
    }
    return text;
}

bool contains(const std::vector<dev_t>& devices, dev_t device)
{
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

std::optional<dev_t> nodeDevice(const std::string& path)
{
    struct stat status {};
    if (path.empty() || path.front() != '/' || ::stat(path.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
        return std::nullopt;
    return status.st_rdev;
}

/// The folder itself when it exists, else the closest folder above it that does:
/// the one whose file system a new folder would be made on.
std::optional<struct stat> nearestExisting(fs::path folder)
{
    for (;;) {
        struct stat status {};
        if (::stat(folder.c_str(), &status) == 0)
            return status;
        if (!folder.has_relative_path())
            return std::nullopt;
        folder = folder.parent_path();
    }
}

bool isUnder(const fs::path& path, const fs::path& root)
{
    auto rootEnd = std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first;
    // A trailing "/" of the root is an empty last component.
    return rootEnd == root.end() || (std::next(rootEnd) == root.end() && rootEnd->empty());
}

/// The loop devices whose backing file is `image`: a mounted one writes into it.
std::vector<dev_t> loopDevicesOver(const struct stat& image, const fs::path& sysRoot)
{
    std::vector<dev_t> devices;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysRoot / "block", error)) {
        std::ifstream in(entry.path() / "loop" / "backing_file");
        std::string backing;
        struct stat status {};
        if (std::getline(in, backing) && ::stat(backing.c_str(), &status) == 0 && status.st_dev == image.st_dev
            && status.st_ino == image.st_ino) {
            if (auto number = deviceNumberIn(entry.path()))
                devices.push_back(*number);
        }
    }
    return devices;
}

}

std::vector<dev_t> SaveDestination::devicesOnDisk(dev_t device, const fs::path& sysRoot)
{
    std::vector<dev_t> devices { device };
    std::error_code error;
    fs::path node = fs::canonical(sysRoot / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device))), error);
    if (error)
        return devices;
    fs::path disk = fs::exists(node / "partition", error) ? node.parent_path() : node;
    collect(disk, 0, devices);
    return devices;
}

std::vector<fs::path> SaveDestination::mountPointsOf(std::string_view mountinfo, const std::vector<dev_t>& devices)
{
    std::vector<fs::path> mountPoints;
    std::istringstream lines { std::string(mountinfo) };
    for (std::string line; std::getline(lines, line);) {
        // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
        std::istringstream fields(line);
        std::string id, parent, number, root, mountPoint, word;
        if (!(fields >> id >> parent >> number >> root >> mountPoint))
            continue;
        while (fields >> word && word != "-") { }
        std::string type, source;
        fields >> type >> source;
        auto device = parseDeviceNumber(number);
        auto sourceDevice = nodeDevice(unescapeMountField(source));
        if ((device && contains(devices, *device)) || (sourceDevice && contains(devices, *sourceDevice)))
            mountPoints.push_back(unescapeMountField(mountPoint));
    }
    return mountPoints;
}

void SaveDestination::check(const std::string& sourcePath, const fs::path& folder)
{
    struct stat source {};
    if (::stat(sourcePath.c_str(), &source) != 0)
        return;
    std::vector<dev_t> devices;
    if (S_ISBLK(source.st_mode)) {
        devices = devicesOnDisk(source.st_rdev);
    } else if (S_ISCHR(source.st_mode)) {
        devices = { source.st_rdev };
    } else if (S_ISREG(source.st_mode)) {
        // An image attached as a loop device and mounted is written through that mount.
        for (dev_t loop : loopDevicesOver(source, "/sys"))
            for (dev_t device : devicesOnDisk(loop))
                devices.push_back(device);
    }
    if (devices.empty())
        return;

    std::error_code error;
    fs::path destination = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error)
        destination = fs::absolute(folder, error).lexically_normal();
    if (auto existing = nearestExisting(destination); existing && contains(devices, existing->st_dev))
        throw DestinationError::onScannedCard(sourcePath);

    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream mountinfo;
    mountinfo << in.rdbuf();
    for (const auto& mountPoint : mountPointsOf(mountinfo.str(), devices)) {
        if (isUnder(destination, mountPoint))
            throw DestinationError::onScannedCard(sourcePath);
    }
}

}
