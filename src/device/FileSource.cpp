#include "device/FileSource.hpp"

#include "device/DeviceError.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace brightfold {

FileSource::FileSource(const std::string& path)
    : m_path(path)
{
    m_fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!m_fd)
        throw DeviceError::cannotOpen(path, errno);
    struct stat status {};
    if (::fstat(m_fd.get(), &status) != 0)
        throw DeviceError::cannotOpen(path, errno);
    m_size = static_cast<uint64_t>(std::max<off_t>(status.st_size, 0));
}

size_t FileSource::readInto(uint64_t offset, std::span<uint8_t> buffer)
{
    if (offset >= m_size)
        return 0;
    size_t wanted = std::min<uint64_t>(buffer.size(), m_size - offset);
    size_t done = 0;
    while (done < wanted) {
        ssize_t got = ::pread(m_fd.get(), buffer.data() + done, wanted - done, static_cast<off_t>(offset + done));
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got == 0)
            break; // the file shrank since it was opened
        if (errno == EINTR)
            continue;
        throw DeviceError::readFailed(offset + done, errno);
    }
    return done;
}

}
