#include "cli/Commands.hpp"

#include "device/DiskEnumerator.hpp"

#include <fmt/core.h>

#include <algorithm>

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

}

std::function<int()> addDisksCommand(CLI::App& app)
{
    auto includeImages = std::make_shared<bool>(false);
    auto* command = app.add_subcommand("disks", "List the memory cards and external disks that can be scanned");
    command->add_flag("--images", *includeImages, "Also list disk images attached as loop devices");
    return [includeImages] { return runDisks(*includeImages); };
}

}
