#pragma once

#include "device/ByteSource.hpp"
#include "device/UniqueFd.hpp"

namespace brightfold {

/// A source over a regular file such as a disk image, opened read-only.
/// A read error is thrown (DeviceError::readFailed), never zero-filled; a file
/// that shrank after opening gives short reads.
class FileSource final : public ByteSource {
public:
    /// Throws DeviceError::cannotOpen; leaves no descriptor behind on failure.
    explicit FileSource(const std::string& path);

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return m_path; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override;
    bool allowsConcurrentReads() const override { return true; }

private:
    UniqueFd m_fd;
    uint64_t m_size { 0 };
    std::string m_path;
};

}
