#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace brightfold {

/// Why a scan could not be opened or run, beyond the device's and the engine's own
/// errors. `what()` is the user-facing text.
class ScanError : public std::runtime_error {
public:
    enum class Kind {
        readingRefused,         ///< the system would not let the user read the device
        outputFolderNotCreated, ///< the folder for the report could not be made
        reportExists,           ///< the folder holds an earlier scan's report
    };

    /// `refusal` is the device layer's own text; the advice how to get permission follows it.
    static ScanError readingRefused(const std::string& refusal)
    {
        return { Kind::readingRefused,
            refusal
                + "\nReading a card needs an administrator's permission: run the scan with sudo, or make sure polkit (pkexec) "
                  "is installed and its service is running." };
    }
    static ScanError outputFolderNotCreated(const std::filesystem::path& folder, std::error_code code)
    {
        return { Kind::outputFolderNotCreated, "Cannot create output folder " + folder.string() + ": " + code.message() + "." };
    }

    static ScanError reportExists(const std::filesystem::path& folder)
    {
        return { Kind::reportExists,
            folder.string() + " already holds a scan report, which a new scan would replace. Choose another folder, or move that report away first." };
    }

    Kind kind() const { return m_kind; }

private:
    ScanError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) { }

    Kind m_kind;
};

}
