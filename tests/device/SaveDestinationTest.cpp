#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"
#include "device/TemporaryMount.hpp"

#include "device/DestinationError.hpp"
#include "device/SaveDestination.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace fs = std::filesystem;

TEST(SaveDestinationTest, MountPointsAreFoundByDeviceNumber)
{
    // Recorded from /proc/self/mountinfo: a card's two partitions (one under a name with a space), the system disk.
    const char* mountinfo = "26 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
                            "97 26 179:1 / /media/ann/EOS_DIGITAL rw,nosuid shared:52 - vfat /dev/mmcblk0p1 rw,fmask=0022\n"
                            "98 26 179:2 / /media/ann/My\\040Card rw,nosuid shared:53 master:1 - exfat /dev/mmcblk0p2 rw\n"
                            "garbage\n";
    EXPECT_EQ(SaveDestination::mountPointsOf(mountinfo, { makedev(179, 0), makedev(179, 1), makedev(179, 2) }),
        (std::vector<fs::path> { "/media/ann/EOS_DIGITAL", "/media/ann/My Card" }));
    EXPECT_TRUE(SaveDestination::mountPointsOf(mountinfo, { makedev(8, 16) }).empty());
}

TEST(SaveDestinationTest, DiskDevicesIncludePartitionsAndWhatIsBuiltOnThem)
{
    // A sysfs tree as the kernel lays it out: sdb with partitions sdb1, sdb2; an encrypted volume dm-0 on sdb2.
    TemporaryFolder sys;
    auto device = [&](const fs::path& folder, const char* number) {
        fs::create_directories(sys.path() / folder);
        std::ofstream(sys.path() / folder / "dev") << number << "\n";
    };
    device("devices/usb/block/sdb", "8:16");
    device("devices/usb/block/sdb/sdb1", "8:17");
    device("devices/usb/block/sdb/sdb2", "8:18");
    device("devices/virtual/block/dm-0", "254:0");
    device("devices/usb/block/sdc", "8:32");
    for (const char* partition : { "sdb1", "sdb2" })
        std::ofstream(sys.path() / "devices/usb/block/sdb" / partition / "partition") << "1\n";
    fs::create_directories(sys.path() / "devices/usb/block/sdb/sdb2/holders");
    fs::create_directory_symlink(sys.path() / "devices/virtual/block/dm-0", sys.path() / "devices/usb/block/sdb/sdb2/holders/dm-0");
    fs::create_directories(sys.path() / "dev/block");
    for (auto [number, target] : { std::pair { "8:16", "usb/block/sdb" }, { "8:17", "usb/block/sdb/sdb1" }, { "8:32", "usb/block/sdc" } })
        fs::create_directory_symlink(sys.path() / "devices" / target, sys.path() / "dev/block" / number);

    std::vector<dev_t> card { makedev(8, 16), makedev(8, 17), makedev(8, 18), makedev(254, 0) };
    for (dev_t asked : { makedev(8, 16), makedev(8, 17) }) {
        SCOPED_TRACE(minor(asked));
        auto found = SaveDestination::devicesOnDisk(asked, sys.path());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, card);
    }
    EXPECT_EQ(SaveDestination::devicesOnDisk(makedev(8, 32), sys.path()), (std::vector<dev_t> { makedev(8, 32) }));
    EXPECT_EQ(SaveDestination::devicesOnDisk(makedev(1, 1), sys.path()), (std::vector<dev_t> { makedev(1, 1) }));
}

TEST(SaveDestinationTest, RefusesEveryWayOntoAMountedScannedCard)
{
    // Guards against saving onto the very card being recovered, which overwrites the deleted files.
    TemporaryFolder folder;
    fs::path image = folder.path() / "card.img";
    std::ofstream(image).close();
    fs::resize_file(image, 8 * 1024 * 1024);
    auto mkfs = ChildProcess::findProgram("mkfs.ext4");
    if (!mkfs || ChildProcess::run({ *mkfs, "-q", "-F", image.string() })->exitStatus != 0)
        SKIP_WITHOUT_CAPABILITY("mkfs.ext4 is not available to build a card");
    auto loop = LoopDevice::attach(image, 512, LoopDevice::Access::readWrite);
    if (!loop)
        SKIP_WITHOUT_CAPABILITY("cannot attach a loop device here (needs root and losetup)");
    TemporaryMount card(folder.path() / "card", loop->path(), "ext4", "");
    if (!card.mounted())
        SKIP_WITHOUT_CAPABILITY(card.reason());
    fs::create_directory(card.path() / "DCIM");
    fs::create_symlink(loop->path(), folder.path() / "card-link");

    struct Case {
        std::string source;
        fs::path destination;
    };
    const std::vector<Case> refused {
        { loop->path(), card.path() },
        { loop->path(), card.path() / "DCIM" },
        { loop->path(), card.path() / "recovered" / "not yet made" },
        { loop->path(), card.path() / "DCIM" / ".." / "x" },
        { (folder.path() / "card-link").string(), card.path() / "recovered" }, // another name for the card
        { image.string(), card.path() / "recovered" },                         // the image, written to through its mount
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.source + " -> " + c.destination.string());
        try {
            SaveDestination::check(c.source, c.destination);
            ADD_FAILURE() << "accepted";
        } catch (const DestinationError& error) {
            EXPECT_EQ(error.kind(), DestinationError::Kind::onScannedCard);
            EXPECT_EQ(std::string(error.what()), "That folder is on the card you're recovering from (" + c.source
                    + "). Saving there could overwrite the very files you want back. Choose a folder on another disk.");
        }
    }
    // Beside the image, on the disk that holds it, is fine.
    EXPECT_NO_THROW(SaveDestination::check(loop->path(), folder.path() / "recovered"));
    EXPECT_NO_THROW(SaveDestination::check(image.string(), folder.path() / "recovered"));
}

TEST(SaveDestinationTest, FileRangesOverlapOnlyOnTheSameFile)
{
    using File = SaveDestination::Card::File;
    struct Case {
        File a, b;
        bool overlap;
    };
    const std::vector<Case> cases {
        { { 1, 7, 0, std::nullopt }, { 1, 7, 1 << 20, std::nullopt }, true },
        { { 1, 7, 0, 1 << 20 }, { 1, 7, 1 << 20, std::nullopt }, false },  // side by side
        { { 1, 7, 0, (1 << 20) + 1 }, { 1, 7, 1 << 20, 512 }, true },       // one byte in common
        { { 1, 7, 4096, 512 }, { 1, 7, 0, std::nullopt }, true },
        { { 1, 7, UINT64_MAX - 10, 100 }, { 1, 7, 0, 1 }, false },        // a length past the end of the numbers
        { { 1, 7, 0, std::nullopt }, { 1, 8, 0, std::nullopt }, false },    // another file
        { { 1, 7, 0, std::nullopt }, { 2, 7, 0, std::nullopt }, false },    // the same inode on another file system
        { { 1, 7, 0, 0 }, { 1, 7, 0, std::nullopt }, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.a.offset) + "+" + std::to_string(c.a.length.value_or(0)) + " against " + std::to_string(c.b.offset));
        EXPECT_EQ(c.a.overlaps(c.b), c.overlap);
        EXPECT_EQ(c.b.overlaps(c.a), c.overlap);
    }
}

TEST(SaveDestinationTest, AnotherLoopDeviceOverTheSameImageIsTheSameCard)
{
    // Guards against a second loop device over the scanned image (at another offset, as a partition is
    // reached without partition scanning) letting files be saved into the image, and against a scan's
    // own folder on the card.
    TemporaryFolder folder;
    fs::path image = folder.path() / "card.img";
    std::ofstream(image).close();
    fs::resize_file(image, 16 * 1024 * 1024);
    auto mkfs = ChildProcess::findProgram("mkfs.ext4");
    if (!mkfs)
        SKIP_WITHOUT_CAPABILITY("mkfs.ext4 is not available to build a card");
    auto scanned = LoopDevice::attach(image, 512, LoopDevice::Access::readOnly);
    auto partition = LoopDevice::attach(image, 512, LoopDevice::Access::readWrite, 1 << 20);
    auto besideIt = LoopDevice::attach(image, 512, LoopDevice::Access::readOnly, 0, 1 << 20); // the first MiB only
    if (!scanned || !partition || !besideIt)
        SKIP_WITHOUT_CAPABILITY("cannot attach loop devices here (needs root and losetup)");
    if (ChildProcess::run({ *mkfs, "-q", "-F", partition->path() })->exitStatus != 0)
        SKIP_WITHOUT_CAPABILITY("mkfs.ext4 failed");
    TemporaryMount mounted(folder.path() / "mounted", partition->path(), "ext4", "");
    if (!mounted.mounted())
        SKIP_WITHOUT_CAPABILITY(mounted.reason());

    for (const std::string& source : { scanned->path(), image.string() }) {
        SCOPED_TRACE(source);
        EXPECT_THROW(SaveDestination::check(source, mounted.path() / "recovered"), DestinationError);
        auto card = SaveDestination::cardOf(source);
        EXPECT_FALSE(card.files.empty());
        try {
            SaveDestination::checkScanFolder(source, mounted.path() / "Brightfold Scan 2026-12-07T10-00-00Z", false);
            ADD_FAILURE() << "the default scan folder on the card was accepted";
        } catch (const DestinationError& error) {
            EXPECT_EQ(error.kind(), DestinationError::Kind::defaultFolderOnScannedCard);
            EXPECT_NE(std::string(error.what()).find("(" + source + ")"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("--out"), std::string::npos) << error.what();
        }
        EXPECT_THROW(SaveDestination::checkScanFolder(source, mounted.path() / "out", true), DestinationError);
        EXPECT_NO_THROW(SaveDestination::check(source, folder.path() / "recovered"));
    }
    // A loop device over another part of the file shows other bytes: saving from it onto the mount is fine.
    EXPECT_NO_THROW(SaveDestination::check(besideIt->path(), mounted.path() / "recovered"));
}
