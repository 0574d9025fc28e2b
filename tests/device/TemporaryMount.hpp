#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace brightfold::test {

/// A file system mounted over a fresh folder for the life of the object (a small
/// tmpfs, or a loop device's file system); not mounted where the process may not
/// mount, and then reason() says why, for the test's skip message.
class TemporaryMount {
public:
    TemporaryMount(const std::filesystem::path& where, const std::string& source, const char* type, const char* options, unsigned long flags = 0)
        : m_path(where)
    {
        std::filesystem::create_directories(where);
        m_mounted = ::mount(source.c_str(), where.c_str(), type, flags, options) == 0;
        if (!m_mounted)
            m_reason = std::string("cannot mount ") + type + " here: " + std::strerror(errno);
    }
    /// A tmpfs with `options` such as "size=1m".
    static TemporaryMount tmpfs(const std::filesystem::path& where, const char* options, unsigned long flags = 0)
    {
        return TemporaryMount(where, "tmpfs", "tmpfs", options, flags);
    }
    TemporaryMount(TemporaryMount&& other) noexcept
        : m_path(std::move(other.m_path)), m_mounted(std::exchange(other.m_mounted, false)), m_reason(std::move(other.m_reason)) { }
    TemporaryMount& operator=(TemporaryMount&&) = delete;
    TemporaryMount(const TemporaryMount&) = delete;
    TemporaryMount& operator=(const TemporaryMount&) = delete;
    ~TemporaryMount()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
    }

    bool mounted() const { return m_mounted; }
    const std::string& reason() const { return m_reason; }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
    bool m_mounted { false };
    std::string m_reason;
};

}
