#pragma once

#include "device/UniqueFd.hpp"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>

namespace brightfold {

/// An open folder that files are written beneath. Every folder made below it and
/// every file named in it is reached through descriptors, one plain name at a
/// time and never through a symbolic link, so nothing planted on the way (a link,
/// a name that differs only in case) can lead a write outside it. Failures throw
/// std::system_error, whose code names the reason.
class WriteFolder {
public:
    /// Opens `folder`, which must exist (a link to it, as the user gave it, is followed).
    static WriteFolder open(const std::filesystem::path& folder);

    /// The folder `name` inside this one, made when missing. `name` must be one
    /// plain component; a link there is refused (ELOOP), as is anything not a
    /// folder. `made`, when given, tells whether it was made now.
    WriteFolder child(const std::string& name, bool* made = nullptr) const;
    /// Another descriptor of the same folder (not of whatever is at its path now).
    WriteFolder duplicate() const;
    /// Removes the empty folder `name` inside this one; anything else stays.
    void removeEmptyChild(const std::string& name) const;

    int fd() const { return m_fd.get(); }
    /// The path it was reached by, for messages and for the paths reported.
    const std::filesystem::path& path() const { return m_path; }

private:
    WriteFolder(UniqueFd fd, std::filesystem::path path) : m_fd(std::move(fd)), m_path(std::move(path)) { }

    UniqueFd m_fd;
    std::filesystem::path m_path;
};

/// A file being written under a temporary name in the folder it is meant for, so
/// that no reader ever finds it half-written under its real name. It gets that
/// name only through publish(), after its bytes reached the disk; destroyed
/// before, it is removed. Failures throw std::system_error, whose code names the
/// reason (ENOSPC: "No space left on device").
class PendingFile {
public:
    /// Creates a hidden temporary file in `folder`.
    explicit PendingFile(const WriteFolder& folder);
    explicit PendingFile(const std::filesystem::path& folder) : PendingFile(WriteFolder::open(folder)) { }
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    /// Appends `bytes`, retrying short and interrupted writes.
    void write(std::span<const uint8_t> bytes);
    /// Gives the file the modification time `seconds` when it is named.
    void setModified(std::time_t seconds) { m_modified = seconds; }

    /// Flushes the file to the disk, closes it and gives it the name `name` in its
    /// folder, never replacing anything there. Returns false, and stays pending,
    /// when that name is taken.
    bool publish(const std::string& name);

    /// Flushes and publishes under `name` in one step, in place of what is there.
    void publishReplacing(const std::string& name);

    /// Flushes and publishes under `name`, or the first of name-1, name-2, …
    /// (before its extension) that is free. Returns the path it got.
    std::filesystem::path publishUnique(const std::string& name);

    std::filesystem::path temporaryPath() const { return m_folder.path() / m_name; }

private:
    void flush();

    WriteFolder m_folder;
    std::string m_name; ///< the temporary name, in m_folder
    UniqueFd m_fd;
    std::time_t m_modified { -1 };
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
