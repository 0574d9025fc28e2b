#include "carve/PendingFile.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace brightfold {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTemporaryPrefix = ".brightfold-partial-"; // hidden, and plainly ours
constexpr int kTemporaryNameTries = 100;

[[noreturn]] void fail(int code, const std::string& what)
{
    throw std::system_error(code, std::generic_category(), what);
}

/// Gives `from` the name `to` in `folder` unless `to` exists. Returns false when it does.
bool renameWithoutReplacing(int folder, const std::string& from, const std::string& to, const fs::path& shownAs)
{
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        fail(errno, "Could not name " + shownAs.string());
    // A file system without the no-replace rename: a hard link also fails on an
    // existing name; one without hard links gets a check just before the rename.
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
        ::unlinkat(folder, from.c_str(), 0);
        return true;
    }
    if (errno == EEXIST)
        return false;
    struct stat status {};
    if (::fstatat(folder, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return false;
    if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0)
        fail(errno, "Could not name " + shownAs.string());
    return true;
}

/// Throws EINVAL for a name that is not one plain component of a path.
void requirePlainName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        fail(EINVAL, "Not a file or folder name: " + name);
}

std::string randomSuffix()
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator { std::random_device {}() };
    std::string suffix(8, 'a');
    for (char& c : suffix)
        c = kLetters[generator() % (sizeof(kLetters) - 1)];
    return suffix;
}

std::string numberedName(const std::string& name, uint64_t n)
{
    if (n == 0)
        return name;
    fs::path path(name);
    return path.stem().string() + "-" + std::to_string(n) + path.extension().string();
}

}

WriteFolder WriteFolder::open(const fs::path& folder)
{
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        fail(errno, "Could not open the folder " + folder.string());
    return WriteFolder(std::move(fd), folder);
}

WriteFolder WriteFolder::child(const std::string& name, bool* made) const
{
    requirePlainName(name);
    bool madeNow = ::mkdirat(m_fd.get(), name.c_str(), 0755) == 0;
    if (!madeNow && errno != EEXIST)
        fail(errno, "Could not create the folder " + (m_path / name).string());
    UniqueFd fd(::openat(m_fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        fail(errno, "Could not open the folder " + (m_path / name).string());
    if (made)
        *made = madeNow;
    return WriteFolder(std::move(fd), m_path / name);
}

WriteFolder WriteFolder::duplicate() const
{
    UniqueFd fd(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd)
        fail(errno, "Could not open the folder " + m_path.string());
    return WriteFolder(std::move(fd), m_path);
}

void WriteFolder::removeEmptyChild(const std::string& name) const
{
    ::unlinkat(m_fd.get(), name.c_str(), AT_REMOVEDIR);
}

PendingFile::PendingFile(const WriteFolder& folder)
    : m_folder(folder.duplicate())
{
    for (int attempt = 0; attempt < kTemporaryNameTries && !m_fd; ++attempt) {
        m_name = kTemporaryPrefix + randomSuffix();
        m_fd.reset(::openat(m_folder.fd(), m_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!m_fd && errno != EEXIST)
            break;
    }
    if (!m_fd)
        fail(errno, "Could not create a file in " + folder.path().string());
}

PendingFile::~PendingFile()
{
    if (!m_published && !m_name.empty())
        ::unlinkat(m_folder.fd(), m_name.c_str(), 0);
}

void PendingFile::write(std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(m_fd.get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail(written < 0 ? errno : EIO, "Could not write " + temporaryPath().string());
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
}

void PendingFile::flush()
{
    if (m_flushed)
        return;
    if (m_modified != -1) {
        const struct timespec times[2] = { { 0, UTIME_OMIT }, { m_modified, 0 } };
        ::futimens(m_fd.get(), times); // a time that cannot be set leaves the file as it is
    }
    // A full disk or a failing stick may say so only now, at fsync or close.
    if (::fsync(m_fd.get()) != 0 && errno != EINVAL)
        fail(errno, "Could not write " + temporaryPath().string());
    if (::close(m_fd.release()) != 0 && errno != EINTR)
        fail(errno, "Could not write " + temporaryPath().string());
    m_flushed = true;
}

bool PendingFile::publish(const std::string& name)
{
    requirePlainName(name);
    flush();
    if (!renameWithoutReplacing(m_folder.fd(), m_name, name, m_folder.path() / name))
        return false;
    m_published = true;
    return true;
}

void PendingFile::publishReplacing(const std::string& name)
{
    requirePlainName(name);
    flush();
    if (::renameat(m_folder.fd(), m_name.c_str(), m_folder.fd(), name.c_str()) != 0)
        fail(errno, "Could not name " + (m_folder.path() / name).string());
    m_published = true;
}

fs::path PendingFile::publishUnique(const std::string& name)
{
    for (uint64_t n = 0;; ++n) {
        std::string candidate = numberedName(name, n);
        if (publish(candidate))
            return m_folder.path() / candidate;
    }
}

fs::path firstFreePath(const fs::path& location)
{
    std::error_code error;
    for (uint64_t n = 0;; ++n) {
        fs::path candidate = location.parent_path() / numberedName(location.filename().string(), n);
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
