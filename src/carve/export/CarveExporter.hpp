#pragma once

#include "carve/CarveReport.hpp"
#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brightfold {

/// How an export went as a whole, for the command's exit status and the browser's message.
enum class ExportOutcome {
    complete,     ///< every file saved and the report written (also for an empty list)
    partial,      ///< some files saved; others failed or changed, or the report could not be written
    nothingSaved, ///< files were asked for and none could be saved
    cancelled,    ///< stopped by the cancellation test; what was saved is whole
};

/// Copies carved byte ranges out of a source into per-extension folders, checking
/// each against the digests the scan took. A copy is written under a temporary
/// name beside its final one, flushed, and given its name only when it is whole and
/// its digests agree: a failed, changed or interrupted copy leaves nothing behind,
/// and nothing already there is ever replaced.
class CarveExporter {
public:
    /// A file that could not be saved, and why, in words for the user.
    struct FailedFile {
        CarvedFile file;
        std::string reason; ///< "No space left on device", "Read failed at offset …"
        /// The destination could not take it (full, read-only, gone); else the
        /// source or the record was at fault.
        bool destinationFault { false };

        bool operator==(const FailedFile&) const = default;
    };

    struct Result {
        std::vector<CarvedFile> saved;                 ///< copied whole and checked; records as given
        std::vector<std::filesystem::path> savedPaths; ///< where each of `saved` went, in the same order
        std::vector<CarvedFile> changed;               ///< bytes on the source differ from the scan's digests: not saved
        std::vector<FailedFile> failed;                ///< could not be read, placed, written or checked
        std::filesystem::path folder;                  ///< the destination, as passed in
        bool cancelled { false };                      ///< the cancellation test stopped the export
        std::optional<std::filesystem::path> reportFile; ///< the report written, when it could be
        std::optional<ReportWriteError> reportError;     ///< why it could not

        ExportOutcome outcome() const;
        /// The records of `failed`, without their reasons.
        std::vector<CarvedFile> failedFiles() const;
    };

    using Progress = std::function<void(int64_t done, int64_t total)>;
    using CancelTest = std::function<bool()>;

    /// Exports `files` into `folder`: each file ends in at most one of saved,
    /// changed and failed (in none when a cancellation stopped the export before
    /// or during it). A file is verified by its head digest before it is copied and
    /// by its head and sample digests over the bytes copied; a record without a
    /// digest is copied unverified. `isCancelled` is asked before each file and
    /// between the 4 MiB pieces of a copy; a copy cut off is removed. At the end a
    /// report of the saved files is written into the folder under a name no other
    /// file has. Throws only while preparing the destination: the file-system error
    /// of creating it, or CarveError::outputNotWritable.
    Result exportFiles(const std::vector<CarvedFile>& files, ByteSource& source, const std::filesystem::path& folder,
        const Progress& progress = {}, const CancelTest& isCancelled = {}) const;

    /// exportFiles() without the report: the files alone, for a scan that copies
    /// what it found into its own folder beside its own report. `folder` must exist.
    Result copyFiles(const std::vector<CarvedFile>& files, ByteSource& source, const std::filesystem::path& folder,
        const Progress& progress = {}, const CancelTest& isCancelled = {}) const;

    /// Where a file is saved inside the destination, relative to it: its original
    /// folders and name when each can be a name on the user's disk, else the folder
    /// of its kind and its sector name (JPG/f2048.jpg). A saved file may also carry
    /// "-1", "-2", … before its extension when the name was taken, and a named file
    /// whose folders could not be made goes to its sector place.
    static std::filesystem::path placeOf(const CarvedFile& file);
    /// The folder of the file's kind and its sector name (JPG/f2048.jpg).
    static std::filesystem::path sectorPlaceOf(const CarvedFile& file);

    /// `location` itself when nothing exists there, else the first free
    /// folder/base-N.ext for N = 1, 2, ...
    static std::filesystem::path uniqueURL(const std::filesystem::path& location);
};

}
