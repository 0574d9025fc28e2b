#include "device/SourceOpener.hpp"

#include "device/BlockDeviceSource.hpp"
#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"
#include "device/RawDeviceAccess.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace brightfold {

ByteSourcePtr SourceOpener::open(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw DeviceError::cannotOpen(path, errno);
    switch (status.st_mode & S_IFMT) {
    case S_IFBLK:
    case S_IFCHR: {
        UniqueFd fd = RawDeviceAccess::openReadOnly(path);
        // Judge what was opened, not the path, which may have changed since stat.
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0)
            throw DeviceError::cannotOpen(path, errno);
        if (!S_ISBLK(opened.st_mode) && !S_ISCHR(opened.st_mode))
            throw DeviceError::notAFileOrDevice(path);
        return std::make_shared<BlockDeviceSource>(std::move(fd), path);
    }
    case S_IFREG:
        return std::make_shared<FileSource>(path);
    default:
        throw DeviceError::notAFileOrDevice(path);
    }
}

}
