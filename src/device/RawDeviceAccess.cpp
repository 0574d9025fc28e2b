#include "device/RawDeviceAccess.hpp"

#include "device/ChildProcess.hpp"
#include "device/DeviceError.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#ifndef BRIGHTFOLD_OPEN_DEVICE_HELPER
#define BRIGHTFOLD_OPEN_DEVICE_HELPER "/usr/local/libexec/brightfold-recover/brightfold-open-device"
#endif

namespace brightfold {

namespace {

constexpr const char* kPkexecPath = "/usr/bin/pkexec";
// Room for a few descriptors, so that a sender passing more than one cannot make
// the kernel drop the surplus unseen: every one that arrives is closed.
constexpr size_t kControlDescriptors = 4;

}

RawDeviceAccess::Tool RawDeviceAccess::privilegedOpenTool()
{
    return { kPkexecPath, BRIGHTFOLD_OPEN_DEVICE_HELPER };
}

UniqueFd RawDeviceAccess::openReadOnly(const std::string& path, const Tool& tool)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd)
        return fd;
    int refused = errno;
    if (refused != EACCES && refused != EPERM)
        throw DeviceError::cannotOpen(path, refused);
    // Without the tool there is nobody to ask: the refusal is the clearest answer.
    if (tool.empty() || ::access(tool.front().c_str(), X_OK) != 0)
        throw DeviceError::cannotOpen(path, refused);
    return authopen(path, tool);
}

UniqueFd RawDeviceAccess::authopen(const std::string& path, const Tool& tool)
{
    std::array<int, 2> pair {};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0)
        throw DeviceError::cannotOpen(path, errno);
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);

    // pkexec starts its program in the administrator's home folder, so the path
    // travels in absolute form. It is one argument of an argument vector: no shell
    // ever sees it.
    std::error_code ignored;
    std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    Tool arguments = tool;
    arguments.push_back(absolute.empty() ? path : absolute.string());

    int error = 0;
    std::optional<ChildProcess> child = ChildProcess::start(arguments, theirs.get(), -1, error);
    // Only the child holds the other end now: when it exits without sending, the
    // receive below sees the end of the stream instead of waiting forever.
    theirs.reset();
    if (!child)
        throw DeviceError::cannotOpen(path, error);

    std::optional<UniqueFd> received = receiveFD(ours.get());
    ours.reset();
    child->wait();
    if (!received)
        throw DeviceError::authorizationDenied(path);
    return std::move(*received);
}

std::optional<UniqueFd> RawDeviceAccess::receiveFD(int socket)
{
    char data = 0;
    iovec vector { &data, 1 };
    union {
        cmsghdr header;
        std::array<char, CMSG_SPACE(sizeof(int) * kControlDescriptors)> bytes;
    } control {};
    msghdr message {};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.bytes.data();
    message.msg_controllen = control.bytes.size();

    ssize_t got = -1;
    do {
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return std::nullopt;

    // Take ownership of every descriptor that arrived before judging the message.
    std::vector<UniqueFd> passed;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS || header->cmsg_len < CMSG_LEN(0))
            continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            passed.emplace_back(fd);
        }
    }

    cmsghdr* first = CMSG_FIRSTHDR(&message);
    if (first == nullptr || first->cmsg_level != SOL_SOCKET || first->cmsg_type != SCM_RIGHTS)
        return std::nullopt;
    if ((message.msg_flags & MSG_CTRUNC) != 0 || passed.size() != 1 || passed.front().get() <= 0)
        return std::nullopt;
    // Whatever sent it, this program only ever holds devices for reading.
    int flags = ::fcntl(passed.front().get(), F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY)
        return std::nullopt;
    return std::move(passed.front());
}

}
