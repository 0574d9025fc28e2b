#pragma once

#include "device/UniqueFd.hpp"

#include <cstdint>
#include <filesystem>
#include <span>

namespace brightfold {

/// A file being written under a temporary name in the folder it is meant for, so
/// that no reader ever finds it half-written under its real name. It gets that
/// name only through publish(), after its bytes reached the disk; destroyed
/// before, it is removed. Failures throw std::system_error, whose code names the
/// reason (ENOSPC: "No space left on device").
class PendingFile {
public:
    /// Creates a hidden temporary file in `folder`.
    explicit PendingFile(const std::filesystem::path& folder);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    /// Appends `bytes`, retrying short and interrupted writes.
    void write(std::span<const uint8_t> bytes);

    /// Flushes the file to the disk, closes it and gives it the name `target`
    /// (in the same folder), never replacing anything there. Returns false, and
    /// stays pending, when `target` exists already.
    bool publish(const std::filesystem::path& target);

    /// Flushes and publishes under `target`, or the first of target-1, target-2, …
    /// (before its extension) that is free. Returns the name it got.
    std::filesystem::path publishUnique(const std::filesystem::path& target);

    const std::filesystem::path& temporaryPath() const { return m_path; }

private:
    void flush();

    std::filesystem::path m_path;
    UniqueFd m_fd;
    bool m_flushed { false };
    bool m_published { false };
};

/// The first of `location`, then folder/base-1.ext, base-2.ext, … that does not
/// exist. Only a hint: another writer may take it before it is used.
std::filesystem::path firstFreePath(const std::filesystem::path& location);

/// Creates a new folder at `location`, or, when something is there already, at
/// the first of location-1, location-2, … that is free; made with one atomic
/// mkdir each, so two callers never get the same folder. Parents are made as
/// needed. Throws std::filesystem::filesystem_error.
std::filesystem::path createFreshFolder(const std::filesystem::path& location);

}
