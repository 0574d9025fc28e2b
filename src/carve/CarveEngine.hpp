#pragma once

#include "carve/export/CarveExporter.hpp"
#include "carve/CarveProgress.hpp"
#include "carve/CarveReport.hpp"
#include "carve/FormatCarver.hpp"
#include "carve/KeptRuns.hpp"
#include "carve/ReadContext.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace brightfold {

class ChunkReader;

/// Scans a whole source for files: reads it front to back in chunks, tests the
/// stride grid of each chunk against the selected carvers' signatures, records
/// what they accept and skips past every file whose end is known exactly. At
/// one position a heuristic match yields to a later carver's exact one.
/// One engine runs one scan; cancel() may be called from any thread.
class CarveEngine {
public:
    /// Bytes read per step, as the application scans.
    static constexpr int64_t kChunkSize = 16 * 1024 * 1024;

    /// Filled by name, as `{ .outputDirectory = folder, .enabledCategories = categories }`;
    /// what is left out takes the values the application scans with.
    struct Config {
        enum class OutputMode {
            files,   ///< each recorded file is copied out at the end of the scan, as a save would

            catalog, ///< files are only listed
        };

        /// Whether the directories of FAT and exFAT volumes on the source name, date
        /// and reassemble what they still describe (deleted files too).
        enum class FileSystems {
            read,
            ignore,
        };

        std::filesystem::path outputDirectory;
        CategorySet enabledCategories;
        OutputMode output { OutputMode::catalog };
        int64_t chunkSize { kChunkSize };       ///< bytes read per step; above 0
        int64_t stride { 512 };                 ///< distance between candidate positions; above 0
        double progressInterval { 0.3 };        ///< seconds between two snapshots, at least
        FileSystems fileSystems { FileSystems::read };
        /// Seconds for reading again, after the first pass, the areas of a failing card
        /// that pass passed over; none: as long as the first pass took, at least kLeastBadAreaSeconds.
        std::optional<double> badAreaSeconds {};
    };

    /// The least time given to the areas of a failing card that failed in the first pass.
    static constexpr double kLeastBadAreaSeconds = 60;

    /// An engine over the registry's carvers for the enabled categories.
    CarveEngine(ByteSourcePtr source, Config config);
    /// An engine over exactly `carvers`, in the order given (tests use their own).
    CarveEngine(ByteSourcePtr source, Config config, std::vector<FormatCarverPtr> carvers);

    /// Called on the scanning thread between chunks and once at the end.
    std::function<void(const CarveProgress&)> onProgress;

    /// Runs the whole scan on the calling thread and writes the report file.
    /// Throws CarveError (empty source, output not writable), the file-system
    /// error of creating the output folder, the source's error for a chunk read,
    /// A copy that cannot be made in files mode is listed in copyFailures().
    CarveReport run();

    /// Why the last run() could not write its report file (a full disk, a report
    /// already there); no value when it was written.
    const std::optional<ReportWriteError>& reportWriteError() const { return m_reportWriteError; }

    /// The files the last run() could not copy in files mode, with the reasons.
    const std::vector<CarveExporter::FailedFile>& copyFailures() const { return m_copyFailures; }
    /// Seconds the last run() took to read everything of a failing card that reads
    /// at full speed (the first pass and the edges of the areas that failed); no
    /// value when nothing failed.
    std::optional<double> healthyPartSeconds() const { return m_healthyPartSeconds; }

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

    using Clock = std::chrono::steady_clock;

    /// An exact file whose body its carver could not check: the scan goes on
    /// looking inside it, for files that prove themselves.
    struct OpenBody {
        uint64_t end;
        std::optional<size_t> file; ///< its index in Scan::files, when listed
    };

    /// A carver's match, and whether that carver checks whole bodies.
    struct Found {
        CarveMatch match;
        bool wholeBody;
    };

    /// A candidate whose carver's search waits for the scan to hold the bytes it
    /// searches (a search for an end record far ahead): carved again then, and
    /// decided with what the other carvers at its start gave.
    struct Waiting {
        size_t entry;  ///< the waiting carver's entry in m_entries
        uint64_t until; ///< carved again once the scan's chunks hold the bytes up to here
        std::optional<Found> guessBefore {}; ///< the first guess of a carver before it in table order
        std::optional<Found> guessAfter {};  ///< the first guess of a carver after it
    };

    /// What the carvers made of one candidate: a match, nothing, or a wait.
    struct Carving {
        std::optional<Found> found;
        std::optional<Waiting> waiting {};
    };

    struct Digests {
        std::optional<std::string> head;
        std::optional<std::vector<std::string>> samples;
    };

    /// A candidate's outcome, held in grid order behind a candidate still waiting:
    /// whether a match is listed depends on the files before it (an opaque body
    /// around it drops a guess). The scan's path never does, since only carvers
    /// whose exact files it steps into (opaque bodies) may wait.
    struct Outcome {
        uint64_t start;
        std::optional<Found> found;
        std::optional<Digests> digests {}; ///< taken when it was decided, for a file of an asked category
        std::optional<Waiting> waiting {};
    };

    /// One run's state: the source size it saw at the start and what it has found.
    struct Scan {
        uint64_t size;
        Clock::time_point started;
        std::vector<CarvedFile> files {};
        std::map<std::string, int64_t> countsByExt {};
        uint64_t bytesRecovered { 0 };
        std::vector<OpenBody> openBodies {}; ///< those the grid is inside, outermost first
        /// Where a signature matched in the first pass (at most kCandidatesKept): a
        /// failing area read later may change what the carver finds there.
        std::vector<uint64_t> candidates {};
        bool firstPass { true };
        /// Outcomes from the first one still waiting on, in grid order.
        std::deque<Outcome> undecided {};
        /// The bytes of the fragmented files the file systems describe, as the scan read them.
        KeptRuns kept {};
    };

    bool isCancelled();
    /// Walks the stride grid of one chunk (already the context's window) and
    /// records what the carvers accept. Returns where the next chunk begins: the
    /// chunk's end, or further when an exact file runs past it; no value when the
    /// scan was cancelled within the chunk.
    std::optional<uint64_t> scanChunk(uint64_t chunkStart, std::span<const uint8_t> chunk, Scan& scan);
    /// Whether any signature's first byte lies at grid position `i`: the cheap test
    /// that rules out nearly every position.
    bool mayHoldSignature(std::span<const uint8_t> chunk, uint64_t i) const;
    /// Offers the candidate at position `i` (absolute `start`) to every carver whose
    /// signature lies there, in table order; the first exact match wins, else the
    /// first heuristic one (a guess never hides a file another carver proves).
    /// A carver's read error only declines the candidate; any other error leaves.
    /// In the first pass the candidate is noted in `scan`. With `mayWait`, one
    /// carver whose exact files are opaque bodies may wait for the scan to reach
    /// what it searches, unless a carver after it proves a file there.
    Carving carveAt(std::span<const uint8_t> chunk, uint64_t i, uint64_t start, Scan& scan, bool mayWait = false);
    /// Runs one carver at `start`; its read errors decline. With `mayWait`, its
    /// search may stop to wait for the scan (SearchAheadOfScan leaves).
    std::optional<Found> carveWith(const FormatCarver& carver, uint64_t start, bool mayWait);
    /// Carves again the waiting candidates whose bytes the chunks now hold or are
    /// reading, up to `readEnd` (they may wait again for what lies beyond); without
    /// it, every one, reading what it needs. Then lists what no longer waits behind one.
    void carveWaiting(Scan& scan, std::optional<uint64_t> readEnd);
    /// The scan stopped early: what still waits is decided by the other carvers
    /// at its start alone, without reading further.
    void giveUpWaiting(Scan& scan);
    /// Decides a waiting outcome from what its own carver found (`own`) and the
    /// guesses of the others, and takes the digests of a file to be listed.
    void decide(Outcome& outcome, std::optional<Found> own, Scan& scan);
    /// Lists a decided outcome when no candidate before it waits, else holds it
    /// in grid order.
    void settle(Outcome outcome, Scan& scan);
    /// Lists the outcomes at the front of `scan.undecided` that are decided.
    void admitDecided(Scan& scan);
    /// Whether a match at `start` is kept. Inside the body of an exact file only an
    /// exact match is: it shows that the body is not all that file's (a file
    /// written over part of it, or a fragment of another in its range), so the
    /// enclosing files are demoted to heuristic. A guess there is dropped.
    bool admit(uint64_t start, const CarveMatch& match, Scan& scan);
    /// Lists a match that admit() keeps (when its category is asked for) and
    /// opens its body to look inside when that is opaque.
    void list(uint64_t start, const Found& found, std::optional<Digests> digests, Scan& scan);
    /// The digests a listed file carries, read from its bytes.
    Digests digestsOf(uint64_t start, uint64_t length);
    /// Adds a file: its head and sample digests, the running counts.
    void record(uint64_t start, const CarveMatch& match, Scan& scan);
    void record(uint64_t start, const CarveMatch& match, Digests digests, Scan& scan);
    /// The head digest of a file, or none when its first bytes cannot be read.
    std::optional<std::string> headDigest(uint64_t start, uint64_t length);
    /// The digests of the file's samples past its head (one 4 KiB read per MiB,
    /// from the chunk where it holds them), or none when one cannot be read.
    std::optional<std::vector<std::string>> sampleDigests(uint64_t start, uint64_t length);
    /// The grid position after a file: past the end of an exact file whose whole
    /// body was checked; else the next one, since the file may hide others.
    uint64_t nextCandidate(uint64_t start, const Found& found) const;
    /// Files mode: copies every file found into the output folder under the names a
    /// save gives them (written whole under a temporary name, checked, then named);
    /// a copy that fails is listed and the others go on.
    void copyFiles(std::vector<CarvedFile>& files);
    /// After the last chunk: the files the volumes' directories describe, folded
    /// into what carving found (FileSystemRecovery). A
    /// read error leaves the carved files as they are.
    void addFileSystemFiles(Scan& scan);
    CarveProgress progress(const Scan& scan, uint64_t position) const;
    /// Reads the source front to back, chunk by chunk, and scans each chunk; returns
    /// where it stopped (the size, or a chunk's start when cancelled within it).
    uint64_t firstPass(Scan& scan);
    /// The runs of the fragmented files that the volumes in the first chunks
    /// describe, to be kept as the scan reads them; none when those do not tell.
    KeptRuns keptForFileSystems(ChunkReader& reader) const;
    /// After the first pass: the areas it passed over are read again (their edges
    /// first) within the budget, and what that recovered is scanned.
    void readPassedOver(Scan& scan);
    /// Scans the recovered runs as a second look, skipping what lies inside an exact
    /// file, and carves again the first pass's candidates shortly before each run.
    void scanRecovered(const std::vector<UnreadableRegion>& runs, Scan& scan);
    /// Carves at `start` again; a different match replaces the file listed there.
    void carveAgain(uint64_t start, Scan& scan);
    /// The last snapshot, then the report, also written into the output folder
    /// (in files mode before the copies are made, and again after with their paths).
    CarveReport finish(Scan& scan, uint64_t position);

    ByteSourcePtr m_source;
    Config m_config;
    uint64_t m_stride;
    uint64_t m_chunkSize;
    ReadContext m_context;
    std::vector<FormatCarverPtr> m_carvers;
    std::vector<SignatureEntry> m_entries;
    /// For each signature offset in use, the first bytes that can start an entry:
    /// a position is only looked at closely when one of these matches.
    std::vector<std::pair<int64_t, std::array<bool, 256>>> m_firstBytesByOffset;
    std::mutex m_cancelLock;
    bool m_cancelled { false };
    std::optional<ReportWriteError> m_reportWriteError;
    std::vector<CarveExporter::FailedFile> m_copyFailures;
    std::optional<double> m_healthyPartSeconds;
};

}
