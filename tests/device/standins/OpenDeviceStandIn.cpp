// Stands in for the privileged-open tool in the raw device tests:
//   device_open_standin MODE PATH
// Standard output is the caller's socket. MODE says what comes back:
//   send        PATH opened read-only, passed as SCM_RIGHTS with one data byte
//   writable    PATH opened for reading and writing, passed the same way
//   two         PATH passed twice in one message
//   credentials one data byte with SCM_CREDENTIALS instead of a descriptor
//   data        one data byte and no control message
//   nothing     nothing; exits 127 as pkexec does when it cannot reach polkit

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const std::string_view mode = argv[1];
    if (mode == "nothing")
        return 127;
    const int fd = ::open(argv[2], mode == "writable" ? O_RDWR : O_RDONLY);
    const ucred credentials { ::getpid(), ::getuid(), ::getgid() };
    const int fds[2] { fd, fd };
    const size_t payloadSize = mode == "data" ? 0 : mode == "credentials" ? sizeof credentials : mode == "two" ? sizeof fds : sizeof fd;
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
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = mode == "credentials" ? SCM_CREDENTIALS : SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(payloadSize);
        std::memcpy(CMSG_DATA(header), mode == "credentials" ? static_cast<const void*>(&credentials) : fds, payloadSize);
    }
    return fd >= 0 && ::sendmsg(STDOUT_FILENO, &message, MSG_NOSIGNAL) == 1 ? 0 : 1;
}
