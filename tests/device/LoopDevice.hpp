#pragma once

#include "device/ChildProcess.hpp"

#include <dirent.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace brightfold::test {

/// A file attached as a loop device for one test, detached again when destroyed
/// (also when the test fails). Attaching needs root and loop support: where
/// losetup is missing or refuses, attach() gives no value and the test skips.
class LoopDevice {
public:
    enum class Access {
        readOnly,
        /// Writes through the device would reach the file: for tests that check nothing writes.
        readWrite,
    };

    static std::optional<LoopDevice> attach(const std::filesystem::path& file, uint32_t sectorSize = 512, Access access = Access::readOnly)
    {
        std::optional<std::string> losetup = ChildProcess::findProgram("losetup");
        if (!losetup)
            return std::nullopt;
        std::vector<std::string> command { *losetup, "--find", "--show", "--sector-size", std::to_string(sectorSize) };
        if (access == Access::readOnly)
            command.push_back("--read-only");
        command.push_back(file.string());
        auto attached = ChildProcess::run(command);
        if (!attached || attached->exitStatus != 0)
            return std::nullopt;
        std::string path = attached->output.substr(0, attached->output.find('\n'));
        if (path.rfind("/dev/", 0) != 0)
            return std::nullopt;
        return LoopDevice(*losetup, path);
    }

    LoopDevice(LoopDevice&& other) noexcept : m_losetup(std::move(other.m_losetup)), m_path(std::move(other.m_path)) { other.m_path.clear(); }
    LoopDevice& operator=(LoopDevice&&) = delete;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice()
    {
        if (!m_path.empty())
            ChildProcess::run({ m_losetup, "--detach", m_path });
    }

    /// /dev/loopN
    const std::string& path() const { return m_path; }
    /// loopN
    std::string kernelName() const { return std::filesystem::path(m_path).filename().string(); }

private:
    LoopDevice(std::string losetup, std::string path) : m_losetup(std::move(losetup)), m_path(std::move(path)) { }

    std::string m_losetup;
    std::string m_path;
};

/// The number of descriptors this process has open, to check that nothing leaks.
inline int openDescriptorCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

}
