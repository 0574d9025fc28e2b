#pragma once

#include "device/ChildProcess.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace brightfold::test {

/// A file attached as a loop device for one test, detached again when destroyed.
/// Attaching needs root and loop support: where losetup is missing or refuses,
/// attach() gives no value and the test skips.
class LoopDevice {
public:
    enum class Access { readOnly, readWrite }; ///< readWrite: writes through the device would reach the file

    static std::optional<LoopDevice> attach(const std::filesystem::path& file, uint32_t sectorSize = 512, Access access = Access::readOnly)
    {
        auto losetup = ChildProcess::findProgram("losetup");
        std::vector<std::string> command { losetup.value_or("losetup"), "--find", "--show", "--sector-size", std::to_string(sectorSize), file.string() };
        if (access == Access::readOnly)
            command.insert(command.end() - 1, "--read-only");
        auto attached = losetup ? ChildProcess::run(command) : std::nullopt;
        if (!attached || attached->exitStatus != 0 || !attached->output.starts_with("/dev/"))
            return std::nullopt;
        return LoopDevice(*losetup, attached->output.substr(0, attached->output.find('\n')));
    }
    LoopDevice(LoopDevice&& other) noexcept : m_losetup(std::move(other.m_losetup)), m_path(std::exchange(other.m_path, {})) { }
    ~LoopDevice()
    {
        if (!m_path.empty())
            ChildProcess::run({ m_losetup, "--detach", m_path });
    }

    /// /dev/loopN
    const std::string& path() const { return m_path; }

private:
    LoopDevice(std::string losetup, std::string path) : m_losetup(std::move(losetup)), m_path(std::move(path)) { }

    std::string m_losetup;
    std::string m_path;
};

}
