#pragma once

#include "carve/CarvedFile.hpp"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace brightfold {

/// The result of a scan: what was scanned, how it went, and the files found in
/// ascending order of start.
struct CarveReport {
    std::string sourceDescription;
    uint64_t totalBytes { 0 };
    uint64_t scannedBytes { 0 };
    double duration { 0 }; ///< seconds
    int64_t badReads { 0 };
    bool cancelled { false };
    std::vector<CarvedFile> files;

    /// The name of the report file in every scan and save folder.
    static constexpr const char* kFileName = "brightfold-report.json";

    /// Number of files per extension (compared exactly).
    std::map<std::string, int64_t> countsByExt() const;

    /// Pretty-printed JSON with sorted keys and every "/" written as "\/".
    std::string toJson() const;
    /// Parses the report's JSON form; accepts "/" and "\/". Throws
    /// ReportFormatError naming the first missing or ill-typed member.
    static CarveReport fromJson(std::string_view text);

    /// Writes toJson() to folder/brightfold-report.json, replacing it.
    /// Returns false when it could not be written.
    bool writeFile(const std::filesystem::path& folder) const;
    /// Reads a report file. Throws ReportFormatError (also for an unreadable file).
    static CarveReport readFile(const std::filesystem::path& path);

    bool operator==(const CarveReport&) const = default;
};

/// A report file or text that is not a valid scan report.
class ReportFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}
