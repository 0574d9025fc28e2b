#pragma once

#include "device/ChildProcess.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <utility>

namespace brightfold::test {

/// A file attached as a loop device for one test, detached again when destroyed. Attaching
/// needs root and loop support: where losetup is missing or refuses, attach() gives no value.
class LoopDevice {
public:
    enum class Access { readOnly, readWrite }; ///< readWrite: writes through the device would reach the file

    /// `offset` and `sizeLimit` (bytes; 0: to the end) pick the part of the file the device shows.
    static std::optional<LoopDevice> attach(const std::filesystem::path& file, uint32_t sectorSize = 512, Access access = Access::readOnly,
        uint64_t offset = 0, uint64_t sizeLimit = 0)
    {
        std::vector<std::string> arguments { ChildProcess::findProgram("losetup").value_or("losetup"), "--find", "--show",
            access == Access::readOnly ? "--read-only" : "--find", "--sector-size", std::to_string(sectorSize) };
        if (offset != 0)
            arguments.insert(arguments.end(), { "--offset", std::to_string(offset) });
        if (sizeLimit != 0)
            arguments.insert(arguments.end(), { "--sizelimit", std::to_string(sizeLimit) });
        arguments.push_back(file.string());
        auto attached = ChildProcess::run(arguments);
        if (!attached || attached->exitStatus != 0 || !attached->output.starts_with("/dev/"))
            return std::nullopt;
        return LoopDevice(attached->output.substr(0, attached->output.find('\n')));
    }
    LoopDevice(LoopDevice&& other) noexcept : m_path(std::exchange(other.m_path, {})) { }
    ~LoopDevice()
    {
        if (!m_path.empty())
            ChildProcess::run({ ChildProcess::findProgram("losetup").value_or("losetup"), "--detach", m_path });
    }
    /// /dev/loopN
    const std::string& path() const { return m_path; }

private:
    explicit LoopDevice(std::string path) : m_path(std::move(path)) { }
    std::string m_path;
};

}
