#include "TestSupport.hpp"

#include "device/DiskEnumerator.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    writeWholeFile(path, { text.begin(), text.end() });
}

TEST(DiskEnumeratorTest, RecordedMachinesOfferTheirCardsAndNeverASystemDisk)
{
    TemporaryFolder sys;
    writeText(sys.path() / "block/mmcblk0/device/type", "SD");
    writeText(sys.path() / "block/mmcblk0/device/name", "SL32G");
    // Offered disks, the first one's name and media. The system may sit on a USB disk inside
    // LVM inside LUKS; an eMMC's boot areas, zram, empty slots and (unless asked) images stay out.
    const std::tuple<const char*, bool, const char*> cases[] { { "laptop-nvme-card-reader", true, "sda: EOS_DIGITAL, Untitled/Multi-Card 63.9 GB" },
        { "builtin-mmc-slot", false, "mmcblk0: 3061-6539/SD SL32G" }, { "board-emmc-and-sd", true, "mmcblk1: CAMERA/" },
        { "usb-system-disk-and-encrypted-stick", true, "sdb: Backup/Ultra Fit" }, { "disks-without-model", false, "sdc sdd sde: sdc/" },
        { "loop-mounted-image", false, "" }, { "loop-mounted-image", true, "loop0: bfrec-mnt/ 16.8 MB" }, { "virtual-machine", true, "" } };
    for (const auto& [recording, images, expected] : cases) {
        const auto text = readWholeFile(dataFile(std::string("lsblk/") + recording + ".json"));
        const auto listing = parseLsblkJson(std::string(text.begin(), text.end()));
        ASSERT_TRUE(listing) << recording;
        auto disks = DiskEnumerator::externalDisks(*listing, images, sys.path());
        std::string offered;
        for (const auto& disk : disks)
            offered += (offered.empty() ? "" : " ") + disk.deviceIdentifier;
        if (!disks.empty()) {
            offered.append(": ").append(disks[0].displayName()).append("/").append(disks[0].mediaName);
            if (std::string_view(expected).ends_with("B"))
                offered.append(" ").append(disks[0].sizeDescription());
        }
        EXPECT_EQ(offered, expected) << recording << (images ? " with images" : "");
    }
}

TEST(DiskEnumeratorTest, FilterChecksImagesThenVirtualThenSystemThenRemovable)
{
    auto disk = [](auto change) { DiskInfo base; change(base); return base; };
    const std::tuple<const char*, DiskInfo, bool, bool> cases[] {
        { "image, allowed", disk([](DiskInfo& d) { d.backing = DiskInfo::Backing::diskImage; }), true, true },
        { "image, not allowed, even removable", disk([](DiskInfo& d) { d.backing = DiskInfo::Backing::diskImage; d.removableMedia = true; }), false, false },
        { "virtual, even removable", disk([](DiskInfo& d) { d.backing = DiskInfo::Backing::virtualDisk; d.removableMedia = true; }), true, false },
        { "system media, even removable", disk([](DiskInfo& d) { d.osInternalMedia = true; d.removableMedia = true; }), true, false },
        { "live medium, even external", disk([](DiskInfo& d) { d.systemImage = true; }), true, false },
        { "built-in slot", disk([](DiskInfo& d) { d.internal = true; d.removableMedia = true; }), false, true },
        { "internal disk", disk([](DiskInfo& d) { d.internal = true; }), false, false },
        { "external, not removable", disk([](DiskInfo&) { }), false, true },
        { "hot-pluggable", disk([](DiskInfo& d) { d.internal = true; d.hotPluggable = true; }), false, true } };
    for (const auto& [name, info, allowImages, offered] : cases)
        EXPECT_EQ(DiskEnumerator::isMemoryCardLike(info, allowImages), offered) << name;
}

}
}
