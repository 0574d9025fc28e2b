// brightfold-open-device DEVICE
//
// Runs as root through pkexec. Opens one block device read-only and hands the open
// descriptor to the program that started it, as SCM_RIGHTS with one data byte over
// standard output (one end of a Unix socket pair), then exits. It refuses anything
// that is not a block device, judged on the opened descriptor, and sends nothing
// then. It never opens anything for writing and never runs another program.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;

int refuse(const char* reason)
{
    std::fprintf(stderr, "brightfold-open-device: %s\n", reason);
    return kRefused;
}

int refuseWithErrno(const char* what)
{
    std::fprintf(stderr, "brightfold-open-device: %s: %s\n", what, std::strerror(errno));
    return kRefused;
}

bool sendDescriptor(int socket, int fd)
{
    char data = 0;
    iovec vector { &data, 1 };
    union {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(int))];
    } control {};
    msghdr message {};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);

    ssize_t sent = -1;
    do {
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == 1;
}

}

int main(int argc, char** argv)
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: brightfold-open-device DEVICE\n");
        return kUsage;
    }

    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(argv[1], nullptr), &std::free);
    if (!resolved)
        return refuseWithErrno(argv[1]);

    // O_NONBLOCK so that a named pipe swapped in for the device cannot stall us in
    // open(); it is cleared again before the descriptor is handed over.
    int fd = ::open(resolved.get(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return refuseWithErrno(resolved.get());

    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return refuseWithErrno(resolved.get());
    if (!S_ISBLK(status.st_mode))
        return refuse("only block devices can be opened");

    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return refuseWithErrno(resolved.get());

    if (!sendDescriptor(STDOUT_FILENO, fd))
        return refuseWithErrno("cannot pass the descriptor on standard output");
    return EXIT_SUCCESS;
}
