#pragma once

#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"
#include "workflow/DeviceAccess.hpp"
#include "workflow/ScanSession.hpp"

#include <QFile>
#include <QTemporaryDir>

#include <map>
#include <optional>

namespace brightfold::test {

/// Disks as a test sets them up before the model runs: two listings, device
/// paths mapped to image files, and an error for every open.
struct FakeDevices final : DeviceAccess {
    std::vector<ExternalDisk> physical;
    std::vector<ExternalDisk> images;
    std::map<std::string, std::string> devices;
    std::optional<DeviceError> openError;
    std::vector<std::string> unmounted;

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
    return std::make_shared<FileSource>(mapped == devices.end() ? path : mapped->second);
}

inline ExternalDisk card(const std::string& identifier, uint64_t size, const std::string& media, std::vector<std::string> volumes = {})
{
    return ExternalDisk { identifier, media, size, std::move(volumes) };
}

/// A disk image of `size` zero bytes with a small real PNG every 8 KiB, `count` times.
inline void writeCardImage(const std::string& path, int count, uint64_t size)
{
    QFile png(QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR "/images/gradient.png"));
    png.open(QIODevice::ReadOnly);
    QByteArray bytes = png.readAll();
    QFile image(QString::fromStdString(path));
    image.open(QIODevice::WriteOnly);
    image.resize(static_cast<qint64>(size));
    for (int i = 0; i < count; ++i) {
        image.seek(i * 8192);
        image.write(bytes);
    }
}

/// A session with `files` one-byte files.
inline ScanSession sessionWith(ScanSession::Source source, const QDateTime& createdAt, int files)
{
    ScanSession session { QUuid::createUuid(), createdAt, "EOS_DIGITAL", std::move(source), {} };
    for (int i = 0; i < files; ++i)
        session.report.files.push_back({ uint64_t(i) * 512, 1, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "af63bd4c8601b7df" });
    return session;
}

/// Points the store at a fresh folder.
struct TemporaryStore {
    TemporaryStore() { qputenv("XDG_DATA_HOME", folder.path().toUtf8()); }
    QTemporaryDir folder;
};

}
