#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "device/BlockDeviceSource.hpp"
#include "device/DeviceError.hpp"
#include "device/RawDeviceAccess.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

const std::string kStandIn = BRIGHTFOLD_OPEN_DEVICE_STANDIN;
const std::string kHelper = BRIGHTFOLD_OPEN_DEVICE_HELPER_BUILT;

std::string writeFile(const TemporaryFolder& folder, const std::string& name, const std::string& text)
{
    auto path = folder.path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

std::string contentsOf(int fd)
{
    std::array<char, 64> buffer {};
    ssize_t got = ::pread(fd, buffer.data(), buffer.size(), 0);
    return got > 0 ? std::string(buffer.data(), static_cast<size_t>(got)) : std::string();
}

/// True when this process has no child left, running or unreaped.
bool noChildLeft()
{
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

/// A connected socket pair: what one end sends, receiveFD reads from the other.
struct SocketPair {
    SocketPair()
    {
        std::array<int, 2> pair {};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()), 0);
        receiving = UniqueFd(pair[0]);
        sending = UniqueFd(pair[1]);
    }

    void send(int level, int type, const void* payload, size_t payloadSize)
    {
        char data = 'x';
        iovec vector { &data, 1 };
        std::vector<char> control(CMSG_SPACE(payloadSize));
        msghdr message {};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        if (payloadSize > 0) {
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = level;
            header->cmsg_type = type;
            header->cmsg_len = CMSG_LEN(payloadSize);
            std::memcpy(CMSG_DATA(header), payload, payloadSize);
        }
        EXPECT_EQ(::sendmsg(sending.get(), &message, MSG_NOSIGNAL), 1);
    }
    void sendDescriptors(std::vector<int> fds) { send(SOL_SOCKET, SCM_RIGHTS, fds.data(), fds.size() * sizeof(int)); }

    UniqueFd receiving;
    UniqueFd sending;
};

}

TEST(RawDeviceAccessTest, AnythingButOneReadOnlyDescriptorIsNoDescriptorAndLeaksNothing)
{
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    UniqueFd readOnly(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd writable(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct Case {
        const char* name;
        std::function<void(SocketPair&)> send;
    };
    const std::vector<Case> cases {
        { "the sender closed without sending", [](SocketPair& pair) { pair.sending.reset(); } },
        { "a data byte alone", [](SocketPair& pair) { pair.send(0, 0, nullptr, 0); } },
        { "credentials instead of a descriptor",
            [](SocketPair& pair) {
                int on = 1;
                ::setsockopt(pair.receiving.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
                ucred credentials { ::getpid(), ::getuid(), ::getgid() };
                pair.send(SOL_SOCKET, SCM_CREDENTIALS, &credentials, sizeof credentials);
            } },
        // With credentials passing on, they come first and the descriptor second: the
        // first control message decides, and the descriptor that came along is closed.
        { "a descriptor behind credentials",
            [&](SocketPair& pair) {
                int on = 1;
                ::setsockopt(pair.receiving.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
                pair.sendDescriptors({ readOnly.get() });
            } },
        { "two descriptors", [&](SocketPair& pair) { pair.sendDescriptors({ readOnly.get(), readOnly.get() }); } },
        { "a descriptor open for writing", [&](SocketPair& pair) { pair.sendDescriptors({ writable.get() }); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        int before = openDescriptorCount();
        c.send(pair);
        int afterSending = openDescriptorCount();
        EXPECT_FALSE(RawDeviceAccess::receiveFD(pair.receiving.get()));
        EXPECT_EQ(openDescriptorCount(), std::min(before, afterSending)) << "a passed descriptor was left open";
    }
}

TEST(RawDeviceAccessTest, PrivilegedOpenTakesTheDescriptorTheToolSends)
{
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    int before = openDescriptorCount();
    {
        UniqueFd fd = RawDeviceAccess::authopen(path, { kStandIn, "send" });
        EXPECT_EQ(contentsOf(fd.get()), "card bytes");
        EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
        EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_TRUE(noChildLeft());
}

TEST(RawDeviceAccessTest, PrivilegedOpenWithoutADescriptorIsAuthorizationDenied)
{
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    // "nothing" exits 127 as pkexec does when no polkit authority can be reached.
    for (const char* mode : { "nothing", "data", "credentials", "two", "writable" }) {
        SCOPED_TRACE(mode);
        int before = openDescriptorCount();
        try {
            RawDeviceAccess::authopen(path, { kStandIn, mode });
            ADD_FAILURE() << "a descriptor was accepted";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.kind(), DeviceError::Kind::authorizationDenied);
            EXPECT_EQ(error.what(), "Authorization to read " + path + " was denied.");
        }
        EXPECT_EQ(openDescriptorCount(), before);
        EXPECT_TRUE(noChildLeft());
    }
}

TEST(RawDeviceAccessTest, ToolThatCannotStartIsCannotOpenWithTheSpawnError)
{
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    int before = openDescriptorCount();
    try {
        RawDeviceAccess::authopen(path, { (folder.path() / "no-such-tool").string() });
        FAIL() << "a missing tool opened something";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.kind(), DeviceError::Kind::cannotOpen);
        EXPECT_EQ(error.code(), ENOENT);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_TRUE(noChildLeft());
}

TEST(RawDeviceAccessTest, RelativePathsReachTheToolInAbsoluteForm)
{
    // pkexec starts its program in the administrator's home folder.
    TemporaryFolder folder;
    writeFile(folder, "card.img", "card bytes");
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    std::optional<UniqueFd> fd;
    try {
        fd = RawDeviceAccess::authopen("card.img", { "/usr/bin/env", "--chdir=/", kStandIn, "send" });
    } catch (const DeviceError&) {
    }
    std::filesystem::current_path(previous);
    ASSERT_TRUE(fd);
    EXPECT_EQ(contentsOf(fd->get()), "card bytes");
}

TEST(RawDeviceAccessTest, OrdinaryOpenNeedsNoTool)
{
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    UniqueFd fd = RawDeviceAccess::openReadOnly(path, { (folder.path() / "no-such-tool").string() });
    EXPECT_EQ(contentsOf(fd.get()), "card bytes");
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    try {
        RawDeviceAccess::openReadOnly((folder.path() / "missing").string());
        FAIL();
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.kind(), DeviceError::Kind::cannotOpen);
        EXPECT_EQ(error.code(), ENOENT);
    }
}

TEST(RawDeviceAccessTest, RefusedOpenAsksTheToolOnceOrKeepsTheRefusal)
{
    // Runs as a user without access: root (as here and in CI) may open anything, so the
    // check runs in a child that gives up root first.
    TemporaryFolder folder;
    std::string path = writeFile(folder, "card.img", "card bytes");
    ::chmod(folder.path().c_str(), 0755);
    ::chmod(path.c_str(), 0); // not even its owner may read it
    auto outcome = [&](const RawDeviceAccess::Tool& tool) -> int {
        pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(90);
            if (tool.size() > 1 && ::access(tool.front().c_str(), X_OK) != 0)
                ::_exit(95); // the build folder is closed to that user
            try {
                RawDeviceAccess::openReadOnly(path, tool);
                ::_exit(91);
            } catch (const DeviceError& error) {
                if (error.kind() == DeviceError::Kind::authorizationDenied)
                    ::_exit(92);
                if (error.kind() == DeviceError::Kind::cannotOpen && error.code() == EACCES)
                    ::_exit(93);
            }
            ::_exit(94);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (::geteuid() != 0 && ::access(path.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user may read a file of mode 0000";
    // The stand-in runs as the same user and cannot open the file either: nothing is sent.
    int escalated = outcome({ kStandIn, "send" });
    if (escalated == 95)
        GTEST_SKIP() << "the stand-in cannot be run by an unprivileged user from this build folder";
    EXPECT_EQ(escalated, 92) << "the refused open did not escalate to the tool";
    EXPECT_EQ(outcome({ (folder.path() / "no-such-tool").string() }), 93) << "without a tool the refusal must stand";
}

TEST(RawDeviceAccessTest, HelperRefusesEverythingButABlockDevice)
{
    TemporaryFolder folder;
    std::string file = writeFile(folder, "card.img", "card bytes");
    std::string fifo = (folder.path() / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string link = (folder.path() / "link").string();
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    // A named pipe must not stall the helper in open(): the test would hang.
    for (const std::string& path : { file, folder.path().string(), fifo, link, std::string("/dev/null"), (folder.path() / "missing").string() }) {
        SCOPED_TRACE(path);
        EXPECT_THROW(RawDeviceAccess::authopen(path, { kHelper }), DeviceError);
        EXPECT_TRUE(noChildLeft());
    }
}

TEST(RawDeviceAccessTest, HelperTakesExactlyOneArgument)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>> { { kHelper }, { kHelper, "/dev/null", "/dev/null" }, { kHelper, "" } }) {
        SCOPED_TRACE(arguments.size());
        auto result = ChildProcess::run(arguments);
        ASSERT_TRUE(result);
        EXPECT_NE(result->exitStatus, 0);
        EXPECT_TRUE(result->output.empty());
    }
}

TEST(RawDeviceAccessTest, HelperPassesALoopDeviceReadOnly)
{
    TemporaryFolder folder;
    std::string image = writeFile(folder, "card.img", std::string(64 * 1024, 'c'));
    auto loop = LoopDevice::attach(image);
    if (!loop)
        GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
    std::string link = (folder.path() / "card-link").string();
    ASSERT_EQ(::symlink(loop->path().c_str(), link.c_str()), 0);
    for (const std::string& path : { loop->path(), link }) {
        SCOPED_TRACE(path);
        UniqueFd fd = RawDeviceAccess::authopen(path, { kHelper });
        struct stat status {};
        ASSERT_EQ(::fstat(fd.get(), &status), 0);
        EXPECT_TRUE(S_ISBLK(status.st_mode));
        int flags = ::fcntl(fd.get(), F_GETFL);
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
        EXPECT_EQ(flags & O_NONBLOCK, 0);
        BlockDeviceSource source(std::move(fd), path);
        EXPECT_EQ(source.size(), 64u * 1024);
        EXPECT_EQ(source.read(100, 3), std::vector<uint8_t>(3, 'c'));
    }
    EXPECT_TRUE(noChildLeft());
}
