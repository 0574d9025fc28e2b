#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"
#include "device/SimulatedDevice.hpp"

#include "device/RawDeviceAccess.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

namespace brightfold::test {
namespace {

const std::string kStandIn = BRIGHTFOLD_OPEN_DEVICE_STANDIN, kHelper = BRIGHTFOLD_OPEN_DEVICE_HELPER_BUILT;

TEST(RawDeviceAccessTest, OnlyOneReadOnlyDescriptorFromTheToolIsTaken)
{
    // "nothing" exits 127 as pkexec does when no polkit authority can be reached; the other stand-ins
    // send a data byte alone, credentials, two descriptors, or one open for writing.
    TemporaryFolder folder;
    const std::string path = (folder.path() / "card.img").string();
    writeWholeFile(path, { 'c' });
    const int before = openDescriptorCount();
    EXPECT_EQ(::fcntl(RawDeviceAccess::authopen(path, { kStandIn, "send" }).get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    for (const char* mode : { "nothing", "data", "credentials", "two", "writable" }) {
        try {
            RawDeviceAccess::authopen(path, { kStandIn, mode });
            ADD_FAILURE() << mode << ": a descriptor was accepted";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.what(), "Authorization to read " + path + " was denied.") << mode;
        }
    }
    EXPECT_THROW(RawDeviceAccess::authopen(path, { (folder.path() / "no-such-tool").string() }), DeviceError);
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) << "a child was left behind";
}

TEST(RawDeviceAccessTest, HelperPassesABlockDeviceReadOnlyAndNothingElse)
{
    TemporaryFolder folder;
    const std::string file = (folder.path() / "card.img").string(), fifo = (folder.path() / "pipe").string(), link = (folder.path() / "link").string();
    writeWholeFile(file, std::vector<uint8_t>(64 * 1024, 'c'));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    // A named pipe must not stall the helper in open(): the test would hang.
    for (const std::string& path : { file, folder.path().string(), fifo, link, std::string("/dev/null"), file + ".missing" })
        EXPECT_THROW(RawDeviceAccess::authopen(path, { kHelper }), DeviceError) << path;
    auto loop = LoopDevice::attach(file);
    if (!loop)
        SKIP_WITHOUT_CAPABILITY("losetup is not available or refused here (it needs root)");
    UniqueFd fd = RawDeviceAccess::authopen(loop->path(), { kHelper });
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDONLY);
    EXPECT_EQ(BlockDeviceSource(std::move(fd), loop->path()).read(100, 3), std::vector<uint8_t>(3, 'c'));
}

}
}
