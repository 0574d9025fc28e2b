#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace brightfold {

/// A snapshot published by the engine while it scans.
struct CarveProgress {
    uint64_t bytesScanned { 0 };
    uint64_t totalBytes { 0 };
    int64_t filesFound { 0 };
    uint64_t bytesRecovered { 0 };
    std::map<std::string, int64_t> countsByExt;
    int64_t badReads { 0 };
    double elapsed { 0 }; ///< seconds since the scan started
    /// While the areas of a failing card that failed in the first pass are read again: the bytes of them left.
    std::optional<uint64_t> badAreaBytesLeft {};

    double fraction() const
    {
        return totalBytes == 0 ? 0.0 : static_cast<double>(bytesScanned) / static_cast<double>(totalBytes);
    }
    double throughputBytesPerSec() const
    {
        return elapsed > 0 ? static_cast<double>(bytesScanned) / elapsed : 0.0;
    }
};

}
