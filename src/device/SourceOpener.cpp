#include "device/SourceOpener.hpp"

#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace brightfold {

ByteSourcePtr SourceOpener::open(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw DeviceError::cannotOpen(path, errno);
    switch (status.st_mode & S_IFMT) {
    case S_IFREG:
        return std::make_shared<FileSource>(path);
    default:
        throw DeviceError::notAFileOrDevice(path);
    }
}

}
