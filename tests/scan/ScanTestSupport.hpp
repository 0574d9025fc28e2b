#pragma once

#include "device/BlockDeviceSource.hpp"
#include "device/DeviceAccess.hpp"
#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"
#include "scan/ScanSession.hpp"

#include <fcntl.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brightfold::test {

/// Disks as a test sets them up before the model runs: two listings, device
/// paths mapped to image files, and an error for every open.
struct FakeDevices final : DeviceAccess {
    std::vector<ExternalDisk> physical;
    std::vector<ExternalDisk> images;
    std::map<std::string, std::string> devices;
    std::optional<DeviceError> openError;
    std::vector<std::string> unmounted;
    bool blockDevices { false }; ///< open() gives block device sources over the files, as a card's are

    std::vector<ExternalDisk> externalDisks(DiskImages which) override
    {
        auto disks = physical;
        if (which == DiskImages::included)
            disks.insert(disks.end(), images.begin(), images.end());
        return disks;
    }
    bool unmountDisk(const std::string& identifier) override
    {
        unmounted.push_back(identifier);
        return false;
    }
    ByteSourcePtr open(const std::string& path) override;
};

inline ByteSourcePtr FakeDevices::open(const std::string& path)
{
    if (openError)
        throw *openError;
    auto mapped = devices.find(path);
    const std::string& file = mapped == devices.end() ? path : mapped->second;
    if (blockDevices)
        return std::make_shared<BlockDeviceSource>(UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), path);
    return std::make_shared<FileSource>(file);
}

inline ExternalDisk card(const std::string& identifier, uint64_t size, const std::string& media, std::vector<std::string> volumes = {})
{
    return ExternalDisk { identifier, media, size, std::move(volumes) };
}

/// A session with `files` one-byte files.
inline ScanSession sessionWith(ScanSession::Source source, ScanSession::Time createdAt, int files)
{
    ScanSession session { SessionId::generate(), createdAt, "EOS_DIGITAL", std::move(source), {} };
    for (int i = 0; i < files; ++i)
        session.report.files.push_back({ uint64_t(i) * 512, 1, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "af63bd4c8601b7df", {} });
    return session;
}

}
