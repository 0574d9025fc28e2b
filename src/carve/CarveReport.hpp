#pragma once

#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace brightfold {

/// What a report file is named when its folder already holds one.
enum class ReportNaming {
    onlyName,  ///< brightfold-report.json or nothing: writing fails when it exists
    firstFree, ///< brightfold-report.json, else brightfold-report-1.json, -2, …
    replace,   ///< brightfold-report.json, in one step in place of the one there
};

/// An entry of a report file that was not taken as it was.
struct ReportRefusal {
    enum class Kind {
        leftOut,       ///< its extension cannot name a file: the entry is not loaded
        nameForgotten, ///< its name or folder cannot be a path: it keeps its sector name
    };
    Kind kind;
    std::string text; ///< one sentence for the user, naming the entry and why

    bool operator==(const ReportRefusal&) const = default;
};

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
    /// The entries fromJson() would not take as they were. Never written.
    std::vector<ReportRefusal> refusals {};
    /// The areas of a failing card that could not be read, in order; written only when there are any.
    std::vector<UnreadableRegion> unreadableAreas {};

    /// The name of the report file in every scan and save folder.
    static constexpr const char* kFileName = "brightfold-report.json";

    /// Number of files per extension (compared exactly).
    std::map<std::string, int64_t> countsByExt() const;

    /// Pretty-printed JSON with sorted keys and every "/" written as "\/".
    std::string toJson() const;
    /// Parses the report's JSON form; accepts "/" and "\/". Throws
    /// ReportFormatError naming the first missing or ill-typed member. Paths are
    /// made of what it holds, so an entry whose extension or names could lead
    /// outside a folder is refused (see refusals) and the rest still load.
    static CarveReport fromJson(std::string_view text);

    /// Writes toJson() into `folder` under a temporary name, flushes it, and names it
    /// brightfold-report.json only once it is whole; never over another file: with
    /// ReportNaming::firstFree it becomes brightfold-report-1.json, -2, … instead.
    /// Returns the file written. Throws ReportWriteError, leaving nothing behind.
    std::filesystem::path writeFile(const std::filesystem::path& folder, ReportNaming naming = ReportNaming::onlyName) const;
    /// Reads a report file. Throws ReportFormatError (also for an unreadable file).
    static CarveReport readFile(const std::filesystem::path& path);

    /// Bytes in unreadableAreas.
    uint64_t unreadableBytes() const;

    bool operator==(const CarveReport&) const = default;
};

/// A report file that could not be written; `what()` names it and the reason.
class ReportWriteError : public std::runtime_error {
public:
    ReportWriteError(const std::filesystem::path& file, std::error_code code)
        : std::runtime_error("Could not write the report " + file.string() + ": " + code.message() + ".")
        , m_file(file)
        , m_code(code)
    {
    }

    const std::filesystem::path& file() const { return m_file; }
    std::error_code code() const { return m_code; }

private:
    std::filesystem::path m_file;
    std::error_code m_code;
};

/// A report file or text that is not a valid scan report.
class ReportFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}
