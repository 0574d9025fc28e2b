#include "device/SaveDestination.hpp"

#include "device/DestinationError.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
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

/// Whether `path` is one of the card's image files (a FUSE mount of the image itself).
bool isImageOf(const std::string& path, const SaveDestination::Card& card)
{
    struct stat status {};
    if (card.files.empty() || path.empty() || path.front() != '/' || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    return std::any_of(card.files.begin(), card.files.end(),
        [&](const SaveDestination::Card::File& file) { return file.device == status.st_dev && file.inode == status.st_ino; });
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

std::optional<uint64_t> numberIn(const fs::path& file)
{
    std::ifstream in(file);
    uint64_t value = 0;
    if (!(in >> value))
        return std::nullopt;
    return value;
}

/// The part of a file loop device `name` shows: asked of the device itself when it
/// can be opened (exact even when the file was renamed), else read from sysfs.
std::optional<SaveDestination::Card::File> loopBacking(const fs::path& sysBlock, const std::string& name, bool liveSystem)
{
    if (liveSystem) {
        int fd = ::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            struct loop_info64 info {};
            int answer = ::ioctl(fd, LOOP_GET_STATUS64, &info);
            ::close(fd);
            if (answer == 0) {
                return SaveDestination::Card::File { static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode), info.lo_offset,
                    info.lo_sizelimit == 0 ? std::nullopt : std::optional<uint64_t>(info.lo_sizelimit) };
            }
        }
    }
    std::ifstream in(sysBlock / name / "loop" / "backing_file");
    std::string backing;
    struct stat status {};
    if (!std::getline(in, backing) || ::stat(backing.c_str(), &status) != 0)
        return std::nullopt;
    auto sizeLimit = numberIn(sysBlock / name / "loop" / "sizelimit");
    return SaveDestination::Card::File { status.st_dev, status.st_ino, numberIn(sysBlock / name / "loop" / "offset").value_or(0),
        sizeLimit && *sizeLimit != 0 ? sizeLimit : std::nullopt };
}

/// The whole disk's kernel name for the block device `device` ("loop3" for loop3p1).
std::optional<std::string> diskNameOf(dev_t device, const fs::path& sysRoot)
{
    std::error_code error;
    fs::path node = fs::canonical(sysRoot / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device))), error);
    if (error)
        return std::nullopt;
    fs::path disk = fs::exists(node / "partition", error) ? node.parent_path() : node;
    return disk.filename().string();
}

void addUnique(std::vector<dev_t>& devices, const std::vector<dev_t>& more)
{
    for (dev_t device : more)
        if (!contains(devices, device))
            devices.push_back(device);
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
    return mountPointsOf(mountinfo, Card { devices, {} });
}

std::vector<fs::path> SaveDestination::mountPointsOf(std::string_view mountinfo, const Card& card)
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
        const std::string sourcePath = unescapeMountField(source);
        auto sourceDevice = nodeDevice(sourcePath);
        if ((device && contains(card.devices, *device)) || (sourceDevice && contains(card.devices, *sourceDevice))
            || isImageOf(sourcePath, card))
            mountPoints.push_back(unescapeMountField(mountPoint));
    }
    return mountPoints;
}

bool SaveDestination::Card::File::overlaps(const File& other) const
{
    if (device != other.device || inode != other.inode)
        return false;
    auto end = [](const File& file) { return file.length && *file.length <= UINT64_MAX - file.offset ? file.offset + *file.length : UINT64_MAX; };
    return offset < end(other) && other.offset < end(*this);
}

SaveDestination::Card SaveDestination::cardOf(const std::string& sourcePath, const fs::path& sysRoot)
{
    Card card;
    struct stat source {};
    if (::stat(sourcePath.c_str(), &source) != 0)
        return card;
    const bool liveSystem = sysRoot == "/sys";
    const fs::path sysBlock = sysRoot / "block";
    bool wholeFiles = false; // an image file: any loop device over it shows part of the card
    if (S_ISBLK(source.st_mode)) {
        card.devices = devicesOnDisk(source.st_rdev, sysRoot);
        if (auto disk = diskNameOf(source.st_rdev, sysRoot))
            if (auto backing = loopBacking(sysBlock, *disk, liveSystem))
                card.files.push_back(*backing);
    } else if (S_ISCHR(source.st_mode)) {
        card.devices = { source.st_rdev };
    } else if (S_ISREG(source.st_mode)) {
        card.files.push_back({ source.st_dev, source.st_ino, 0, std::nullopt });
        wholeFiles = true;
    }
    if (card.files.empty())
        return card;

    // Other loop devices over the same bytes: written through, they write onto the card.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysBlock, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("loop"))
            continue;
        auto backing = loopBacking(sysBlock, name, liveSystem);
        if (!backing)
            continue;
        bool same = std::any_of(card.files.begin(), card.files.end(), [&](const Card::File& file) {
            return wholeFiles ? file.device == backing->device && file.inode == backing->inode : file.overlaps(*backing);
        });
        if (!same)
            continue;
        if (auto number = deviceNumberIn(entry.path()))
            addUnique(card.devices, devicesOnDisk(*number, sysRoot));
    }
    return card;
}

void SaveDestination::check(const std::string& sourcePath, const fs::path& folder)
{
    Card card = cardOf(sourcePath);
    if (card.devices.empty() && card.files.empty())
        return;

    std::error_code error;
    fs::path destination = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error)
        destination = fs::absolute(folder, error).lexically_normal();
    if (auto existing = nearestExisting(destination); existing && contains(card.devices, existing->st_dev))
        throw DestinationError::onScannedCard(sourcePath);

    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream mountinfo;
    mountinfo << in.rdbuf();
    for (const auto& mountPoint : mountPointsOf(mountinfo.str(), card)) {
        if (isUnder(destination, mountPoint))
            throw DestinationError::onScannedCard(sourcePath);
    }
}

void SaveDestination::checkScanFolder(const std::string& sourcePath, const fs::path& folder, bool folderGiven)
{
    try {
        check(sourcePath, folder);
    } catch (const DestinationError&) {
        if (folderGiven)
            throw;
        throw DestinationError::defaultFolderOnScannedCard(sourcePath);
    }
}

}
