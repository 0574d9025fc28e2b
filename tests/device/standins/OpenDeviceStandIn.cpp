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

namespace {

bool sendWithControl(int level, int type, const void* payload, size_t payloadSize)
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
    return ::sendmsg(STDOUT_FILENO, &message, MSG_NOSIGNAL) == 1;
}

}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    std::string_view mode = argv[1];
    const char* path = argv[2];
    if (mode == "nothing")
        return 127;
    if (mode == "data")
        return sendWithControl(0, 0, nullptr, 0) ? 0 : 1;
    if (mode == "credentials") {
        ucred credentials { ::getpid(), ::getuid(), ::getgid() };
        return sendWithControl(SOL_SOCKET, SCM_CREDENTIALS, &credentials, sizeof credentials) ? 0 : 1;
    }
    int fd = ::open(path, mode == "writable" ? O_RDWR : O_RDONLY);
    if (fd < 0)
        return 1;
    if (mode == "two") {
        int fds[2] { fd, fd };
        return sendWithControl(SOL_SOCKET, SCM_RIGHTS, fds, sizeof fds) ? 0 : 1;
    }
    return sendWithControl(SOL_SOCKET, SCM_RIGHTS, &fd, sizeof fd) ? 0 : 1;
}
