#include "workflow/ScanSession.hpp"

#include "device/ByteCount.hpp"
#include "device/FileSource.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ScanSessionError.hpp"
#include "workflow/ScanStore.hpp"

#include <nlohmann/json.hpp>

#include <QRegularExpression>

#include <algorithm>
#include <filesystem>

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
    return { { "image", { { "path", image.path }, { "sizeBytes", image.sizeBytes } } } };
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
        return ScanSession::Image { stringMember(value, "path"), sizeMember(value, "sizeBytes") };
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
    uint64_t size = std::filesystem::file_size(absolute, error);
    ScanSession session;
    session.id = QUuid::createUuid();
    session.sourceName = absolute.filename().string();
    session.source = Image { absolute.string(), error ? 0 : size };
    return session;
}

ScanSession ScanSession::forSource(const std::string& path, DeviceAccess& devices)
{
    if (path.starts_with("/dev/")) {
        for (const ExternalDisk& disk : devices.externalDisks(DiskImages::included)) {
            if (disk.rawDevicePath() == path)
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
    auto opened = std::make_shared<FileSource>(path);
    if (opened->size() != image->sizeBytes)
        throw ScanSessionError::sourceMissing("The disk image has changed since the scan. Scan it again.");
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
