#pragma once

#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <filesystem>
#include <functional>
#include <vector>

namespace brightfold {

/// Copies carved byte ranges out of a source into per-extension folders, after
/// checking that each file's head still matches the digest taken by the scan.
class CarveExporter {
public:
    struct Result {
        std::vector<CarvedFile> saved;   ///< copied, records as given
        std::vector<CarvedFile> changed; ///< head no longer matches: not copied
        std::vector<CarvedFile> failed;  ///< could not be verified, placed or copied
        std::filesystem::path folder;    ///< the destination, as passed in
    };

    using Progress = std::function<void(int64_t done, int64_t total)>;
    using CancelTest = std::function<bool()>;

    /// Exports `files` into `folder`, each file into exactly one of the result's
    /// lists, and writes a report of the saved files into the folder. Throws only
    /// while preparing the destination: the file-system error of creating it, or
    /// CarveError::outputNotWritable.
    Result exportFiles(const std::vector<CarvedFile>& files, ByteSource& source, const std::filesystem::path& folder,
        const Progress& progress = {}, const CancelTest& isCancelled = {}) const;

    /// `location` itself when nothing exists there, else the first free
    /// folder/base-N.ext for N = 1, 2, ...
    static std::filesystem::path uniqueURL(const std::filesystem::path& location);
};

}
