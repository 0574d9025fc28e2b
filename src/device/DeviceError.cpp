#include "device/DeviceError.hpp"

#include <cstring>

namespace brightfold {

DeviceError::DeviceError(Kind kind, std::string message, std::string path, int code, uint64_t offset)
    : std::runtime_error(std::move(message))
    , m_kind(kind)
    , m_path(std::move(path))
    , m_code(code)
    , m_offset(offset)
{
}

DeviceError DeviceError::cannotOpen(const std::string& path, int underlying)
{
    return { Kind::cannotOpen, "Could not open " + path + ": " + std::strerror(underlying), path, underlying, 0 };
}

DeviceError DeviceError::authorizationDenied(const std::string& path)
{
    return { Kind::authorizationDenied, "Authorization to read " + path + " was denied.", path, 0, 0 };
}

DeviceError DeviceError::notAFileOrDevice(const std::string& path)
{
    return { Kind::notAFileOrDevice, path + " is not a readable file or device.", path, 0, 0 };
}

DeviceError DeviceError::readFailed(uint64_t offset, int error)
{
    return { Kind::readFailed, "Read failed at offset " + std::to_string(offset) + ": " + std::strerror(error), {}, error, offset };
}

}
