#pragma once

#include "carve/CarveReport.hpp"
#include "device/ByteSource.hpp"
#include "device/ExternalDisk.hpp"
#include "device/DeviceAccess.hpp"
#include "scan/SessionId.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brightfold {

/// A scanned whole disk, copied from the ExternalDisk chosen for the scan.
struct ScanSessionDisk {
    std::string deviceIdentifier;
    uint64_t sizeBytes { 0 };
    std::string mediaName;
    std::vector<std::string> volumeNames;

    bool operator==(const ScanSessionDisk&) const = default;
};

/// What tells an image file from another put at the same path, or from itself
/// after a change: its file system, its inode and its modification time.
struct ScanSessionImageIdentity {
    uint64_t device { 0 };
    uint64_t inode { 0 };
    int64_t modifiedNanoseconds { 0 }; ///< since 1970-01-01 UTC

    bool operator==(const ScanSessionImageIdentity&) const = default;
    /// The identity of the file at `path` now; no value when it cannot be examined.
    static std::optional<ScanSessionImageIdentity> of(const std::string& path);
};

/// A scanned disk-image file: its absolute path and its size at scan time, and
/// its identity when it was recorded (a device node chosen as an image has none).
struct ScanSessionImage {
    std::string path;
    uint64_t sizeBytes { 0 };
    std::optional<ScanSessionImageIdentity> identity {};

    bool operator==(const ScanSessionImage&) const = default;
};

/// A stored scan: its report and enough about the source to find the same card
/// or image again. Two sessions are the same session when their ids are equal.
struct ScanSession {
    using Disk = ScanSessionDisk;
    using Image = ScanSessionImage;
    using Source = std::variant<Disk, Image>;

    using Time = std::chrono::sys_seconds;

    SessionId id;
    Time createdAt; ///< UTC, whole seconds
    std::string sourceName;
    Source source;
    CarveReport report;
    /// A copy of the card made before the scan: the scan read it, and previews and
    /// saving read it too while it is there unchanged, so a failing card is read
    /// once. None when the card itself was scanned.
    std::optional<Image> copy {};

    bool operator==(const ScanSession& other) const { return id == other.id; }

    /// A new session, with a fresh id, for a scan of the chosen disk.
    static ScanSession forDisk(const ExternalDisk& disk);
    /// A new session, with a fresh id, for a scan of the image file at `path`:
    /// stored absolute, so it reopens from anywhere, with its size and identity
    /// now. A block device given as an image is recorded by its device size.
    static ScanSession forImage(const std::string& path);
    /// forDisk for the attached disk whose device node `path` names (by device
    /// number, so a link to it counts too), else forImage.
    static ScanSession forSource(const std::string& path, DeviceAccess& devices);
    /// The current UTC time in whole seconds, as records store it.
    static Time now();

    /// The id as it names the session's folder: 36 characters, upper case.
    std::string idText() const;
    /// Whether there is a copy of the card, where it was and unchanged.
    bool copyUsable() const;
    /// The attached disk that is this session's card: same kernel name and size,
    /// else same size and model (a card re-inserted under another name). Volume
    /// names are not compared, the card may have been reformatted. Never an image.
    std::optional<ExternalDisk> currentDisk(DeviceAccess& devices, DiskImages images) const;
    /// Where the scanned card or image is now: the copy of the card while it is
    /// there unchanged, the image's path, or the device node of the card found
    /// again. Throws ScanSessionError::sourceMissing as openSource.
    std::string sourcePath(DeviceAccess& devices, DiskImages images) const;
    /// Reopens the copy of the card, else the scanned card or image. Throws ScanSessionError::sourceMissing
    /// with what the user should do when it is absent or changed (an image of
    /// another size, inode or modification time), else DeviceError.
    ByteSourcePtr openSource(DeviceAccess& devices, DiskImages images) const;
    /// The record as stored: one line of JSON, "/" written as "\/".
    std::string toJson() const;
    /// Reads a stored record. Throws ScanSessionError::badRecord for anything that
    /// is not exactly such a record: bad JSON, a missing or ill-typed member, a
    /// date without its zone, a "source" with other than one case.
    static ScanSession fromJson(std::string_view text);
};

/// The UTC time in the stored form, 2026-03-01T14:05:09Z.
std::string isoDateText(ScanSession::Time time);
/// Reads an ISO 8601 date and time with whole seconds and an explicit zone ("Z" or
/// +hh:mm / -hh:mm), as UTC; no value for any other form or an impossible date.
std::optional<ScanSession::Time> parseIsoDate(std::string_view text);

}
