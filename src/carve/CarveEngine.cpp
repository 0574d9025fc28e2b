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

/// The source as a second look after the scan reads it: unreadable regions come
/// back as zeros as before but are not counted again, the scan counted them once.
class SecondLook final : public ByteSource {
public:
    explicit SecondLook(ByteSourcePtr source) : m_source(std::move(source)) { }
    uint64_t size() const override { return m_source->size(); }
    int64_t badReads() const override { return m_source->badReads(); }
    std::string descriptionForReport() const override { return m_source->descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        m_unreadable.clear();
        return m_source->readIntoUncounted(offset, buffer, m_unreadable);
    }

private:
    ByteSourcePtr m_source;
    std::vector<UnreadableRegion> m_unreadable;
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
        m_context.forgetSearchesBefore(offset);

        auto next = scanChunk(offset, chunk, scan);
        if (!next)
            break; // cancelled within the chunk: the scan counts up to its start
        offset = *next;

        if (onProgress && (!lastSnapshot || secondsSince(*lastSnapshot) >= m_config.progressInterval)) {
            lastSnapshot = Clock::now();
            onProgress(progress(scan, offset));
        }
    }
    return offset;
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
    auto found = carveAt(window, 0, start, scan);
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
        ReadContext secondLook(std::make_shared<SecondLook>(m_source));
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
        auto found = carveAt(chunk, i, start, scan);
        if (found)
            found->match = found->match.clippedTo(scan.size - start);
        if (!found || !admit(start, found->match, scan)) {
            i += stride;
            continue;
        }
        // A file of a category not asked for is not listed, but still skipped over.
        std::optional<size_t> listed;
        if (m_config.enabledCategories.contains(found->match.category)) {
            record(start, found->match, scan);
            listed = scan.files.size() - 1;
        }
        const uint64_t target = nextCandidate(start, *found, listed, scan);
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

std::optional<CarveEngine::Found> CarveEngine::carveAt(std::span<const uint8_t> chunk, uint64_t i, uint64_t start, Scan& scan)
{
    std::optional<Found> guess; // a heuristic match, kept until a later carver proves one
    bool noted = !scan.firstPass;
    for (const auto& entry : m_entries) {
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
        try {
            const FormatCarver& carver = *m_carvers[entry.carverIndex];
            auto match = carver.carve(start, m_context);
            if (match && match->length > 0 && match->confidence == CarveConfidence::exact)
                return Found { std::move(*match), carver.provesWholeBody() };
            if (match && match->length > 0 && !guess)
                guess = Found { std::move(*match), carver.provesWholeBody() };
        } catch (const DeviceError&) {
            // A failed read near one candidate never stops the scan.
        }
    }
    return guess;
}

void CarveEngine::record(uint64_t start, const CarveMatch& match, Scan& scan)
{
    scan.files.push_back({ start, match.length, match.ext, match.category, match.confidence, "", headDigest(start, match.length),
        sampleDigests(start, match.length) });
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

uint64_t CarveEngine::nextCandidate(uint64_t start, const Found& found, std::optional<size_t> listed, Scan& scan) const
{
    if (found.match.confidence != CarveConfidence::exact)
        return start + m_stride;
    const uint64_t end = start + found.match.length;
    if (!found.wholeBody) {
        scan.openBodies.push_back({ end, listed });
        return start + m_stride;
    }
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
