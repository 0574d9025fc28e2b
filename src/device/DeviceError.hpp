#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brightfold {

/// The device layer's errors. `what()` is the exact user-facing text.
class DeviceError : public std::runtime_error {
public:
    enum class Kind {
        cannotOpen,
        authorizationDenied,
        notAFileOrDevice,
        readFailed,
    };

    static DeviceError cannotOpen(const std::string& path, int underlying);
    static DeviceError authorizationDenied(const std::string& path);
    static DeviceError notAFileOrDevice(const std::string& path);
    static DeviceError readFailed(uint64_t offset, int error);

    Kind kind() const { return m_kind; }
    /// The path for the path-carrying cases, empty otherwise.
    const std::string& path() const { return m_path; }
    /// The errno value of `cannotOpen` (underlying) and `readFailed`; 0 otherwise.
    int code() const { return m_code; }
    /// The offset of `readFailed`; 0 otherwise.
    uint64_t offset() const { return m_offset; }

private:
    DeviceError(Kind kind, std::string message, std::string path, int code, uint64_t offset);

    Kind m_kind;
    std::string m_path;
    int m_code { 0 };
    uint64_t m_offset { 0 };
};

}
