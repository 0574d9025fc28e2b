#include "carve/CarveEngine.hpp"

#include "carve/CarveError.hpp"
#include "carve/ChunkReader.hpp"
#include "carve/CarverRegistry.hpp"
#include "carve/filesystems/FileSystemRecovery.hpp"
#include "carve/SampleDigests.hpp"
#include "device/DeviceError.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace brightfold {

namespace {

constexpr uint64_t kCancelCheckSpacing = 4 * 1024 * 1024; // positions between two cancel checks within a chunk

constexpr uint64_t kPrefetchDistance = 16;              // grid positions fetched ahead of the one tested

// Candidates of the first pass kept for carving again near a failing area (8 bytes each).
constexpr size_t kCandidatesKept = 1 << 20;
// How far before an area read after the first pass its candidates are carved again: a
// file starting further back that ran into the area is not looked at again.
constexpr uint64_t kCarveAgainDistance = 64 * 1024 * 1024;
// Bytes around a candidate carved again that are read as its window.
constexpr uint64_t kCarveAgainWindow = 64 * 1024;
// Bytes of fragmented files kept from the scan's chunks for the file systems' walks.
constexpr uint64_t kKeptBytes = 48 * 1024 * 1024;

/// The source as a second look after the scan reads it: unreadable regions come
/// back as zeros as before but are not counted again, the scan counted them once.
/// Bytes the scan kept (`kept`, when given) are served from memory.
class SecondLook final : public ByteSource {
public:
    explicit SecondLook(ByteSourcePtr source, const KeptRuns* kept = nullptr) : m_source(std::move(source)), m_kept(kept) { }
    uint64_t size() const override { return m_source->size(); }
    int64_t badReads() const override { return m_source->badReads(); }
    std::string descriptionForReport() const override { return m_source->descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (m_kept) {
            if (auto kept = m_kept->find(offset, buffer.size())) {
                std::copy(kept->begin(), kept->end(), buffer.begin());
                return kept->size();
            }
        }
        m_unreadable.clear();
        return m_source->readIntoUncounted(offset, buffer, m_unreadable);
    }

private:
    ByteSourcePtr m_source;
    const KeptRuns* m_kept;
    std::vector<UnreadableRegion> m_unreadable;
};

/// What the engine's chunk reader holds or may hold next, and nothing elsewhere: a
/// look at the start of the source that reads nothing the scan would not.
class HeldChunks final : public ByteSource {
public:
    HeldChunks(ChunkReader& reader, uint64_t size) : m_reader(reader), m_size(size) { }
    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return {}; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        auto held = m_reader.bytes(offset, buffer.size());
        if (!held)
            return 0;
        std::copy(held->begin(), held->end(), buffer.begin());
        return held->size();
    }

private:
    ChunkReader& m_reader;
    uint64_t m_size;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}

CarveEngine::CarveEngine(ByteSourcePtr source, Config config)
    : CarveEngine(source, config, CarverRegistry::carvers(config.enabledCategories))
{
}

CarveEngine::CarveEngine(ByteSourcePtr source, Config config, std::vector<FormatCarverPtr> carvers)
    : m_source(std::move(source))
    , m_config(std::move(config))
    , m_stride(static_cast<uint64_t>(std::max<int64_t>(m_config.stride, 1)))
    , m_chunkSize(static_cast<uint64_t>(std::max<int64_t>(m_config.chunkSize, 1)))
    , m_context(m_source)
    , m_carvers(std::move(carvers))
{
    for (size_t index = 0; index < m_carvers.size(); ++index) {
        const auto& carver = *m_carvers[index];
        for (const auto& pattern : carver.signatures()) {
            m_entries.push_back({ pattern.front(), pattern, carver.signatureOffset(), index });
            auto group = std::find_if(m_firstBytesByOffset.begin(), m_firstBytesByOffset.end(),
                [&](const auto& entry) { return entry.first == carver.signatureOffset(); });
            if (group == m_firstBytesByOffset.end()) {
                m_firstBytesByOffset.push_back({ carver.signatureOffset(), {} });
                group = std::prev(m_firstBytesByOffset.end());
            }
            group->second[pattern.front()] = true;
        }
    }
}

void CarveEngine::cancel()
{
    std::lock_guard lock(m_cancelLock);
    m_cancelled = true;
}

bool CarveEngine::isCancelled()
{
    std::lock_guard lock(m_cancelLock);
    return m_cancelled;
}

CarveReport CarveEngine::run()
{
    const uint64_t size = m_source->size();
    if (size == 0)
        throw CarveError::emptySource();
    std::filesystem::create_directories(m_config.outputDirectory);
    if (::access(m_config.outputDirectory.c_str(), W_OK) != 0)
        throw CarveError::outputNotWritable(m_config.outputDirectory.string());

    Scan scan { .size = size, .started = Clock::now() };
    // A failing card gives its healthy part first; however the scan ends, the areas
    // it passed over are settled (read within the budget, else counted unreadable).
    m_source->beginFirstPass([this] { return isCancelled(); });
    struct FirstPassEnd {
        ByteSource& source;
        bool ended { false };
        ~FirstPassEnd()
        {
            if (!ended)
                source.readPassedOver({ .budget = 0.0 }, {});
        }
    } firstPassEnd { *m_source };
    const uint64_t offset = firstPass(scan);
    firstPassEnd.ended = true;
    readPassedOver(scan);
    if (m_config.fileSystems == Config::FileSystems::read && !isCancelled())
        addFileSystemFiles(scan);
    return finish(scan, offset);
}

uint64_t CarveEngine::firstPass(Scan& scan)
{
    const uint64_t size = scan.size;
    std::optional<Clock::time_point> lastSnapshot; // none yet: the first chunk always gives one
    // The carvers read through the engine's chunks: what they walk ahead of the
    // scan is read once, and scanned from the same buffers when the scan gets there.
    ChunkReader reader(*m_source, m_chunkSize);
    m_context.readThrough(&reader);
    struct Detach {
        ReadContext& context;
        ~Detach()
        {
            context.readThrough(nullptr);
            context.setWindow(0, {});
        }
    } detach { m_context };
    uint64_t offset = 0;
    while (offset < size && !isCancelled()) {
        std::span<const uint8_t> chunk = reader.take(offset);
        if (chunk.empty())
            break; // nothing more can be read below the reported size: treat it as the end
        m_context.setWindow(reader.heldStart(), reader.held());
        if (offset == 0 && m_config.fileSystems == Config::FileSystems::read) {
            scan.kept = keptForFileSystems(reader);
            // The memory the runs are copied to is set up by the reading threads, a
            // chunk ahead, not by the copies on this one.
            if (!scan.kept.empty())
                reader.afterReadAhead([&kept = scan.kept](uint64_t from, uint64_t to) { kept.prepare(from, to); });
        }
        scan.kept.keep(offset, chunk); // what the reader hands out: its unreadable regions are counted
        // A candidate still waiting searches on from where it stopped: what its
        // search learnt is kept.
        m_context.forgetSearchesBefore(scan.undecided.empty() ? offset : std::min(offset, scan.undecided.front().start));
        carveWaiting(scan, reader.readEnd());

        auto next = scanChunk(offset, chunk, scan);
        if (!next)
            break; // cancelled within the chunk: the scan counts up to its start
        offset = *next;

        if (onProgress && (!lastSnapshot || secondsSince(*lastSnapshot) >= m_config.progressInterval)) {
            lastSnapshot = Clock::now();
            onProgress(progress(scan, offset));
        }
    }
    // A scan stopped early reads on for nothing; a whole one decides what still waits.
    if (offset < size && isCancelled())
        giveUpWaiting(scan);
    else
        carveWaiting(scan, std::nullopt);
    return offset;
}

KeptRuns CarveEngine::keptForFileSystems(ChunkReader& reader) const
{
    try {
        ReadContext start(std::make_shared<HeldChunks>(reader, m_source->size()));
        return KeptRuns(FileSystemRecovery::runsOfFragmentedFiles(start), kKeptBytes);
    } catch (const DeviceError&) {
        return {}; // the file systems are read after the scan all the same
    }
}

void CarveEngine::readPassedOver(Scan& scan)
{
    const double firstPass = secondsSince(scan.started);
    RescueLimits limits {
        .budget = isCancelled() ? 0.0 : m_config.badAreaSeconds.value_or(std::max(firstPass, kLeastBadAreaSeconds)),
        .isCancelled = [this] { return isCancelled(); },
    };
    std::optional<Clock::time_point> lastSnapshot;
    m_healthyPartSeconds.reset();
    auto onStep = [&](RescuePass pass) {
        if (pass == RescuePass::scraping && !m_healthyPartSeconds)
            m_healthyPartSeconds = secondsSince(scan.started);
        if (!onProgress || (lastSnapshot && secondsSince(*lastSnapshot) < m_config.progressInterval))
            return;
        lastSnapshot = Clock::now();
        CarveProgress snapshot = progress(scan, scan.size);
        snapshot.badAreaBytesLeft = m_source->badAreaBytesLeft();
        onProgress(snapshot);
    };
    BadAreaOutcome outcome = m_source->readPassedOver(limits, onStep);
    if (!outcome.recovered.empty() && !isCancelled())
        scanRecovered(outcome.recovered, scan);
}

void CarveEngine::scanRecovered(const std::vector<UnreadableRegion>& runs, Scan& scan)
{
    // A second look: what these reads meet unread was counted once already.
    m_context = ReadContext(std::make_shared<SecondLook>(m_source));
    scan.firstPass = false;
    std::ranges::sort(scan.candidates);
    for (const auto& run : runs) {
        auto from = std::ranges::lower_bound(scan.candidates, run.offset - std::min(run.offset, kCarveAgainDistance));
        for (auto candidate = from; candidate != scan.candidates.end() && *candidate < run.offset && !isCancelled(); ++candidate)
            carveAgain(*candidate, scan);
    }
    // A file carved across a run had zeros there in the first pass (a walk through
    // them may have run on to a later file's end): it proves nothing about the run.
    auto acrossRun = [&](const CarvedFile& file) {
        return std::ranges::any_of(runs, [&](const auto& run) { return file.start < run.offset + run.length && run.offset < file.start + file.length; });
    };
    std::vector<std::pair<uint64_t, uint64_t>> exactFiles;
    for (const auto& file : scan.files) {
        if (file.confidence == CarveConfidence::exact && !acrossRun(file))
            exactFiles.push_back({ file.start, file.start + file.length });
    }
    scan.openBodies.clear();
    std::vector<uint8_t> chunk;
    for (const auto& run : runs) {
        const uint64_t end = run.offset + run.length;
        for (uint64_t offset = run.offset - run.offset % m_stride; offset < end && !isCancelled();) {
            auto inside = std::ranges::find_if(exactFiles, [&](const auto& file) { return file.first <= offset && offset < file.second; });
            if (inside != exactFiles.end()) {
                offset = inside->second + (m_stride - inside->second % m_stride) % m_stride;
                continue;
            }
            chunk.resize(static_cast<size_t>(std::min(m_chunkSize, end - offset)));
            chunk.resize(m_context.source()->readInto(offset, chunk));
            if (chunk.empty())
                break;
            m_context.setWindow(offset, chunk);
            auto next = scanChunk(offset, chunk, scan);
            if (!next)
                break;
            offset = *next;
        }
    }
    m_context = ReadContext(m_source);
    std::ranges::stable_sort(scan.files, {}, &CarvedFile::start);
    scan.countsByExt.clear();
    scan.bytesRecovered = 0;
    for (const auto& file : scan.files) {
        ++scan.countsByExt[file.ext];
        scan.bytesRecovered += file.length;
    }
}

void CarveEngine::carveAgain(uint64_t start, Scan& scan)
{
    std::vector<uint8_t> window(static_cast<size_t>(std::min(kCarveAgainWindow, scan.size - start)));
    window.resize(m_context.source()->readInto(start, window));
    if (window.empty())
        return;
    m_context.setWindow(start, window);
    auto found = carveAt(window, 0, start, scan).found;
    if (!found)
        return;
    found->match = found->match.clippedTo(scan.size - start);
    auto listed = std::ranges::find(scan.files, start, &CarvedFile::start);
    if (listed != scan.files.end()) {
        if (listed->length == found->match.length && listed->confidence == found->match.confidence && listed->ext == found->match.ext)
            return;
        scan.files.erase(listed);
    }
    if (m_config.enabledCategories.contains(found->match.category))
        record(start, found->match, scan);
}

void CarveEngine::addFileSystemFiles(Scan& scan)
{
    try {
        FileSystemRecovery recovery(m_carvers, m_config.enabledCategories);
        // What the scan kept is the source's bytes unless it met an unreadable region
        // (filled with zeros, and counted as it was handed out).
        ReadContext secondLook(std::make_shared<SecondLook>(m_source, m_source->badReads() == 0 ? &scan.kept : nullptr));
        auto recovered = recovery.recover(secondLook, scan.files, [this] { return isCancelled(); });
        if (recovered.empty())
            return;
        scan.files = FileSystemRecovery::merge(std::move(scan.files), std::move(recovered));
    } catch (const DeviceError&) {
        return;
    }
    scan.countsByExt.clear();
    scan.bytesRecovered = 0;
    for (auto& file : scan.files) {
        // A name that could not be a path on the user's disk is not offered at all.
        file.forgetUnusableName();
        ++scan.countsByExt[file.ext];
        scan.bytesRecovered += file.length;
    }
}

void CarveEngine::copyFiles(std::vector<CarvedFile>& files)
{
    auto copied = CarveExporter().copyFiles(files, *m_source, m_config.outputDirectory, {}, [this] { return isCancelled(); });
    // Both lists keep the order of files.
    size_t next = 0;
    for (size_t i = 0; i < copied.saved.size(); ++i) {
        while (!(files[next] == copied.saved[i]))
            ++next;
        files[next].outputPath = std::filesystem::absolute(copied.savedPaths[i]).string();
    }
    m_copyFailures = std::move(copied.failed);
    for (const CarvedFile& changed : copied.changed)
        m_copyFailures.push_back({ changed, "Its bytes changed on the source while the scan ran." });
}

std::optional<uint64_t> CarveEngine::scanChunk(uint64_t chunkStart, std::span<const uint8_t> chunk, Scan& scan)
{
    const uint64_t stride = m_stride; // a local, so the grid loop keeps it in a register
    const uint64_t chunkEnd = chunkStart + chunk.size();
    // Positions lie on the stride grid of the whole source, also in a chunk that
    // starts between two of them (a chunk size that is not a multiple of the stride).
    for (uint64_t i = (stride - chunkStart % stride) % stride; i < chunk.size();) {
        if (i % kCancelCheckSpacing == 0 && isCancelled())
            return std::nullopt;
        // Touch the positions a few steps ahead so their cache misses overlap.
        __builtin_prefetch(chunk.data() + std::min<uint64_t>(i + kPrefetchDistance * stride, chunk.size() - 1));
        if (!mayHoldSignature(chunk, i)) {
            i += stride;
            continue;
        }
        const uint64_t start = chunkStart + i;
        Carving carving = carveAt(chunk, i, start, scan, scan.firstPass);
        if (carving.waiting) {
            // Whatever it gives, the scan steps to the next position (only a carver
            // of opaque bodies waits, and no carver there proved a file).
            scan.undecided.push_back({ start, std::nullopt, std::nullopt, std::move(carving.waiting) });
            i += stride;
            continue;
        }
        if (!carving.found) {
            i += stride;
            continue;
        }
        Found& found = *carving.found;
        found.match = found.match.clippedTo(scan.size - start);
        // A file of a category not asked for is not listed, but still skipped over.
        const uint64_t target = nextCandidate(start, found);
        settle({ start, std::move(found) }, scan);
        if (target >= chunkEnd)
            return target;
        i = target - chunkStart; // on the grid: a start on it plus the stride, or an end rounded up to it
    }
    return chunkEnd;
}

bool CarveEngine::mayHoldSignature(std::span<const uint8_t> chunk, uint64_t i) const
{
    for (const auto& [signatureOffset, firstBytes] : m_firstBytesByOffset) {
        const uint64_t at = i + static_cast<uint64_t>(signatureOffset);
        if (signatureOffset >= 0 && at < chunk.size() && firstBytes[chunk[at]])
            return true;
    }
    return false;
}

CarveEngine::Carving CarveEngine::carveAt(std::span<const uint8_t> chunk, uint64_t i, uint64_t start, Scan& scan, bool mayWait)
{
    std::optional<Found> guess; // a heuristic match, kept until a later carver proves one
    std::optional<Waiting> waiting;
    bool noted = !scan.firstPass;
    for (size_t index = 0; index < m_entries.size(); ++index) {
        const SignatureEntry& entry = m_entries[index];
        if (entry.offset < 0 && static_cast<uint64_t>(-entry.offset) > i)
            continue;
        const uint64_t at = i + static_cast<uint64_t>(entry.offset);
        if (at >= chunk.size() || entry.pattern.size() > chunk.size() - at || chunk[at] != entry.firstByte)
            continue;
        if (std::memcmp(chunk.data() + at + 1, entry.pattern.data() + 1, entry.pattern.size() - 1) != 0)
            continue;
        if (!noted && scan.candidates.size() < kCandidatesKept) {
            scan.candidates.push_back(start);
            noted = true;
        }
        const FormatCarver& carver = *m_carvers[entry.carverIndex];
        std::optional<Found> found;
        try {
            found = carveWith(carver, start, mayWait && !waiting && !carver.provesWholeBody());
        } catch (const SearchAheadOfScan& ahead) {
            waiting = Waiting { index, ahead.until, guess };
            continue;
        }
        if (found && found->match.confidence == CarveConfidence::exact) {
            if (!waiting)
                return { std::move(found) };
            // Proven here by a later carver: the one before it that waits decides
            // first, so it is carved now, reading what it needs.
            auto earlier = carveWith(*m_carvers[m_entries[waiting->entry].carverIndex], start, false);
            return { earlier && earlier->match.confidence == CarveConfidence::exact ? std::move(earlier) : std::move(found) };
        }
        if (found && waiting && !waiting->guessAfter)
            waiting->guessAfter = std::move(found);
        else if (found && !waiting && !guess)
            guess = std::move(found);
    }
    if (waiting)
        return { std::nullopt, std::move(waiting) };
    return { std::move(guess) };
}

std::optional<CarveEngine::Found> CarveEngine::carveWith(const FormatCarver& carver, uint64_t start, bool mayWait)
{
    struct Wait {
        ReadContext& context;
        Wait(ReadContext& context, bool wait) : context(context) { context.letSearchesWait(wait); }
        ~Wait() { context.letSearchesWait(false); }
    } wait { m_context, mayWait };
    try {
        auto match = carver.carve(start, m_context);
        if (match && match->length > 0)
            return Found { std::move(*match), carver.provesWholeBody() };
    } catch (const DeviceError&) {
        // A failed read near one candidate never stops the scan.
    }
    return std::nullopt;
}

void CarveEngine::carveWaiting(Scan& scan, std::optional<uint64_t> readEnd)
{
    for (Outcome& outcome : scan.undecided) {
        if (!outcome.waiting || (readEnd && outcome.waiting->until > *readEnd))
            continue;
        try {
            decide(outcome, carveWith(*m_carvers[m_entries[outcome.waiting->entry].carverIndex], outcome.start, readEnd.has_value()), scan);
        } catch (const SearchAheadOfScan& ahead) {
            outcome.waiting->until = ahead.until;
        }
    }
    admitDecided(scan);
}

void CarveEngine::giveUpWaiting(Scan& scan)
{
    for (Outcome& outcome : scan.undecided) {
        if (outcome.waiting)
            decide(outcome, std::nullopt, scan);
    }
    admitDecided(scan);
}

void CarveEngine::decide(Outcome& outcome, std::optional<Found> own, Scan& scan)
{
    Waiting& waiting = *outcome.waiting;
    // As carveAt decides: its own exact match, else the first guess in table order.
    if (own && own->match.confidence == CarveConfidence::exact)
        outcome.found = std::move(own);
    else if (waiting.guessBefore)
        outcome.found = std::move(waiting.guessBefore);
    else if (own)
        outcome.found = std::move(own);
    else
        outcome.found = std::move(waiting.guessAfter);
    outcome.waiting.reset();
    if (!outcome.found)
        return;
    outcome.found->match = outcome.found->match.clippedTo(scan.size - outcome.start);
    if (m_config.enabledCategories.contains(outcome.found->match.category))
        outcome.digests = digestsOf(outcome.start, outcome.found->match.length);
}

void CarveEngine::settle(Outcome outcome, Scan& scan)
{
    if (scan.undecided.empty()) {
        list(outcome.start, *outcome.found, std::nullopt, scan);
        return;
    }
    // Its bytes are near now: the digests are taken while the chunks hold them.
    if (m_config.enabledCategories.contains(outcome.found->match.category))
        outcome.digests = digestsOf(outcome.start, outcome.found->match.length);
    scan.undecided.push_back(std::move(outcome));
}

void CarveEngine::admitDecided(Scan& scan)
{
    while (!scan.undecided.empty() && !scan.undecided.front().waiting) {
        Outcome& outcome = scan.undecided.front();
        if (outcome.found)
            list(outcome.start, *outcome.found, std::move(outcome.digests), scan);
        scan.undecided.pop_front();
    }
}

void CarveEngine::list(uint64_t start, const Found& found, std::optional<Digests> digests, Scan& scan)
{
    if (!admit(start, found.match, scan))
        return;
    std::optional<size_t> listed;
    if (m_config.enabledCategories.contains(found.match.category)) {
        record(start, found.match, digests ? std::move(*digests) : digestsOf(start, found.match.length), scan);
        listed = scan.files.size() - 1;
    }
    if (found.match.confidence == CarveConfidence::exact && !found.wholeBody)
        scan.openBodies.push_back({ start + found.match.length, listed });
}

CarveEngine::Digests CarveEngine::digestsOf(uint64_t start, uint64_t length)
{
    return { headDigest(start, length), sampleDigests(start, length) };
}

void CarveEngine::record(uint64_t start, const CarveMatch& match, Scan& scan)
{
    record(start, match, digestsOf(start, match.length), scan);
}

void CarveEngine::record(uint64_t start, const CarveMatch& match, Digests digests, Scan& scan)
{
    scan.files.push_back({ start, match.length, match.ext, match.category, match.confidence, "", std::move(digests.head), std::move(digests.samples) });
    ++scan.countsByExt[match.ext];
    scan.bytesRecovered += match.length;
}

std::optional<std::string> CarveEngine::headDigest(uint64_t start, uint64_t length)
{
    try {
        ByteRun head = m_context.bytes(start, static_cast<int64_t>(std::min(length, CarvedFile::kHeadDigestBytes)));
        return CarvedFile::headDigestOf(head.span());
    } catch (const DeviceError&) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::string>> CarveEngine::sampleDigests(uint64_t start, uint64_t length)
{
    std::vector<std::string> digests;
    try {
        for (const auto& range : SampleDigests::ranges(length)) {
            ByteRun sample = m_context.bytes(start + range.offset, static_cast<int64_t>(range.count));
            digests.push_back(SampleDigests::digestOf(sample.span()));
        }
    } catch (const DeviceError&) {
        return std::nullopt;
    }
    return digests;
}

bool CarveEngine::admit(uint64_t start, const CarveMatch& match, Scan& scan)
{
    std::erase_if(scan.openBodies, [start](const OpenBody& body) { return body.end <= start; });
    if (scan.openBodies.empty())
        return true;
    if (match.confidence != CarveConfidence::exact)
        return false;
    for (const OpenBody& body : scan.openBodies) {
        if (body.file)
            scan.files[*body.file].confidence = CarveConfidence::heuristic;
    }
    return true;
}

uint64_t CarveEngine::nextCandidate(uint64_t start, const Found& found) const
{
    if (found.match.confidence != CarveConfidence::exact || !found.wholeBody)
        return start + m_stride;
    const uint64_t end = start + found.match.length;
    return end % m_stride == 0 ? end : end + (m_stride - end % m_stride);
}

CarveProgress CarveEngine::progress(const Scan& scan, uint64_t position) const
{
    return CarveProgress { std::min(scan.size, position), scan.size, static_cast<int64_t>(scan.files.size()), scan.bytesRecovered,
        scan.countsByExt, m_source->badReads(), secondsSince(scan.started) };
}

CarveReport CarveEngine::finish(Scan& scan, uint64_t position)
{
    CarveReport report;
    report.cancelled = isCancelled();
    report.sourceDescription = m_source->descriptionForReport();
    report.totalBytes = scan.size;
    report.scannedBytes = std::min(scan.size, position);
    report.duration = secondsSince(scan.started);
    report.badReads = m_source->badReads();
    report.unreadableAreas = m_source->unreadAreas();
    if (onProgress)
        onProgress(progress(scan, position));
    report.files = std::move(scan.files);
    // A scan never fails for want of its report file; the owner asks whether it was written.
    m_reportWriteError.reset();
    m_copyFailures.clear();
    try {
        report.writeFile(m_config.outputDirectory);
    } catch (const ReportWriteError& error) {
        m_reportWriteError = error;
    }
    // The copies come after the report, so that a disk they fill cannot cost it; the
    // report is then written again with where each copy went.
    if (m_config.output == Config::OutputMode::files && !report.cancelled) {
        copyFiles(report.files);
        try {
            if (!m_reportWriteError)
                report.writeFile(m_config.outputDirectory, ReportNaming::replace);
        } catch (const ReportWriteError&) {
            // The first report stands: it lists every file, without its copy.
        }
    }
    return report;
}
}
