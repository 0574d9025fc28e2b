#pragma once

#include "device/DeviceError.hpp"
#include "workflow/DeviceAccess.hpp"
#include "workflow/ScanSession.hpp"

#include <QTemporaryDir>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

namespace brightfold::test {

/// Disks and devices as a test sets them up: two listings, device paths mapped
/// to image files, an optional error for every open, and a gate that holds
/// reads past a given offset until released.
class FakeDevices final : public DeviceAccess {
public:
    std::vector<ExternalDisk> externalDisks(DiskImages images) override;
    bool unmountDisk(const std::string& identifier) override;
    ByteSourcePtr open(const std::string& path) override;

    void setDisks(std::vector<ExternalDisk> physical, std::vector<ExternalDisk> images = {});
    void mapDevice(const std::string& devicePath, const std::string& imagePath);
    void failOpens(const DeviceError& error);
    /// Reads at or after `offset` wait until release().
    void holdReadsFrom(uint64_t offset);
    void release();
    std::vector<std::string> unmounted();

private:
    friend class HeldSource;
    void waitIfHeld(uint64_t offset);

    std::mutex m_lock;
    std::condition_variable m_released;
    std::vector<ExternalDisk> m_physical;
    std::vector<ExternalDisk> m_images;
    std::map<std::string, std::string> m_devices;
    std::optional<DeviceError> m_openError;
    std::optional<uint64_t> m_holdFrom;
    std::vector<std::string> m_unmounted;
};

ExternalDisk card(const std::string& identifier, uint64_t size, const std::string& media, std::vector<std::string> volumes = {});

/// A disk image holding `count` copies of a small real PNG, one every 8 KiB
/// from 0, zero-padded to `size` bytes.
void writeCardImage(const std::string& path, int count, uint64_t size);

/// A stored session with `files` one-byte files.
ScanSession sessionWith(ScanSession::Source source, const QDateTime& createdAt, int files, const std::string& name = "EOS_DIGITAL");

/// Points the store at a fresh folder for as long as it lives.
class TemporaryStore {
public:
    TemporaryStore();
    QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
};

}
