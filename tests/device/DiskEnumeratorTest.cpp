#include "TestSupport.hpp"

#include "device/DiskEnumerator.hpp"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <fstream>
#include <map>

namespace brightfold::test {
namespace {

namespace fs = std::filesystem;

std::string recorded(const std::string& name)
{
    auto bytes = readWholeFile(dataFile("lsblk/" + name + ".json"));
    return { bytes.begin(), bytes.end() };
}

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

/// Stands in for the system's programs: answers by program name and keeps every command.
struct FakePrograms {
    std::map<std::string, ChildProcess::Result> answers;
    std::vector<std::vector<std::string>> commands;
    DiskEnumerator::Runner runner()
    {
        return [this](const std::vector<std::string>& command) -> std::optional<ChildProcess::Result> {
            commands.push_back(command);
            return answers.contains(command.front()) ? std::optional(answers.at(command.front())) : std::nullopt;
        };
    }
};

TEST(DiskEnumeratorTest, RecordedMachinesOfferTheirCardsAndNeverASystemDisk)
{
    TemporaryFolder sys;
    writeText(sys.path() / "block/mmcblk0/device/type", "SD");
    writeText(sys.path() / "block/mmcblk0/device/name", "SL32G");
    // The system may sit on a USB disk inside LVM inside LUKS; an eMMC's boot areas, zram, empty slots and images stay out.
    struct Case {
        const char* recording;
        bool images;
        std::string offered; ///< kernel names
        std::string firstName, firstMedia;
    };
    const Case cases[] { { "laptop-nvme-card-reader", true, "sda", "EOS_DIGITAL, Untitled", "Multi-Card" }, { "builtin-mmc-slot", false, "mmcblk0", "3061-6539", "SD SL32G" },
        { "board-emmc-and-sd", true, "mmcblk1", "CAMERA", "" }, { "usb-system-disk-and-encrypted-stick", true, "sdb", "Backup", "Ultra Fit" },
        { "disks-without-model", false, "sdc sdd sde", "sdc", "" }, { "loop-mounted-image", false, "", "", "" }, { "loop-mounted-image", true, "loop0", "bfrec-mnt", "" },
        { "virtual-machine", true, "", "", "" } };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.recording << (c.images ? " with images" : ""));
        auto listing = parseLsblkJson(recorded(c.recording));
        ASSERT_TRUE(listing);
        auto disks = DiskEnumerator::externalDisks(*listing, c.images, sys.path());
        std::string offered;
        for (const auto& disk : disks)
            offered += (offered.empty() ? "" : " ") + disk.deviceIdentifier;
        EXPECT_EQ(offered, c.offered);
        EXPECT_EQ(disks.empty() ? "/" : disks[0].displayName() + "/" + disks[0].mediaName, c.firstName + "/" + c.firstMedia);
    }
}

TEST(DiskEnumeratorTest, MalformedListingsGiveNothingAndBadEntriesAreSkipped)
{
    for (const char* text : { "", "not json", "[]", R"({"blockdevices": {}})" })
        EXPECT_FALSE(parseLsblkJson(text)) << text;
    // util-linux before 2.33 wrote every value as a string; -1, 1.5 and 2^64 are no byte counts.
    auto listing = parseLsblkJson(R"({"blockdevices": [42, {"type": "disk"}, {"name": ""}, {"name": "sdb", "size": "31914983424", "rm": "1", "children": "none"},
        {"name": "sdc", "size": -1}, {"name": "sdd", "size": 1.5}, {"name": "sde", "size": 18446744073709551616}]})");
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->size(), 4u);
    EXPECT_EQ(listing->front().size, uint64_t { 31914983424 });
    EXPECT_TRUE(listing->front().removable && listing->front().children.empty());
    EXPECT_FALSE((*listing)[1].size || (*listing)[2].size || (*listing)[3].size);
}

TEST(DiskEnumeratorTest, FilterChecksImagesThenVirtualThenSystemThenRemovable)
{
    auto info = [](auto change) {
        DiskInfo base;
        base.virtualOrPhysical = "Physical";
        change(base);
        return base;
    };
    const std::tuple<const char*, DiskInfo, bool, bool> cases[] {
        { "image, allowed, even virtual", info([](DiskInfo& d) { d.busProtocol = "Disk Image"; d.virtualOrPhysical = "Virtual"; }), true, true },
        { "image, not allowed, even removable", info([](DiskInfo& d) { d.busProtocol = "Disk Image"; d.removableMedia = true; }), false, false },
        { "virtual, even removable", info([](DiskInfo& d) { d.virtualOrPhysical = "Virtual"; d.removableMedia = true; }), true, false },
        { "system media, even removable", info([](DiskInfo& d) { d.osInternalMedia = true; d.removableMedia = true; }), true, false },
        { "live medium, even external", info([](DiskInfo& d) { d.systemImage = true; }), true, false },
        { "built-in slot", info([](DiskInfo& d) { d.internal = true; d.removableMedia = true; }), false, true },
        { "internal disk", info([](DiskInfo& d) { d.internal = true; }), false, false },
        { "external, not removable", info([](DiskInfo&) { }), false, true },
        { "hot-pluggable and ejectable", info([](DiskInfo& d) { d.internal = true; d.removableMediaOrExternalDevice = true; d.ejectable = true; }), false, true },
        { "hot-pluggable but not ejectable", info([](DiskInfo& d) { d.internal = true; d.removableMediaOrExternalDevice = true; }), false, false } };
    for (const auto& [name, disk, allowImages, offered] : cases)
        EXPECT_EQ(DiskEnumerator::isMemoryCardLike(disk, allowImages), offered) << name;
}

TEST(DiskEnumeratorTest, UnmountTriesUdisksThenUmountForEveryMountedVolume)
{
    const std::string reader = R"({"blockdevices": [{"name": "sdb", "type": "disk", "children": [{"name": "sdb1", "type": "part", "mountpoints": ["/media/a/CARD"]},
        {"name": "sdb2", "type": "part", "mountpoints": [null]}, {"name": "sdb3", "type": "part", "mountpoints": ["/media/a/Untitled"]}]}]})";
    // udisks unmounts; without its daemon umount does; a volume that stays busy leaves the others unmounted and the answer false.
    for (auto [udisks, umount, unmounted, commands] : { std::tuple { 0, 1, true, 3u }, { 1, 0, true, 5u }, { 1, 32, false, 5u } }) {
        FakePrograms programs;
        programs.answers = { { "lsblk", { 0, reader } }, { "udisksctl", { udisks, "" } }, { "umount", { umount, "" } } };
        EXPECT_EQ(DiskEnumerator::unmountDisk("sdb", programs.runner()), unmounted);
        ASSERT_EQ(programs.commands.size(), commands);
        EXPECT_EQ(programs.commands[1].back(), "/dev/sdb1");
        EXPECT_EQ(programs.commands.back().back(), "/dev/sdb3");
    }
    FakePrograms programs; // names that are no kernel name never reach a program
    for (const char* identifier : { "", "../sda", "sda/..", "-a", ".." })
        EXPECT_FALSE(DiskEnumerator::unmountDisk(identifier, programs.runner())) << identifier;
    EXPECT_TRUE(programs.commands.empty());
}

TEST(DiskEnumeratorTest, WholeDiskIsFoundUpThroughPartitionsAndMappings)
{
    // A sysfs tree as the kernel lays it out: /sys/dev/block/MAJOR:MINOR links to the device's folder; a
    // partition's folder sits in its disk's; a mapping lists the devices below it in slaves/.
    TemporaryFolder sys;
    const fs::path usb = sys.path() / "devices/usb2/block", mapped = sys.path() / "devices/virtual/block";
    writeText(usb / "sdb/size", "124735488");
    writeText(usb / "sdb/sdb1/partition", "1");
    writeText(mapped / "dm-3/size", "124694528");
    writeText(mapped / "md0/size", "2000");
    fs::create_directories(mapped / "dm-3/slaves");
    fs::create_directories(mapped / "md0/slaves");
    fs::create_directories(sys.path() / "dev/block");
    for (auto [link, target] : { std::pair { "devices/virtual/block/dm-3/slaves/sdb1", "devices/usb2/block/sdb/sdb1" }, { "devices/virtual/block/md0/slaves/sdb", "devices/usb2/block/sdb" },
             { "devices/virtual/block/md0/slaves/sdb1", "devices/usb2/block/sdb/sdb1" }, { "dev/block/8:16", "devices/usb2/block/sdb" },
             { "dev/block/8:17", "devices/usb2/block/sdb/sdb1" }, { "dev/block/254:3", "devices/virtual/block/dm-3" }, { "dev/block/9:0", "devices/virtual/block/md0" } })
        fs::create_symlink(sys.path() / target, sys.path() / link);
    const DiskEnumerator::WholeDisk card { "sdb", "/dev/sdb", 124735488ull * 512 };
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(8, 17), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(254, 3), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(9, 0), sys.path()), (DiskEnumerator::WholeDisk { "md0", "/dev/md0", 2000 * 512 })) << "a RAID over several devices is its own whole disk";
    EXPECT_FALSE(DiskEnumerator::wholeDisk(makedev(0, 42), sys.path())) << "tmpfs has a device number but no block device";
}

}
}
