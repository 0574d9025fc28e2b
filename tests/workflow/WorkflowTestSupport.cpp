#include "WorkflowTestSupport.hpp"

#include "device/FileSource.hpp"

#include <QFile>

#include <fstream>

namespace brightfold::test {

/// A file source whose reads can be held by the fake, to stop a scan mid-way.
class HeldSource final : public ByteSource {
public:
    HeldSource(ByteSourcePtr inner, FakeDevices& devices) : m_inner(std::move(inner)), m_devices(devices) { }
    uint64_t size() const override { return m_inner->size(); }
    int64_t badReads() const override { return m_inner->badReads(); }
    std::string descriptionForReport() const override { return m_inner->descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        m_devices.waitIfHeld(offset);
        return m_inner->readInto(offset, buffer);
    }

private:
    ByteSourcePtr m_inner;
    FakeDevices& m_devices;
};

std::vector<ExternalDisk> FakeDevices::externalDisks(DiskImages images)
{
    std::lock_guard guard(m_lock);
    std::vector<ExternalDisk> disks = m_physical;
    if (images == DiskImages::included)
        disks.insert(disks.end(), m_images.begin(), m_images.end());
    return disks;
}

bool FakeDevices::unmountDisk(const std::string& identifier)
{
    std::lock_guard guard(m_lock);
    m_unmounted.push_back(identifier);
    return false;
}

ByteSourcePtr FakeDevices::open(const std::string& path)
{
    std::string file = path;
    {
        std::lock_guard guard(m_lock);
        if (m_openError)
            throw *m_openError;
        if (auto mapped = m_devices.find(path); mapped != m_devices.end())
            file = mapped->second;
    }
    return std::make_shared<HeldSource>(std::make_shared<FileSource>(file), *this);
}

void FakeDevices::setDisks(std::vector<ExternalDisk> physical, std::vector<ExternalDisk> images)
{
    std::lock_guard guard(m_lock);
    m_physical = std::move(physical);
    m_images = std::move(images);
}

void FakeDevices::mapDevice(const std::string& devicePath, const std::string& imagePath)
{
    std::lock_guard guard(m_lock);
    m_devices[devicePath] = imagePath;
}

void FakeDevices::failOpens(const DeviceError& error)
{
    std::lock_guard guard(m_lock);
    m_openError = error;
}

void FakeDevices::holdReadsFrom(uint64_t offset)
{
    std::lock_guard guard(m_lock);
    m_holdFrom = offset;
}

void FakeDevices::release()
{
    std::lock_guard guard(m_lock);
    m_holdFrom.reset();
    m_released.notify_all();
}

std::vector<std::string> FakeDevices::unmounted()
{
    std::lock_guard guard(m_lock);
    return m_unmounted;
}

void FakeDevices::waitIfHeld(uint64_t offset)
{
    std::unique_lock guard(m_lock);
    m_released.wait(guard, [&] { return !m_holdFrom || offset < *m_holdFrom; });
}

ExternalDisk card(const std::string& identifier, uint64_t size, const std::string& media, std::vector<std::string> volumes)
{
    return ExternalDisk { identifier, media, size, std::move(volumes) };
}

void writeCardImage(const std::string& path, int count, uint64_t size)
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

ScanSession sessionWith(ScanSession::Source source, const QDateTime& createdAt, int files, const std::string& name)
{
    ScanSession session { QUuid::createUuid(), createdAt, name, std::move(source), {} };
    session.report.sourceDescription = "/dev/sdz";
    for (int i = 0; i < files; ++i)
        session.report.files.push_back(CarvedFile { static_cast<uint64_t>(i) * 512, 1, "jpg", FormatCategory::photos,
            CarveConfidence::exact, "", "af63bd4c8601b7df" });
    return session;
}

TemporaryStore::TemporaryStore()
{
    qputenv("XDG_DATA_HOME", m_folder.path().toUtf8());
}

}
