#include "carve/PendingFile.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace brightfold {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTemporaryPattern = ".brightfold-partial-XXXXXX"; // hidden, and plainly ours

[[noreturn]] void fail(int code, const std::string& what)
{
    throw std::system_error(code, std::generic_category(), what);
}

/// Gives `from` the name `to` unless `to` exists. Returns false when it does.
bool renameWithoutReplacing(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        fail(errno, "Could not name " + to.string());
    // A file system without the no-replace rename: a hard link also fails on an
    // existing name; one without hard links gets a check just before the rename.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0)
        return false;
    if (::rename(from.c_str(), to.c_str()) != 0)
        fail(errno, "Could not name " + to.string());
    return true;
}

fs::path numbered(const fs::path& location, uint64_t n)
{
    if (n == 0)
        return location;
    return location.parent_path() / (location.stem().string() + "-" + std::to_string(n) + location.extension().string());
}

}

PendingFile::PendingFile(const fs::path& folder)
{
    std::string pattern = (folder / kTemporaryPattern).string();
    m_fd.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!m_fd)
        fail(errno, "Could not create a file in " + folder.string());
    m_path = pattern;
    ::fchmod(m_fd.get(), 0644); // mkstemp makes it private; a saved file is an ordinary file
}

PendingFile::~PendingFile()
{
    if (!m_published)
        ::unlink(m_path.c_str());
}

void PendingFile::write(std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(m_fd.get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail(written < 0 ? errno : EIO, "Could not write " + m_path.string());
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
}

void PendingFile::flush()
{
    if (m_flushed)
        return;
    // A full disk or a failing stick may say so only now, at fsync or close.
    if (::fsync(m_fd.get()) != 0 && errno != EINVAL)
        fail(errno, "Could not write " + m_path.string());
    if (::close(m_fd.release()) != 0 && errno != EINTR)
        fail(errno, "Could not write " + m_path.string());
    m_flushed = true;
}

bool PendingFile::publish(const fs::path& target)
{
    flush();
    if (!renameWithoutReplacing(m_path, target))
        return false;
    m_published = true;
    return true;
}

fs::path PendingFile::publishUnique(const fs::path& target)
{
    for (uint64_t n = 0;; ++n) {
        fs::path candidate = numbered(target, n);
        if (publish(candidate))
            return candidate;
    }
}

fs::path firstFreePath(const fs::path& location)
{
    std::error_code error;
    for (uint64_t n = 0;; ++n) {
        fs::path candidate = numbered(location, n);
        if (!fs::exists(fs::symlink_status(candidate, error)))
            return candidate;
    }
}

fs::path createFreshFolder(const fs::path& location)
{
    if (location.has_parent_path())
        fs::create_directories(location.parent_path());
    for (uint64_t n = 0;; ++n) {
        // Numbered as a whole: "Brightfold Scan 2026-01-31T09-15-02Z-1", whatever dots it holds.
        fs::path candidate = n == 0 ? location : fs::path(location.string() + "-" + std::to_string(n));
        if (::mkdir(candidate.c_str(), 0755) == 0)
            return candidate;
        if (errno != EEXIST)
            throw fs::filesystem_error("Could not create folder", candidate, std::error_code(errno, std::generic_category()));
    }
}

}
