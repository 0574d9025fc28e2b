#pragma once

#include <stdexcept>
#include <string>

namespace brightfold {

/// Why a stored scan cannot be used or kept. `what()` is the user-facing text.
class ScanSessionError : public std::runtime_error {
public:
    enum class Kind {
        sourceMissing, ///< the scanned card or image is not available as it was
        storeFailed,   ///< the session's folder or record could not be written
        badRecord,     ///< a stored record is damaged, truncated or not ours
    };

    static ScanSessionError sourceMissing(const std::string& message) { return { Kind::sourceMissing, message }; }
    static ScanSessionError storeFailed(const std::string& folder, const std::string& reason)
    {
        return { Kind::storeFailed, "Could not store the scan in " + folder + ": " + reason + "." };
    }
    static ScanSessionError badRecord(const std::string& reason) { return { Kind::badRecord, reason }; }

    Kind kind() const { return m_kind; }

private:
    ScanSessionError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) { }

    Kind m_kind;
};

}
