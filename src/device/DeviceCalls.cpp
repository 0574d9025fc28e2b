#include "device/DeviceCalls.hpp"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

namespace brightfold {

ssize_t DeviceCalls::pread(int fd, void* buffer, size_t count, off_t offset)
{
    return ::pread(fd, buffer, count, offset);
}

int DeviceCalls::logicalBlockSize(int fd, int& bytes)
{
    return ::ioctl(fd, BLKSSZGET, &bytes);
}

int DeviceCalls::deviceSize(int fd, uint64_t& bytes)
{
    return ::ioctl(fd, BLKGETSIZE64, &bytes);
}

int DeviceCalls::fstat(int fd, struct stat& status)
{
    return ::fstat(fd, &status);
}

double DeviceCalls::seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<DeviceCalls> DeviceCalls::system()
{
    static const auto calls = std::make_shared<DeviceCalls>();
    return calls;
}

}
