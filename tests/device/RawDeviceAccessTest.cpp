#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "device/BlockDeviceSource.hpp"
#include "device/RawDeviceAccess.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace brightfold::test {
namespace {

const std::string kStandIn = BRIGHTFOLD_OPEN_DEVICE_STANDIN;
const std::string kHelper = BRIGHTFOLD_OPEN_DEVICE_HELPER_BUILT;

/// True when this process has no child left, running or unreaped.
bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(RawDeviceAccessTest, OnlyOneReadOnlyDescriptorFromTheToolIsTaken)
{
    // "nothing" exits 127 as pkexec does when no polkit authority can be reached; the other
    // stand-ins send a data byte alone, credentials, two descriptors, or one open for writing.
    TemporaryFolder folder;
    const std::string path = (folder.path() / "card.img").string();
    writeWholeFile(path, { 'c', 'a', 'r', 'd' });
    const int before = openDescriptorCount();
    {
        UniqueFd fd = RawDeviceAccess::authopen(path, { kStandIn, "send" });
        EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
        EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    for (const char* mode : { "nothing", "data", "credentials", "two", "writable" }) {
        SCOPED_TRACE(mode);
        try {
            RawDeviceAccess::authopen(path, { kStandIn, mode });
            ADD_FAILURE() << "a descriptor was accepted";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.what(), "Authorization to read " + path + " was denied.");
        }
    }
    try {
        RawDeviceAccess::authopen(path, { (folder.path() / "no-such-tool").string() });
        ADD_FAILURE() << "a missing tool opened something";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_TRUE(noChildLeft());
    // pkexec starts its program in the administrator's home folder: a relative path reaches the tool made absolute.
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    EXPECT_NO_THROW(RawDeviceAccess::authopen("card.img", { "/usr/bin/env", "--chdir=/", kStandIn, "send" }));
    std::filesystem::current_path(previous);
}

TEST(RawDeviceAccessTest, RefusedOpenAsksTheToolOnceOrKeepsTheRefusal)
{
    // Root (as in CI) may open anything, so the check runs in a child that gives up root first.
    TemporaryFolder folder;
    const std::string path = (folder.path() / "card.img").string();
    writeWholeFile(path, { 'c' });
    ::chmod(folder.path().c_str(), 0755);
    ::chmod(path.c_str(), 0); // not even its owner may read it
    auto outcome = [&](const RawDeviceAccess::Tool& tool) {
        pid_t child = ::fork();
        if (child == 0) {
            if ((::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) || (tool.size() > 1 && ::access(tool.front().c_str(), X_OK) != 0))
                ::_exit(95); // or the build folder is closed to that user
            try {
                RawDeviceAccess::openReadOnly(path, tool);
            } catch (const DeviceError& error) {
                ::_exit(error.kind() == DeviceError::Kind::authorizationDenied ? 92 : error.code() == EACCES ? 93 : 94);
            }
            ::_exit(91);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (::geteuid() != 0 && ::access(path.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user may read a file of mode 0000";
    int escalated = outcome({ kStandIn, "send" }); // the stand-in runs as the same user and cannot open the file either
    if (escalated == 95)
        GTEST_SKIP() << "the stand-in cannot be run by an unprivileged user from this build folder";
    EXPECT_EQ(escalated, 92) << "the refused open did not escalate to the tool";
    EXPECT_EQ(outcome({ (folder.path() / "no-such-tool").string() }), 93) << "without a tool the refusal must stand";
}

TEST(RawDeviceAccessTest, HelperPassesABlockDeviceReadOnlyAndNothingElse)
{
    TemporaryFolder folder;
    const std::string file = (folder.path() / "card.img").string(), fifo = (folder.path() / "pipe").string(), link = (folder.path() / "link").string();
    writeWholeFile(file, std::vector<uint8_t>(64 * 1024, 'c'));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    // A named pipe must not stall the helper in open(): the test would hang.
    for (const std::string& path : { file, folder.path().string(), fifo, link, std::string("/dev/null"), file + ".missing" }) {
        SCOPED_TRACE(path);
        EXPECT_THROW(RawDeviceAccess::authopen(path, { kHelper }), DeviceError);
    }
    for (const auto& arguments : std::vector<std::vector<std::string>> { { kHelper }, { kHelper, "/dev/null", "/dev/null" }, { kHelper, "" } }) {
        auto result = ChildProcess::run(arguments);
        EXPECT_TRUE(result && result->exitStatus != 0 && result->output.empty()) << "the helper takes exactly one argument";
    }
    auto loop = LoopDevice::attach(file);
    if (!loop)
        GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
    UniqueFd fd = RawDeviceAccess::authopen(loop->path(), { kHelper });
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDONLY);
    EXPECT_EQ(BlockDeviceSource(std::move(fd), loop->path()).read(100, 3), std::vector<uint8_t>(3, 'c'));
    EXPECT_TRUE(noChildLeft());
}

}
}
