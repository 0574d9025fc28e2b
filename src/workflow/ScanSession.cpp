#include "workflow/ScanSession.hpp"

#include "device/ByteCount.hpp"
#include "device/FileSource.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ScanSessionError.hpp"
#include "workflow/ScanStore.hpp"

#include <nlohmann/json.hpp>

#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace brightfold {

namespace {

using nlohmann::json;

const json& member(const json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end())
        throw ScanSessionError::badRecord("The stored scan is missing \"" + std::string(key) + "\".");
    return *found;
}

[[noreturn]] void wrongType(const char* key, const char* expected)
{
    throw ScanSessionError::badRecord("The stored scan's \"" + std::string(key) + "\" is not " + expected + ".");
}

std::string stringMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    if (!value.is_string())
        wrongType(key, "a string");
    return value.get<std::string>();
}

uint64_t sizeMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    // nlohmann reads -1 as a huge unsigned number and 1.5 as 1: check the kind first.
    if (!value.is_number_unsigned())
        wrongType(key, "a whole number of 0 or more");
    return value.get<uint64_t>();
}

const json& objectMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    if (!value.is_object())
        wrongType(key, "an object");
    return value;
}

json encodeSource(const ScanSession::Source& source)
{
    if (const auto* disk = std::get_if<ScanSession::Disk>(&source))
        return { { "disk", { { "deviceIdentifier", disk->deviceIdentifier }, { "sizeBytes", disk->sizeBytes },
                                 { "mediaName", disk->mediaName }, { "volumeNames", disk->volumeNames } } } };
    const auto& image = std::get<ScanSession::Image>(source);
    json value { { "path", image.path }, { "sizeBytes", image.sizeBytes } };
    if (image.identity) {
        value["device"] = image.identity->device;
        value["inode"] = image.identity->inode;
        value["modifiedNanoseconds"] = image.identity->modifiedNanoseconds;
    }
    return { { "image", value } };
}

ScanSession::Source decodeSource(const json& object)
{
    if (object.size() != 1)
        throw ScanSessionError::badRecord("The stored scan's \"source\" must name exactly one kind of source.");
    if (object.contains("disk")) {
        const json& value = objectMember(object, "disk");
        ScanSession::Disk disk { stringMember(value, "deviceIdentifier"), sizeMember(value, "sizeBytes"),
            stringMember(value, "mediaName"), {} };
        const json& names = member(value, "volumeNames");
        if (!names.is_array())
            wrongType("volumeNames", "a list");
        for (const json& name : names) {
            if (!name.is_string())
                wrongType("volumeNames", "a list of strings");
            disk.volumeNames.push_back(name.get<std::string>());
        }
        return disk;
    }
    if (object.contains("image")) {
        const json& value = objectMember(object, "image");
        ScanSession::Image image { stringMember(value, "path"), sizeMember(value, "sizeBytes") };
        // Records made before images were told apart by more than their size have none.
        if (value.contains("device") || value.contains("inode") || value.contains("modifiedNanoseconds")) {
            const json& modified = member(value, "modifiedNanoseconds");
            if (!modified.is_number_integer() || (modified.is_number_unsigned() && modified.get<uint64_t>() > INT64_MAX))
                wrongType("modifiedNanoseconds", "a whole number");
            image.identity = ScanSessionImageIdentity { sizeMember(value, "device"), sizeMember(value, "inode"), modified.get<int64_t>() };
        }
        return image;
    }
    throw ScanSessionError::badRecord("The stored scan's \"source\" is neither a disk nor a disk image.");
}

QDateTime decodeDate(const std::string& text)
{
    // Whole seconds and an explicit zone; a time without one would be read as local.
    static const QRegularExpression kForm(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$)"));
    QString value = QString::fromStdString(text);
    QDateTime time = kForm.match(value).hasMatch() ? QDateTime::fromString(value, Qt::ISODate) : QDateTime();
    if (!time.isValid())
        wrongType("createdAt", "an ISO 8601 date and time such as 2026-03-01T14:05:09Z");
    return time.toUTC();
}

std::string escapeSlashes(const std::string& text)
{
    // A "/" can only occur inside a string of the dumped text.
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

json reportObject(const CarveReport& report)
{
    return json::parse(report.toJson());
}

/// The size of the block device `status` describes, from sysfs (no need to open
/// it, which may not be permitted); 0 when unknown.
uint64_t blockDeviceSize(const struct stat& status)
{
    std::ifstream in("/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev)) + "/size");
    uint64_t sectors = 0;
    constexpr uint64_t kSysfsSectorBytes = 512; // sysfs counts 512-byte units whatever the device's block size
    return in >> sectors && sectors <= UINT64_MAX / kSysfsSectorBytes ? sectors * kSysfsSectorBytes : 0;
}

bool isBlockDevice(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}

}

std::optional<ScanSessionImageIdentity> ScanSessionImageIdentity::of(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return ScanSessionImageIdentity { static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec };
}

std::string isoDateText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate).toStdString();
}

std::string ScanSession::idText() const
{
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

std::optional<ExternalDisk> ScanSession::currentDisk(DeviceAccess& devices, DiskImages images) const
{
    const auto* disk = std::get_if<Disk>(&source);
    if (!disk)
        return std::nullopt;
    std::vector<ExternalDisk> listed = devices.externalDisks(images);
    auto sameName = std::find_if(listed.begin(), listed.end(), [&](const ExternalDisk& candidate) {
        return candidate.deviceIdentifier == disk->deviceIdentifier && candidate.sizeBytes == disk->sizeBytes;
    });
    if (sameName != listed.end())
        return *sameName;
    auto sameModel = std::find_if(listed.begin(), listed.end(), [&](const ExternalDisk& candidate) {
        return candidate.sizeBytes == disk->sizeBytes && candidate.mediaName == disk->mediaName;
    });
    if (sameModel != listed.end())
        return *sameModel;
    return std::nullopt;
}

ScanSession ScanSession::forDisk(const ExternalDisk& disk)
{
    ScanSession session;
    session.id = QUuid::createUuid();
    session.sourceName = disk.displayName();
    session.source = Disk { disk.deviceIdentifier, disk.sizeBytes, disk.mediaName, disk.volumeNames };
    return session;
}

ScanSession ScanSession::forImage(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        absolute = path;
    ScanSession session;
    session.id = QUuid::createUuid();
    session.sourceName = absolute.filename().string();
    struct stat status {};
    if (::stat(absolute.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
        session.source = Image { absolute.string(), blockDeviceSize(status) };
        return session;
    }
    uint64_t size = std::filesystem::file_size(absolute, error);
    session.source = Image { absolute.string(), error ? 0 : size, ScanSessionImageIdentity::of(absolute.string()) };
    return session;
}

ScanSession ScanSession::forSource(const std::string& path, DeviceAccess& devices)
{
    struct stat status {};
    const bool device = ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
    if (path.starts_with("/dev/") || device) {
        for (const ExternalDisk& disk : devices.externalDisks(DiskImages::included)) {
            struct stat listed {};
            if (disk.rawDevicePath() == path
                || (device && ::stat(disk.rawDevicePath().c_str(), &listed) == 0 && S_ISBLK(listed.st_mode) && listed.st_rdev == status.st_rdev))
                return forDisk(disk);
        }
    }
    return forImage(path);
}

QDateTime ScanSession::now()
{
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
}

std::string ScanSession::sourcePath(DeviceAccess& devices, DiskImages images) const
{
    if (const auto* image = std::get_if<Image>(&source)) {
        std::error_code error;
        if (!std::filesystem::exists(image->path, error))
            throw ScanSessionError::sourceMissing("The disk image " + std::filesystem::path(image->path).filename().string()
                + " isn't where it was. Move it back, or scan it again.");
        return image->path;
    }
    const auto& disk = std::get<Disk>(source);
    std::optional<ExternalDisk> current = currentDisk(devices, images);
    if (!current)
        throw ScanSessionError::sourceMissing(
            "Insert the card you scanned (" + sourceName + ", " + formatByteCount(disk.sizeBytes) + ") and try again.");
    return current->rawDevicePath();
}

ByteSourcePtr ScanSession::openSource(DeviceAccess& devices, DiskImages images) const
{
    std::string path = sourcePath(devices, images);
    const auto* image = std::get_if<Image>(&source);
    if (!image)
        return devices.open(path);
    const auto changed = [] { return ScanSessionError::sourceMissing("The disk image has changed since the scan. Scan it again."); };
    // A device node chosen as an image is read as the device it is.
    ByteSourcePtr opened = isBlockDevice(path) ? devices.open(path) : std::make_shared<FileSource>(path);
    if (opened->size() != image->sizeBytes)
        throw changed();
    // A change that keeps the size (a byte written into the image, another file put
    // in its place) shows in its modification time or inode.
    if (image->identity && ScanSessionImageIdentity::of(path) != image->identity)
        throw changed();
    return opened;
}

std::string ScanSession::toJson() const
{
    json record {
        { "id", idText() },
        { "createdAt", isoDateText(createdAt) },
        { "sourceName", sourceName },
        { "source", encodeSource(source) },
        { "report", reportObject(report) },
    };
    return escapeSlashes(record.dump(-1, ' ', false, json::error_handler_t::replace));
}

ScanSession ScanSession::fromJson(std::string_view text)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception&) {
        throw ScanSessionError::badRecord("The stored scan is not valid JSON.");
    }
    if (!root.is_object())
        throw ScanSessionError::badRecord("The stored scan is not a JSON object.");
    ScanSession session;
    std::string idText = stringMember(root, "id");
    session.id = QUuid::fromString(QString::fromStdString(idText));
    if (idText.size() != 36 || session.id.isNull())
        wrongType("id", "a UUID");
    session.createdAt = decodeDate(stringMember(root, "createdAt"));
    session.sourceName = stringMember(root, "sourceName");
    session.source = decodeSource(objectMember(root, "source"));
    try {
        session.report = CarveReport::fromJson(objectMember(root, "report").dump());
    } catch (const ReportFormatError& error) {
        throw ScanSessionError::badRecord(error.what());
    }
    return session;
}

nlohmann::json ScanSession::summaryJson(const std::filesystem::path& folder) const
{
    return {
        { "id", idText() },
        { "createdAt", isoDateText(createdAt) },
        { "sourceName", sourceName },
        { "source", encodeSource(source) },
        { "filesFound", report.files.size() },
        { "cancelled", report.cancelled },
        { "folder", folder.string() },
    };
}

std::optional<std::filesystem::path> ScanSession::previewURL(const CarvedFile& file) const
{
    std::filesystem::path path = PreviewMaker::previewPath(QString::fromStdString(ScanStore::folder(*this).string()), file).toStdString();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return std::nullopt;
    return path;
}

}
