#pragma once

#include "carve/CarveProgress.hpp"
#include "carve/CarveReport.hpp"
#include "carve/FormatCarver.hpp"
#include "carve/ReadContext.hpp"

#include <array>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace brightfold {

/// Scans a whole source for files: reads it front to back in chunks, tests the
/// stride grid of each chunk against the selected carvers' signatures, records
/// what they accept and skips past every file whose end is known exactly.
/// One engine runs one scan; cancel() may be called from any thread.
class CarveEngine {
public:
    struct Config {
        enum class OutputMode {
            files,   ///< each recorded file is copied out during the scan
            catalog, ///< files are only listed
        };

        std::filesystem::path outputDirectory;
        CategorySet enabledCategories;
        OutputMode output;
        int64_t chunkSize;       ///< bytes read per step; above 0
        int64_t stride;          ///< distance between candidate positions; above 0
        double progressInterval; ///< seconds between two snapshots, at least
    };

    /// An engine over the registry's carvers for the enabled categories.
    CarveEngine(ByteSourcePtr source, Config config);
    /// An engine over exactly `carvers`, in the order given (tests use their own).
    CarveEngine(ByteSourcePtr source, Config config, std::vector<FormatCarverPtr> carvers);

    /// Called on the scanning thread between chunks and once at the end.
    std::function<void(const CarveProgress&)> onProgress;

    /// Runs the whole scan on the calling thread and writes the report file.
    /// Throws CarveError (empty source, output not writable), the file-system
    /// error of creating the output folder, the source's error for a chunk read,
    /// and in files mode the error of writing a copy.
    CarveReport run();

    /// Why the last run() could not write its report file (a full disk, a report
    /// already there); no value when it was written.
    const std::optional<ReportWriteError>& reportWriteError() const { return m_reportWriteError; }

    /// Stops the scan at the next check; never undone.
    void cancel();

    const std::vector<FormatCarverPtr>& carvers() const { return m_carvers; }
    const Config& config() const { return m_config; }

private:
    struct SignatureEntry {
        uint8_t firstByte;
        Signature pattern;
        int64_t offset;
        size_t carverIndex;
    };

    bool isCancelled();
    std::string write(uint64_t start, uint64_t length, const std::string& ext);

    ByteSourcePtr m_source;
    Config m_config;
    ReadContext m_context;
    std::vector<FormatCarverPtr> m_carvers;
    std::vector<SignatureEntry> m_entries;
    /// For each signature offset in use, the first bytes that can start an entry:
    /// a position is only looked at closely when one of these matches.
    std::vector<std::pair<int64_t, std::array<bool, 256>>> m_firstBytesByOffset;
    std::mutex m_cancelLock;
    bool m_cancelled { false };
    std::optional<ReportWriteError> m_reportWriteError;
};

}
