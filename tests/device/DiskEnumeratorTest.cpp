#include "TestSupport.hpp"

#include "device/DiskEnumerator.hpp"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <map>

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
        auto text = readWholeFile(dataFile(std::string("lsblk/") + recording + ".json"));
        auto listing = parseLsblkJson(std::string(text.begin(), text.end()));
        ASSERT_TRUE(listing) << recording;
        auto disks = DiskEnumerator::externalDisks(*listing, images, sys.path());
        std::string offered;
        for (const auto& disk : disks)
            offered += (offered.empty() ? "" : " ") + disk.deviceIdentifier;
        if (!disks.empty())
            offered += ": " + disks[0].displayName() + "/" + disks[0].mediaName + (std::string(expected).ends_with("B") ? " " + disks[0].sizeDescription() : "");
        EXPECT_EQ(offered, expected) << recording << (images ? " with images" : "");
    }
}

TEST(DiskEnumeratorTest, MalformedListingsGiveNothingAndBadEntriesAreSkipped)
{
    for (const char* text : { "", "not json", "[]", R"({"blockdevices": {}})" })
        EXPECT_FALSE(parseLsblkJson(text)) << text;
    // util-linux before 2.33 wrote every value as a string; -1, 1.5 and 2^64 are no byte counts.
    auto listing = parseLsblkJson(R"({"blockdevices": [42, {"type": "disk"}, {"name": ""}, {"name": "sdb", "size": "31914983424", "rm": "1", "children": "none"},
        {"name": "sdc", "size": -1}, {"name": "sdd", "size": 1.5}, {"name": "sde", "size": 18446744073709551616}]})");
    ASSERT_TRUE(listing && listing->size() == 4);
    EXPECT_TRUE((*listing)[0].size == 31914983424u && (*listing)[0].removable && (*listing)[0].children.empty());
    EXPECT_FALSE((*listing)[1].size || (*listing)[2].size || (*listing)[3].size);
}

TEST(DiskEnumeratorTest, FilterChecksImagesThenVirtualThenSystemThenRemovable)
{
    auto disk = [](auto change) {
        DiskInfo base;
        base.virtualOrPhysical = "Physical";
        change(base);
        return base;
    };
    const std::tuple<const char*, DiskInfo, bool, bool> cases[] {
        { "image, allowed, even virtual", disk([](DiskInfo& d) { d.busProtocol = "Disk Image"; d.virtualOrPhysical = "Virtual"; }), true, true },
        { "image, not allowed, even removable", disk([](DiskInfo& d) { d.busProtocol = "Disk Image"; d.removableMedia = true; }), false, false },
        { "virtual, even removable", disk([](DiskInfo& d) { d.virtualOrPhysical = "Virtual"; d.removableMedia = true; }), true, false },
        { "system media, even removable", disk([](DiskInfo& d) { d.osInternalMedia = true; d.removableMedia = true; }), true, false },
        { "live medium, even external", disk([](DiskInfo& d) { d.systemImage = true; }), true, false },
        { "built-in slot", disk([](DiskInfo& d) { d.internal = true; d.removableMedia = true; }), false, true },
        { "internal disk", disk([](DiskInfo& d) { d.internal = true; }), false, false },
        { "external, not removable", disk([](DiskInfo&) { }), false, true },
        { "hot-pluggable and ejectable", disk([](DiskInfo& d) { d.internal = true; d.removableMediaOrExternalDevice = true; d.ejectable = true; }), false, true },
        { "hot-pluggable but not ejectable", disk([](DiskInfo& d) { d.internal = true; d.removableMediaOrExternalDevice = true; }), false, false } };
    for (const auto& [name, info, allowImages, offered] : cases)
        EXPECT_EQ(DiskEnumerator::isMemoryCardLike(info, allowImages), offered) << name;
}

TEST(DiskEnumeratorTest, UnmountTriesUdisksThenUmountForEveryMountedVolume)
{
    const std::string reader = R"({"blockdevices": [{"name": "sdb", "type": "disk", "children": [{"name": "sdb1", "type": "part", "mountpoints": ["/media/a/CARD"]},
        {"name": "sdb2", "type": "part", "mountpoints": [null]}, {"name": "sdb3", "type": "part", "mountpoints": ["/media/a/Untitled"]}]}]})";
    // udisks unmounts; without its daemon umount does; a volume that stays busy leaves the others unmounted and the answer false.
    // Names that are no kernel name never reach a program.
    for (auto [disk, udisks, umount, unmounted, commands] : { std::tuple { "sdb", 0, 1, true, "lsblk udisksctl udisksctl" }, { "sdb", 1, 0, true, "lsblk udisksctl umount udisksctl umount" },
             { "sdb", 1, 32, false, "lsblk udisksctl umount udisksctl umount" }, { "../sda", 0, 0, false, "" }, { "-a", 0, 0, false, "" }, { "..", 0, 0, false, "" } }) {
        const std::map<std::string, ChildProcess::Result> answers { { "lsblk", { 0, reader } }, { "udisksctl", { udisks, "" } }, { "umount", { umount, "" } } };
        std::string ran;
        EXPECT_EQ(DiskEnumerator::unmountDisk(disk, [&](const std::vector<std::string>& command) {
            ran += (ran.empty() ? "" : " ") + command.front();
            return std::optional(answers.at(command.front()));
        }), unmounted);
        EXPECT_EQ(ran, commands) << disk << " " << udisks << " " << umount;
    }
}

TEST(DiskEnumeratorTest, WholeDiskIsFoundUpThroughPartitionsAndMappings)
{
    // A sysfs tree as the kernel lays it out: /sys/dev/block/MAJOR:MINOR links to the device's folder; a
    // partition's folder sits in its disk's; a mapping lists the devices below it in slaves/.
    TemporaryFolder sys;
    for (auto [file, text] : { std::pair { "devices/usb/sdb/size", "124735488" }, { "devices/usb/sdb/sdb1/partition", "1" }, { "devices/dm-3/size", "1" }, { "devices/md0/size", "2000" } })
        writeText(sys.path() / file, text);
    for (auto [link, target] : { std::pair { "devices/dm-3/slaves/sdb1", "devices/usb/sdb/sdb1" }, { "devices/md0/slaves/sdb", "devices/usb/sdb" }, { "devices/md0/slaves/sdb1", "devices/usb/sdb/sdb1" },
             { "dev/block/8:17", "devices/usb/sdb/sdb1" }, { "dev/block/254:3", "devices/dm-3" }, { "dev/block/9:0", "devices/md0" } }) {
        fs::create_directories((sys.path() / link).parent_path());
        fs::create_symlink(sys.path() / target, sys.path() / link);
    }
    const DiskEnumerator::WholeDisk card { "sdb", "/dev/sdb", 124735488ull * 512 };
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(8, 17), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(254, 3), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(9, 0), sys.path()), (DiskEnumerator::WholeDisk { "md0", "/dev/md0", 2000 * 512 })) << "a RAID over several devices is its own whole disk";
    EXPECT_FALSE(DiskEnumerator::wholeDisk(makedev(0, 42), sys.path())) << "tmpfs has a device number but no block device";
}

}
}
