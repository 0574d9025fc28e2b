#include "carve/CarveEngine.hpp"

#include "carve/CarveError.hpp"
#include "carve/ChunkReader.hpp"
#include "carve/CarverRegistry.hpp"
#include "carve/RangeCopier.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace brightfold {

namespace {

constexpr uint64_t kCancelCheckSpacing = 4 * 1024 * 1024; // positions between two cancel checks within a chunk

constexpr uint64_t kPrefetchDistance = 16;              // grid positions fetched ahead of the one tested

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}

CarveEngine::CarveEngine(ByteSourcePtr source, Config config)
    : CarveEngine(source, config, CarverRegistry::carvers(config.enabledCategories))
{
}

CarveEngine::CarveEngine(ByteSourcePtr source, Config config, std::vector<FormatCarverPtr> carvers)
    : m_source(std::move(source))
    , m_config(std::move(config))
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

    const auto started = Clock::now();
    std::optional<Clock::time_point> lastSnapshot; // none yet: the first chunk always gives one
    const uint64_t stride = static_cast<uint64_t>(std::max<int64_t>(m_config.stride, 1));
    const uint64_t chunkSize = static_cast<uint64_t>(std::max<int64_t>(m_config.chunkSize, 1));

    std::vector<CarvedFile> files;
    std::map<std::string, int64_t> countsByExt;
    uint64_t bytesRecovered = 0;
    ChunkReader reader(*m_source, static_cast<size_t>(std::min(chunkSize, size)));

    auto snapshot = [&](uint64_t position) {
        return CarveProgress { std::min(size, position), size, static_cast<int64_t>(files.size()), bytesRecovered,
            countsByExt, m_source->badReads(), secondsSince(started) };
    };

    uint64_t offset = 0;
    uint64_t finalPosition = 0;
    bool stopped = false;
    while (offset < size && !stopped) {
        if (isCancelled())
            break;
        std::span<const uint8_t> chunk = reader.take(offset, static_cast<size_t>(std::min<uint64_t>(size - offset, chunkSize)));
        const size_t received = chunk.size();
        if (received == 0) {
            // Nothing more can be read below the reported size: treat it as the end.
            break;
        }
        const uint64_t chunkStart = offset;
        const uint64_t chunkEnd = chunkStart + received;
        const uint8_t* bytes = chunk.data();
        m_context.setWindow(chunkStart, chunk);
        if (chunkEnd < size)
            reader.readAhead(chunkEnd, static_cast<size_t>(std::min<uint64_t>(size - chunkEnd, chunkSize)));
        uint64_t next = chunkEnd;

        // Positions lie on the stride grid of the whole source, also in a chunk
        // that starts between two of them (a chunk size that is not a multiple of
        // the stride).
        for (uint64_t i = (stride - chunkStart % stride) % stride; i < received;) {
            if (i % kCancelCheckSpacing == 0 && isCancelled()) {
                offset = chunkStart;
                stopped = true;
                break;
            }
            // Touch the positions a few steps ahead so their cache misses overlap.
            __builtin_prefetch(bytes + std::min<uint64_t>(i + kPrefetchDistance * stride, received - 1));
            bool candidate = false;
            for (const auto& [signatureOffset, firstBytes] : m_firstBytesByOffset) {
                uint64_t at = i + static_cast<uint64_t>(signatureOffset);
                if (signatureOffset >= 0 && at < received && firstBytes[bytes[at]]) {
                    candidate = true;
                    break;
                }
            }
            if (!candidate) {
                i += stride;
                continue;
            }

            std::optional<CarveMatch> match;
            const uint64_t start = chunkStart + i;
            for (const auto& entry : m_entries) {
                if (entry.offset < 0 && static_cast<uint64_t>(-entry.offset) > i)
                    continue;
                uint64_t at = i + static_cast<uint64_t>(entry.offset);
                if (at >= received || entry.pattern.size() > received - at || bytes[at] != entry.firstByte)
                    continue;
                if (std::memcmp(bytes + at + 1, entry.pattern.data() + 1, entry.pattern.size() - 1) != 0)
                    continue;
                try {
                    match = m_carvers[entry.carverIndex]->carve(start, m_context);
                } catch (const std::exception&) {
                    match.reset(); // a failed read near one candidate never stops the scan
                }
                if (match && match->length > 0)
                    break;
                match.reset();
            }
            if (!match) {
                i += stride;
                continue;
            }

            uint64_t length = match->length;
            CarveConfidence confidence = match->confidence;
            if (length > size - start) {
                length = size - start;
                confidence = CarveConfidence::heuristic;
            }
            if (m_config.enabledCategories.contains(match->category)) {
                std::string outputPath;
                if (m_config.output == Config::OutputMode::files)
                    outputPath = write(start, length, match->ext);
                std::optional<std::string> digest;
                try {
                    ByteRun head = m_context.bytes(start, static_cast<int64_t>(std::min(length, CarvedFile::kHeadDigestBytes)));
                    digest = CarvedFile::headDigestOf(head.span());
                } catch (const std::exception&) {
                }
                files.push_back({ start, length, match->ext, match->category, confidence, std::move(outputPath), std::move(digest) });
                ++countsByExt[match->ext];
                bytesRecovered += length;
            }

            uint64_t target = start + stride;
            if (confidence == CarveConfidence::exact) {
                uint64_t end = start + length;
                target = end % stride == 0 ? end : end + (stride - end % stride);
            }
            if (target >= chunkEnd) {
                next = target;
                break;
            }
            i = target - chunkStart; // on the grid: a start on it plus the stride, or an end rounded up to it
        }
        if (stopped)
            break;
        offset = next;

        if (onProgress && (!lastSnapshot || secondsSince(*lastSnapshot) >= m_config.progressInterval)) {
            lastSnapshot = Clock::now();
            onProgress(snapshot(offset));
        }
    }
    finalPosition = offset;

    CarveReport report;
    report.cancelled = isCancelled();
    report.sourceDescription = m_source->descriptionForReport();
    report.totalBytes = size;
    report.scannedBytes = std::min(size, finalPosition);
    report.duration = secondsSince(started);
    report.badReads = m_source->badReads();
    if (onProgress)
        onProgress(snapshot(finalPosition));
    report.files = std::move(files);
    // A scan never fails for want of its report file; the owner asks whether it was written.
    m_reportWriteError.reset();
    try {
        report.writeFile(m_config.outputDirectory);
    } catch (const ReportWriteError& error) {
        m_reportWriteError = error;
    }
    return report;
}

std::string CarveEngine::write(uint64_t start, uint64_t length, const std::string& ext)
{
    CarvedFile named { start, length, ext, {}, {}, {}, {} };
    std::filesystem::path folder = m_config.outputDirectory / named.folderName();
    std::filesystem::create_directories(folder);
    std::filesystem::path target = folder / named.fileName();
    ByteRun piece;
    RangeCopier::copy(target, start, length, [&](uint64_t at, uint64_t count) {
        piece = m_context.bytes(at, static_cast<int64_t>(count));
        return piece.span();
    });
    return std::filesystem::absolute(target).string();
}

}
