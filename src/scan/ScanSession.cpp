#include "scan/ScanSession.hpp"

#include "device/ByteCount.hpp"
#include "device/FileSource.hpp"
#include "scan/RecordJson.hpp"
#include "scan/ScanSessionError.hpp"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace brightfold {

namespace {

using nlohmann::json;
using namespace record;

/// The decimal number in text[at, at + count), or -1 when a character is not a digit.
int digitsAt(std::string_view text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
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

std::string isoDateText(ScanSession::Time time)
{
    using namespace std::chrono;
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss<seconds> clock(time - day);
    char text[32] {};
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
        static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()));
    return text;
}

std::optional<ScanSession::Time> parseIsoDate(std::string_view text)
{
    using namespace std::chrono;
    // 2026-03-01T14:05:09 then Z, or a zone of +hh:mm or -hh:mm.
    constexpr size_t kClockEnd = 19;
    if (text.size() != kClockEnd + 1 && text.size() != kClockEnd + 6)
        return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const int yearValue = digitsAt(text, 0, 4), monthValue = digitsAt(text, 5, 2), dayValue = digitsAt(text, 8, 2);
    const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
    if (yearValue < 0 || monthValue < 0 || dayValue < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    const year_month_day date { year(yearValue), month(static_cast<unsigned>(monthValue)), day(static_cast<unsigned>(dayValue)) };
    if (!date.ok())
        return std::nullopt;
    seconds offset { 0 };
    if (text.size() == kClockEnd + 1) {
        if (text[kClockEnd] != 'Z')
            return std::nullopt;
    } else {
        const char sign = text[kClockEnd];
        const int zoneHours = digitsAt(text, kClockEnd + 1, 2), zoneMinutes = digitsAt(text, kClockEnd + 4, 2);
        if ((sign != '+' && sign != '-') || text[kClockEnd + 3] != ':' || zoneHours < 0 || zoneHours > 23 || zoneMinutes < 0
            || zoneMinutes > 59)
            return std::nullopt;
        offset = hours(zoneHours) + minutes(zoneMinutes);
        if (sign == '-')
            offset = -offset;
    }
    // A local time at +hh:mm is that much ahead of UTC.
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second) - offset;
}

std::string ScanSession::idText() const
{
    return id.text();
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
    session.id = SessionId::generate();
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
    session.id = SessionId::generate();
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

ScanSession::Time ScanSession::now()
{
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

bool ScanSession::copyUsable() const
{
    if (!copy)
        return false;
    std::error_code error;
    const auto size = std::filesystem::file_size(copy->path, error);
    return !error && size == copy->sizeBytes && ScanSessionImageIdentity::of(copy->path) == copy->identity;
}

std::string ScanSession::sourcePath(DeviceAccess& devices, DiskImages images) const
{
    if (copyUsable())
        return copy->path;
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
    if (copyUsable() && path == copy->path) {
        ByteSourcePtr copied = std::make_shared<FileSource>(path);
        copied->avoid(report.unreadableAreas);
        return copied;
    }
    const auto* image = std::get_if<Image>(&source);
    if (!image) {
        // What the scan could not read is not tried again: a failing card gives it as zeros.
        ByteSourcePtr card = devices.open(path);
        card->avoid(report.unreadableAreas);
        return card;
    }
    const auto changed = [] { return ScanSessionError::sourceMissing("The disk image has changed since the scan. Scan it again."); };
    // A device node chosen as an image is read as the device it is.
    ByteSourcePtr opened = isBlockDevice(path) ? devices.open(path) : std::make_shared<FileSource>(path);
    if (opened->size() != image->sizeBytes)
        throw changed();
    // A change that keeps the size (a byte written into the image, another file put
    // in its place) shows in its modification time or inode.
    if (image->identity && ScanSessionImageIdentity::of(path) != image->identity)
        throw changed();
    opened->avoid(report.unreadableAreas);
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
    if (copy)
        record["copy"] = encodeSource(*copy);
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
    session.id = idMember(root, "id");
    session.createdAt = dateMember(root, "createdAt");
    session.sourceName = stringMember(root, "sourceName");
    session.source = decodeSource(objectMember(root, "source"));
    try {
        session.report = CarveReport::fromJson(objectMember(root, "report").dump());
    } catch (const ReportFormatError& error) {
        throw ScanSessionError::badRecord(error.what());
    }
    if (root.contains("copy")) {
        const json& copy = objectMember(root, "copy");
        if (!copy.contains("image"))
            throw ScanSessionError::badRecord("The stored scan's \"copy\" is not a disk image.");
        session.copy = std::get<Image>(decodeSource(copy));
    }
    return session;
}

}
