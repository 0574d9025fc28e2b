#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "device/DiskEnumerator.hpp"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <fstream>
#include <map>

using namespace brightfold;
using namespace brightfold::test;

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kRecordings { "laptop-nvme-card-reader", "builtin-mmc-slot", "board-emmc-and-sd",
    "usb-system-disk-and-encrypted-stick", "disks-without-model", "loop-mounted-image", "virtual-machine" };

std::string recorded(const std::string& name)
{
    auto bytes = readWholeFile(fs::path(BRIGHTFOLD_TEST_DATA_DIR) / "lsblk" / (name + ".json"));
    return std::string(bytes.begin(), bytes.end());
}

std::vector<LsblkDevice> parsedRecording(const std::string& name)
{
    auto listing = parseLsblkJson(recorded(name));
    EXPECT_TRUE(listing) << name;
    return listing.value_or(std::vector<LsblkDevice> {});
}

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

std::vector<std::string> identifiers(const std::vector<ExternalDisk>& disks)
{
    std::vector<std::string> names;
    for (const auto& disk : disks)
        names.push_back(disk.deviceIdentifier);
    return names;
}

/// Stands in for the system's programs: answers from a table by program name and
/// keeps every command it was given.
struct FakePrograms {
    std::map<std::string, std::optional<ChildProcess::Result>> answers;
    std::vector<std::vector<std::string>> commands;

    DiskEnumerator::Runner runner()
    {
        return [this](const std::vector<std::string>& command) -> std::optional<ChildProcess::Result> {
            commands.push_back(command);
            auto found = answers.find(command.front());
            return found == answers.end() ? std::nullopt : found->second;
        };
    }
};

}

TEST(DiskEnumeratorTest, ParsesTheRecordedFormat)
{
    auto listing = parsedRecording("laptop-nvme-card-reader");
    ASSERT_EQ(listing.size(), 4u);
    const LsblkDevice& reader = listing[0];
    EXPECT_EQ(reader.size, uint64_t { 63864569856 });
    EXPECT_TRUE(reader.removable && reader.hotplug);
    EXPECT_TRUE(reader.mountPoints.empty()) << "[null] means not mounted";
    EXPECT_EQ(reader.children.at(0).mountPoints, std::vector<std::string> { "/media/anna/EOS_DIGITAL" });
    // A mapper device is known by its kernel name, which is what /dev holds.
    auto stacked = parsedRecording("usb-system-disk-and-encrypted-stick");
    EXPECT_EQ(stacked[1].children[0].children[0].name, "dm-3");
}

TEST(DiskEnumeratorTest, ReadsTheOlderListingForms)
{
    // util-linux before 2.33 wrote every value as a string and had a single MOUNTPOINT.
    auto listing = parseLsblkJson(R"({"blockdevices": [
        {"name": "sdb", "type": "disk", "size": "31914983424", "rm": "1", "hotplug": "1", "tran": "usb", "model": "SD/MMC          ",
         "mountpoint": null,
         "children": [{"name": "sdb1", "type": "part", "size": "31910789120", "rm": "1", "label": "CARD", "mountpoint": "/media/CARD"}]}
    ]})");
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->size(), 1u);
    const LsblkDevice& card = listing->front();
    EXPECT_EQ(card.size, uint64_t { 31914983424 });
    EXPECT_TRUE(card.removable);
    EXPECT_TRUE(card.hotplug);
    EXPECT_EQ(card.model, "SD/MMC");
    EXPECT_TRUE(card.mountPoints.empty());
    EXPECT_EQ(card.children.at(0).mountPoints, std::vector<std::string> { "/media/CARD" });
}

TEST(DiskEnumeratorTest, MalformedListingsGiveNothingAndBadEntriesAreSkipped)
{
    for (const char* text : { "", "{", "not json", "[]", "{}", R"({"blockdevices": {}})", R"({"blockdevices": "sda"})" }) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseLsblkJson(text));
    }
    auto listing = parseLsblkJson(R"({"blockdevices": [42, {"type": "disk"}, {"name": ""}, {"name": "sdb", "children": "none"}]})");
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->size(), 1u);
    EXPECT_EQ(listing->front().name, "sdb");
    EXPECT_TRUE(listing->front().children.empty());
}

TEST(DiskEnumeratorTest, SizesThatAreNotByteCountsAreNoSize)
{
    // -1 would read as 18446744073709551615, 1.5 as 1, and 2^64 arrives as a double.
    for (const char* size : { "-1", "1.5", "18446744073709551616", "\"12a\"", "\"\"", "true", "null" }) {
        SCOPED_TRACE(size);
        auto listing = parseLsblkJson(std::string(R"({"blockdevices": [{"name": "sdb", "size": )") + size + "}]}");
        ASSERT_TRUE(listing);
        EXPECT_FALSE(listing->front().size);
    }
}

TEST(DiskEnumeratorTest, LaptopOffersTheCardInItsReaderOnly)
{
    TemporaryFolder sys;
    auto disks = DiskEnumerator::externalDisks(parsedRecording("laptop-nvme-card-reader"), true, sys.path());
    ASSERT_EQ(identifiers(disks), std::vector<std::string> { "sda" }) << "the empty slot, zram and the NVMe system disk stay out";
    const ExternalDisk& card = disks.front();
    EXPECT_EQ(card.mediaName, "Multi-Card");
    EXPECT_EQ(card.sizeBytes, 63864569856u);
    EXPECT_EQ(card.volumeNames, (std::vector<std::string> { "EOS_DIGITAL", "Untitled" }));
    EXPECT_EQ(card.displayName(), "EOS_DIGITAL, Untitled");
    EXPECT_EQ(card.sizeDescription(), "63.9 GB");
    EXPECT_EQ(card.rawDevicePath(), "/dev/sda");
    EXPECT_TRUE(card.isMemoryCard());
}

TEST(DiskEnumeratorTest, BuiltInSlotTakesTheCardsNameFromSysfs)
{
    TemporaryFolder sys;
    writeText(sys.path() / "block/mmcblk0/device/type", "SD");
    writeText(sys.path() / "block/mmcblk0/device/name", "SL32G");
    auto disks = DiskEnumerator::externalDisks(parsedRecording("builtin-mmc-slot"), false, sys.path());
    ASSERT_EQ(identifiers(disks), std::vector<std::string> { "mmcblk0" });
    EXPECT_EQ(disks[0].mediaName, "SD SL32G");
    EXPECT_TRUE(disks[0].isMemoryCard());
    // No label: the volume is named by the folder it is mounted on.
    EXPECT_EQ(disks[0].volumeNames, std::vector<std::string> { "3061-6539" });
    EXPECT_EQ(disks[0].rawDevicePath(), "/dev/mmcblk0");

    TemporaryFolder emptySys;
    auto unnamed = DiskEnumerator::externalDisks(parsedRecording("builtin-mmc-slot"), false, emptySys.path());
    ASSERT_EQ(unnamed.size(), 1u);
    EXPECT_EQ(unnamed[0].mediaName, "");
}

TEST(DiskEnumeratorTest, BoardOffersItsSdCardButNotTheEmmcItRunsFrom)
{
    TemporaryFolder sys;
    auto disks = DiskEnumerator::externalDisks(parsedRecording("board-emmc-and-sd"), true, sys.path());
    ASSERT_EQ(identifiers(disks), std::vector<std::string> { "mmcblk1" }) << "nor the eMMC's boot areas";
    EXPECT_EQ(disks[0].displayName(), "CAMERA");
}

TEST(DiskEnumeratorTest, SystemOnAUsbDiskIsFoundThroughItsMappings)
{
    // Root and swap live on LVM inside LUKS on the USB disk: it is external and
    // hot-pluggable, and still must never be offered.
    TemporaryFolder sys;
    auto disks = DiskEnumerator::externalDisks(parsedRecording("usb-system-disk-and-encrypted-stick"), true, sys.path());
    ASSERT_EQ(identifiers(disks), std::vector<std::string> { "sdb" });
    EXPECT_EQ(disks[0].volumeNames, std::vector<std::string> { "Backup" }) << "an open encrypted partition is named by what it holds";
    EXPECT_EQ(disks[0].mediaName, "Ultra Fit");
}

TEST(DiskEnumeratorTest, DisksWithoutModelOrPartitions)
{
    TemporaryFolder sys;
    auto disks = DiskEnumerator::externalDisks(parsedRecording("disks-without-model"), false, sys.path());
    ASSERT_EQ(identifiers(disks), (std::vector<std::string> { "sdc", "sdd", "sde" }));
    EXPECT_EQ(disks[0].displayName(), "sdc");
    EXPECT_EQ(disks[0].mediaName, "");
    EXPECT_EQ(disks[1].displayName(), "USB Flash Disk");
    EXPECT_FALSE(disks[1].isMemoryCard());
    // A file system on the whole disk, without a partition table, is its one volume.
    EXPECT_EQ(disks[2].volumeNames, std::vector<std::string> { "WD Photos" });
}

TEST(DiskEnumeratorTest, DiskImagesOnlyWhenAsked)
{
    TemporaryFolder sys;
    auto listing = parsedRecording("loop-mounted-image");
    EXPECT_TRUE(DiskEnumerator::externalDisks(listing, false, sys.path()).empty());
    auto disks = DiskEnumerator::externalDisks(listing, true, sys.path());
    ASSERT_EQ(identifiers(disks), std::vector<std::string> { "loop0" });
    EXPECT_EQ(disks[0].sizeBytes, 16777216u);
    EXPECT_EQ(disks[0].displayName(), "bfrec-mnt");

    EXPECT_TRUE(DiskEnumerator::externalDisks(parsedRecording("virtual-machine"), true, sys.path()).empty());
}

TEST(DiskEnumeratorTest, NoRecordedSystemDiskIsEverOffered)
{
    TemporaryFolder sys;
    const std::vector<std::string> systemMounts { "/", "/boot", "/boot/efi", "/boot/firmware", "/home", "/var", "/usr", "[SWAP]" };
    std::function<bool(const LsblkDevice&)> holdsSystem = [&](const LsblkDevice& device) {
        for (const auto& point : device.mountPoints) {
            if (std::find(systemMounts.begin(), systemMounts.end(), point) != systemMounts.end())
                return true;
        }
        return std::any_of(device.children.begin(), device.children.end(), holdsSystem);
    };
    for (const auto& name : kRecordings) {
        auto listing = parsedRecording(name);
        for (bool images : { false, true }) {
            SCOPED_TRACE(testing::Message() << name << (images ? " with images" : ""));
            for (const auto& disk : DiskEnumerator::externalDisks(listing, images, sys.path())) {
                auto device = std::find_if(listing.begin(), listing.end(), [&](const LsblkDevice& d) { return d.name == disk.deviceIdentifier; });
                ASSERT_NE(device, listing.end());
                EXPECT_FALSE(holdsSystem(*device)) << disk.deviceIdentifier;
            }
        }
    }
}

TEST(DiskEnumeratorTest, FilterChecksImagesThenVirtualThenSystemThenRemovable)
{
    auto info = [](auto change) {
        DiskInfo base;
        change(base);
        return base;
    };
    struct Case {
        const char* name;
        DiskInfo info;
        bool allowImages;
        bool offered;
    };
    const std::vector<Case> cases {
        { "image, allowed", info([](DiskInfo& d) { d.backing = DiskInfo::Backing::diskImage; }), true, true },
        { "image, not allowed, even removable", info([](DiskInfo& d) { d.backing = DiskInfo::Backing::diskImage; d.removableMedia = true; }), false, false },
        { "virtual, even removable", info([](DiskInfo& d) { d.backing = DiskInfo::Backing::virtualDisk; d.removableMedia = true; }), true, false },
        { "system media, even removable", info([](DiskInfo& d) { d.osInternalMedia = true; d.removableMedia = true; }), true, false },
        { "live medium, even external", info([](DiskInfo& d) { d.systemImage = true; }), true, false },
        { "built-in slot", info([](DiskInfo& d) { d.internal = true; d.removableMedia = true; }), false, true },
        { "internal disk", info([](DiskInfo& d) { d.internal = true; }), false, false },
        { "external, not removable", info([](DiskInfo&) { }), false, true },
        { "hot-pluggable", info([](DiskInfo& d) { d.internal = true; d.hotPluggable = true; }), false, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DiskEnumerator::isMemoryCardLike(c.info, c.allowImages), c.offered);
    }
}

TEST(DiskEnumeratorTest, ListingRunsLsblkAndSurvivesItsFailures)
{
    FakePrograms programs;
    EXPECT_TRUE(DiskEnumerator::externalDisks(false, programs.runner()).empty()) << "lsblk missing";
    ASSERT_EQ(programs.commands.size(), 1u);
    EXPECT_EQ(programs.commands[0],
        (std::vector<std::string> { "lsblk", "--json", "--bytes", "--output", "NAME,KNAME,TYPE,SIZE,RM,HOTPLUG,TRAN,SUBSYSTEMS,MODEL,LABEL,MOUNTPOINTS" }));

    programs.answers["lsblk"] = ChildProcess::Result { 1, recorded("laptop-nvme-card-reader") };
    EXPECT_TRUE(DiskEnumerator::externalDisks(false, programs.runner()).empty()) << "a failed lsblk's output is not trusted";
    programs.answers["lsblk"] = ChildProcess::Result { 0, "lsblk: unknown column: MOUNTPOINTS" };
    EXPECT_TRUE(DiskEnumerator::externalDisks(false, programs.runner()).empty());
    programs.answers["lsblk"] = ChildProcess::Result { 0, recorded("laptop-nvme-card-reader") };
    TemporaryFolder sys;
    EXPECT_EQ(identifiers(DiskEnumerator::externalDisks(false, programs.runner(), sys.path())), std::vector<std::string> { "sda" });
}

TEST(DiskEnumeratorTest, MountedVolumesInnerMountsFirstOnePerMount)
{
    auto listing = parsedRecording("usb-system-disk-and-encrypted-stick");
    // /boot/efi lies inside /: it has to go first.
    EXPECT_EQ(DiskEnumerator::mountedVolumes(listing[0]), (std::vector<std::string> { "/dev/sda1", "/dev/dm-1" })) << "swap is not a mount";
    EXPECT_EQ(DiskEnumerator::mountedVolumes(listing[1]), std::vector<std::string> { "/dev/dm-3" });
    auto laptop = parsedRecording("laptop-nvme-card-reader");
    EXPECT_EQ(DiskEnumerator::mountedVolumes(laptop[3]),
        (std::vector<std::string> { "/dev/nvme0n1p2", "/dev/nvme0n1p1", "/dev/nvme0n1p2", "/dev/nvme0n1p2" }));
    EXPECT_TRUE(DiskEnumerator::mountedVolumes(laptop[1]).empty());
}

TEST(DiskEnumeratorTest, UnmountTriesUdisksThenUmountForEveryMountedVolume)
{
    std::string reader = R"({"blockdevices": [{"name": "sdb", "type": "disk", "children": [
        {"name": "sdb1", "type": "part", "mountpoints": ["/media/anna/EOS_DIGITAL"]},
        {"name": "sdb2", "type": "part", "mountpoints": [null]},
        {"name": "sdb3", "type": "part", "mountpoints": ["/media/anna/Untitled"]}]}]})";
    {
        FakePrograms programs;
        programs.answers["lsblk"] = ChildProcess::Result { 0, reader };
        programs.answers["udisksctl"] = ChildProcess::Result { 0, "" };
        EXPECT_TRUE(DiskEnumerator::unmountDisk("sdb", programs.runner()));
        ASSERT_EQ(programs.commands.size(), 3u);
        EXPECT_EQ(programs.commands[0].back(), "/dev/sdb");
        EXPECT_EQ(programs.commands[1], (std::vector<std::string> { "udisksctl", "unmount", "--no-user-interaction", "--block-device", "/dev/sdb1" }));
        EXPECT_EQ(programs.commands[2].back(), "/dev/sdb3");
    }
    {
        // No udisks daemon to reach: umount does it.
        FakePrograms programs;
        programs.answers["lsblk"] = ChildProcess::Result { 0, reader };
        programs.answers["udisksctl"] = ChildProcess::Result { 1, "" };
        programs.answers["umount"] = ChildProcess::Result { 0, "" };
        EXPECT_TRUE(DiskEnumerator::unmountDisk("sdb", programs.runner()));
        ASSERT_EQ(programs.commands.size(), 5u);
        EXPECT_EQ(programs.commands[2], (std::vector<std::string> { "umount", "/dev/sdb1" }));
        EXPECT_EQ(programs.commands[4], (std::vector<std::string> { "umount", "/dev/sdb3" }));
    }
    {
        // One volume stays busy: the others are still unmounted, and the answer is false.
        FakePrograms programs;
        programs.answers["lsblk"] = ChildProcess::Result { 0, reader };
        programs.answers["umount"] = ChildProcess::Result { 32, "" };
        EXPECT_FALSE(DiskEnumerator::unmountDisk("sdb", programs.runner()));
        EXPECT_EQ(programs.commands.size(), 5u);
    }
}

TEST(DiskEnumeratorTest, UnmountOfNothingMountedSucceedsAndOfNoDiskFails)
{
    FakePrograms programs;
    programs.answers["lsblk"] = ChildProcess::Result { 0, R"({"blockdevices": [{"name": "sdb", "type": "disk", "mountpoints": [null]}]})" };
    EXPECT_TRUE(DiskEnumerator::unmountDisk("sdb", programs.runner()));
    EXPECT_EQ(programs.commands.size(), 1u);

    programs.answers["lsblk"] = ChildProcess::Result { 32, "" };
    EXPECT_FALSE(DiskEnumerator::unmountDisk("sdq", programs.runner()));

    // Names that are not a kernel name never reach a program.
    programs.commands.clear();
    for (const char* identifier : { "", "../sda", "sda/..", "-a", ".." }) {
        SCOPED_TRACE(identifier);
        EXPECT_FALSE(DiskEnumerator::unmountDisk(identifier, programs.runner()));
    }
    EXPECT_TRUE(programs.commands.empty());
}

TEST(DiskEnumeratorTest, WholeDiskIsFoundUpThroughPartitionsAndMappings)
{
    // A sysfs tree as the kernel lays it out: /sys/dev/block/MAJOR:MINOR links to the
    // device's folder; a partition's folder sits in its disk's; a mapping lists the
    // devices below it in slaves/.
    TemporaryFolder sys;
    fs::path usb = sys.path() / "devices/pci0000:00/usb2/host6/block";
    writeText(usb / "sdb/size", "124735488");
    writeText(usb / "sdb/sdb1/partition", "1");
    writeText(usb / "sdb/sdb1/size", "124727296");
    fs::path virtualBlock = sys.path() / "devices/virtual/block";
    writeText(virtualBlock / "dm-3/size", "124694528");
    fs::create_directories(virtualBlock / "dm-3/slaves");
    fs::create_symlink(usb / "sdb/sdb1", virtualBlock / "dm-3/slaves/sdb1");
    writeText(virtualBlock / "md0/size", "2000");
    fs::create_directories(virtualBlock / "md0/slaves");
    fs::create_symlink(usb / "sdb", virtualBlock / "md0/slaves/sdb");
    fs::create_symlink(usb / "sdb/sdb1", virtualBlock / "md0/slaves/sdb1");
    fs::create_directories(sys.path() / "dev/block");
    fs::create_symlink(usb / "sdb", sys.path() / "dev/block/8:16");
    fs::create_symlink(usb / "sdb/sdb1", sys.path() / "dev/block/8:17");
    fs::create_symlink(virtualBlock / "dm-3", sys.path() / "dev/block/254:3");
    fs::create_symlink(virtualBlock / "md0", sys.path() / "dev/block/9:0");

    DiskEnumerator::WholeDisk card { "sdb", "/dev/sdb", 124735488ull * 512 };
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(8, 17), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(8, 16), sys.path()), card);
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(254, 3), sys.path()), card);
    // A RAID over several devices has no one disk below it: it is the whole disk.
    EXPECT_EQ(DiskEnumerator::wholeDisk(makedev(9, 0), sys.path()), (DiskEnumerator::WholeDisk { "md0", "/dev/md0", 2000 * 512 }));
    // tmpfs, overlay and btrfs subvolumes have device numbers with no block device.
    EXPECT_FALSE(DiskEnumerator::wholeDisk(makedev(0, 42), sys.path()));
}

TEST(DiskEnumeratorTest, LoopDeviceMountedHereIsFoundAndUnmounted)
{
    auto mkfs = ChildProcess::findProgram("mkfs.ext2");
    auto mount = ChildProcess::findProgram("mount");
    if (!mkfs || !mount)
        GTEST_SKIP() << "needs mkfs.ext2 and mount";
    TemporaryFolder folder;
    fs::path image = folder.path() / "card.img";
    std::ofstream(image).close();
    fs::resize_file(image, 4 * 1024 * 1024);
    auto made = ChildProcess::run({ *mkfs, "-q", "-F", "-L", "CARD", image.string() });
    ASSERT_TRUE(made && made->exitStatus == 0);
    auto loop = LoopDevice::attach(image);
    if (!loop)
        GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
    fs::path mountPoint = folder.path() / "CARD";
    fs::create_directory(mountPoint);
    auto mounted = ChildProcess::run({ *mount, "-o", "ro", loop->path(), mountPoint.string() });
    if (!mounted || mounted->exitStatus != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    // Whatever happens below, nothing stays mounted on the test's folder.
    struct Unmount {
        fs::path point;
        ~Unmount() { DiskEnumerator::runSystemProgram({ "umount", "-q", point.string() }); }
    } cleanup { mountPoint };

    auto whole = DiskEnumerator::wholeDisk(mountPoint / ".");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->identifier, loop->kernelName());
    EXPECT_EQ(whole->rawPath, loop->path());
    EXPECT_EQ(whole->size, 4u * 1024 * 1024);

    EXPECT_TRUE(DiskEnumerator::unmountDisk(loop->kernelName()));
    auto mounts = readWholeFile("/proc/self/mounts");
    EXPECT_EQ(std::string(mounts.begin(), mounts.end()).find(mountPoint.string()), std::string::npos) << "still mounted";
}
