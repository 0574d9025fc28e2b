#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>

namespace brightfold {

/// The system calls through which a BlockDeviceSource learns a device's geometry
/// and reads it. The default forwards to the kernel; tests put a simulated device
/// (failing blocks, short reads, interrupted calls) behind the same interface.
/// Each call reports failure as the system call does: -1 with errno set.
class DeviceCalls {
public:
    virtual ~DeviceCalls() = default;

    /// pread(2): a positioned read that leaves no file position behind.
    virtual ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
    /// ioctl(BLKSSZGET): the device's logical block size in bytes.
    virtual int logicalBlockSize(int fd, int& bytes);
    /// ioctl(BLKGETSIZE64): the device's size in bytes.
    virtual int deviceSize(int fd, uint64_t& bytes);
    /// fstat(2).
    virtual int fstat(int fd, struct stat& status);

    /// Seconds on a monotonic clock, for the time budgets of bad areas. A simulated
    /// device counts its own time instead (what its failed reads would cost).
    virtual double seconds();

    /// The calls as the kernel answers them.
    static std::shared_ptr<DeviceCalls> system();
};

}
