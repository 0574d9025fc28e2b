#include "carve/filesystems/FileSystemRecovery.hpp"

#include "carve/RunSource.hpp"
#include "carve/SampleDigests.hpp"
#include "device/DeviceError.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace brightfold {

namespace {

constexpr size_t kMaxWalks = 50'000;            // reassembled files walked by a carver, per source
constexpr uint64_t kWalkAllowance = 64 * 1024 * 1024; // bytes carvers may read on top of twice the source's size
constexpr uint64_t kHeadBytes = 64;             // bytes read to test the carvers' signatures

/// The digests of a file's bytes, taken as the engine takes them.
void takeDigests(CarvedFile& file, ReadContext& fileBytes)
{
    try {
        ByteRun head = fileBytes.bytes(0, static_cast<int64_t>(std::min(file.length, CarvedFile::kHeadDigestBytes)));
        file.headDigest = CarvedFile::headDigestOf(head.span());
        std::vector<std::string> samples;
        for (const auto& range : SampleDigests::ranges(file.length)) {
            ByteRun sample = fileBytes.bytes(range.offset, static_cast<int64_t>(range.count));
            samples.push_back(SampleDigests::digestOf(sample.span()));
        }
        file.sampleDigests = std::move(samples);
    } catch (const DeviceError&) {
        file.headDigest.reset();
        file.sampleDigests.reset();
    }
}

/// What carving decided at each start. A walk of one run of clusters gives the
/// carvers the bytes the scan gave them there, so the scan's verdict stands: an
/// exact file of the entry's size proves it; another exact file, a guess (which
/// a walk of the same bytes would guess again) or no file at a start the scan
/// looked at refutes it. Only a start the scan skipped (inside an exact file) or
/// a scan without files leaves it to a walk.
class CarvedVerdicts {
public:
    enum class Verdict {
        proven,
        refuted,
        unknown,
    };

    explicit CarvedVerdicts(const std::vector<CarvedFile>& carved)
        : m_complete(!carved.empty())
    {
        for (const auto& file : carved) {
            if (file.runs)
                continue;
            m_byStart.emplace(file.start, &file);
            if (file.confidence == CarveConfidence::exact)
                m_exactEnds.emplace(file.start, file.start + file.length);
        }
    }

    /// The verdict on a file of exactly `size` bytes in one run from `start`, and the
    /// carved file that proves it.
    std::pair<Verdict, const CarvedFile*> at(uint64_t start, uint64_t size) const
    {
        if (auto found = m_byStart.find(start); found != m_byStart.end()) {
            const CarvedFile& file = *found->second;
            const bool proven = file.confidence == CarveConfidence::exact && file.length == size;
            return { proven ? Verdict::proven : Verdict::refuted, &file };
        }
        return { unseen(start), nullptr };
    }

    /// The verdict on the format of a file in one run from `start` whose length is
    /// known otherwise: any file carved there, exact or a guess, tells it.
    std::pair<Verdict, const CarvedFile*> formatAt(uint64_t start) const
    {
        if (auto found = m_byStart.find(start); found != m_byStart.end())
            return { Verdict::proven, found->second };
        return { unseen(start), nullptr };
    }

private:
    /// A start where no file was carved: refuted when the scan looked there.
    Verdict unseen(uint64_t start) const
    {
        if (!m_complete)
            return Verdict::unknown;
        auto after = m_exactEnds.upper_bound(start);
        if (after != m_exactEnds.begin() && std::prev(after)->second > start)
            return Verdict::unknown; // skipped over by the scan
        return Verdict::refuted;
    }

    bool m_complete;
    std::map<uint64_t, const CarvedFile*> m_byStart;
    std::map<uint64_t, uint64_t> m_exactEnds; ///< start to end of each exact file
};

}

/// How much carvers may still walk: each walk costs the bytes its reads delivered.
struct FileSystemRecovery::WalkBudget {
    size_t count;
    uint64_t bytesLeft;
};

/// The entries of one volume, proven in two passes: first what the FAT (or a
/// contiguous run) gives, then the deleted files whose runs were not proven, by
/// the free clusters that remain.
class FileSystemRecovery::VolumeRecovery {
public:
    VolumeRecovery(const FileSystemRecovery& owner, ReadContext& context, const FatVolume& volume,
        const CarvedVerdicts& carved, std::vector<CarvedFile>& found, std::set<uint64_t>& starts,
        WalkBudget& walks)
        : m_owner(owner), m_context(context), m_volume(volume), m_carved(carved), m_found(found), m_starts(starts)
        , m_walks(walks), m_claimed(volume.clusterLimit(), false) { }

    void run(const std::vector<FatEntry>& entries, const std::function<bool()>& isCancelled)
    {
        std::vector<const FatEntry*> files;
        for (const auto& entry : entries)
            if (!entry.directory && entry.size > 0 && m_volume.isValidCluster(entry.firstCluster))
                files.push_back(&entry);
        // Live files first: their clusters are theirs whatever a deleted entry says.
        std::stable_partition(files.begin(), files.end(), [](const FatEntry* entry) { return !entry->deleted; });
        std::vector<const FatEntry*> unproven;
        for (const FatEntry* entry : files) {
            if (isCancelled && isCancelled())
                return;
            if (!proveFirstGuesses(*entry) && entry->deleted && !entry->contiguous)
                unproven.push_back(entry);
        }
        std::stable_sort(unproven.begin(), unproven.end(), [](const FatEntry* a, const FatEntry* b) { return a->firstCluster < b->firstCluster; });
        if (!unproven.empty()) {
            for (uint32_t cluster = 2; cluster < m_volume.clusterLimit(); ++cluster)
                if (!m_volume.inUse(cluster))
                    m_free.push_back(cluster);
        }
        for (const FatEntry* entry : unproven) {
            if (isCancelled && isCancelled())
                return;
            if (isTaken(entry->firstCluster))
                continue; // a live file, or a file proven meanwhile, has its first cluster now
            auto clusters = freeClusters(*entry);
            if (clusters != contiguousClusters(*entry))
                tryClusters(*entry, clusters);
        }
    }

private:
    uint64_t clusterCount(const FatEntry& entry) const { return (entry.size + m_volume.clusterSize() - 1) / m_volume.clusterSize(); }

    bool isTaken(uint32_t cluster) const { return m_volume.inUse(cluster) || m_claimed[cluster]; }

    /// The chain, or the run from the first cluster: whichever the entry allows.
    bool proveFirstGuesses(const FatEntry& entry)
    {
        const uint64_t count = clusterCount(entry);
        if (count > m_volume.clusterLimit())
            return false;
        if (!entry.deleted) {
            auto clusters = entry.contiguous ? contiguousClusters(entry) : m_volume.chain(entry.firstCluster, count);
            return clusters.size() == count && tryClusters(entry, clusters);
        }
        if (isTaken(entry.firstCluster))
            return false; // a live file has its first cluster now
        auto free = [&](const std::vector<uint32_t>& clusters) {
            return clusters.size() == count && std::none_of(clusters.begin(), clusters.end(), [&](uint32_t c) { return isTaken(c); });
        };
        // exFAT keeps a deleted file's chain; FAT clears it.
        if (m_volume.kind() == FatKind::exfat && !entry.contiguous) {
            auto chained = m_volume.chain(entry.firstCluster, count);
            if (free(chained) && tryClusters(entry, chained))
                return true;
        }
        auto run = contiguousClusters(entry);
        return free(run) && tryClusters(entry, run);
    }

    std::vector<uint32_t> contiguousClusters(const FatEntry& entry) const
    {
        std::vector<uint32_t> clusters;
        const uint64_t count = clusterCount(entry);
        for (uint32_t cluster = entry.firstCluster; clusters.size() < count && m_volume.isValidCluster(cluster); ++cluster)
            clusters.push_back(cluster);
        return clusters;
    }

    /// The first cluster, then the free clusters above it in ascending order,
    /// skipping those of files proven meanwhile.
    std::vector<uint32_t> freeClusters(const FatEntry& entry) const
    {
        std::vector<uint32_t> clusters { entry.firstCluster };
        const uint64_t count = clusterCount(entry);
        auto next = std::upper_bound(m_free.begin(), m_free.end(), entry.firstCluster);
        for (; clusters.size() < count && next != m_free.end(); ++next)
            if (!m_claimed[*next])
                clusters.push_back(*next);
        return clusters;
    }

    bool tryClusters(const FatEntry& entry, const std::vector<uint32_t>& clusters)
    {
        if (clusters.size() != clusterCount(entry))
            return false;
        auto runs = runsOf(m_volume, clusters, entry.size);
        if (runs.empty() || m_starts.contains(runs.front().offset))
            return false;
        CarvedFile file;
        file.start = runs.front().offset;
        file.length = entry.size;
        if (!(entry.deleted ? proveDeleted(file, runs) : identifyLive(file, runs)))
            return false;
        file.confidence = CarveConfidence::exact;
        file.name = entry.name;
        file.folder = entry.folder;
        file.modified = entry.modified;
        if (runs.size() > 1)
            file.runs = std::move(runs);
        m_starts.insert(file.start);
        m_found.push_back(std::move(file));
        for (uint32_t cluster : clusters)
            m_claimed[cluster] = true;
        return true;
    }

    /// A deleted entry's clusters may hold another file written over it since: they
    /// count only when a carver walks them and finds an exact file that ends where the
    /// entry says. Fills in `file`'s format and digests.
    bool proveDeleted(CarvedFile& file, const std::vector<SourceRun>& runs)
    {
        auto [verdict, carved] = runs.size() == 1 ? m_carved.at(file.start, file.length)
                                                  : std::pair(CarvedVerdicts::Verdict::unknown, nullptr);
        if (verdict == CarvedVerdicts::Verdict::refuted)
            return false;
        if (verdict == CarvedVerdicts::Verdict::proven) {
            std::tie(file.ext, file.category, file.headDigest, file.sampleDigests) = std::tuple(carved->ext, carved->category, carved->headDigest, carved->sampleDigests);
            return true;
        }
        return walk(file, runs, [&](const CarveMatch& match) { return match.confidence == CarveConfidence::exact && match.length == file.length; });
    }

    /// A live entry and its chain are the file: its length is the entry's, whatever a
    /// carver makes of its end (a camera's padding, text appended to a RAW file, an MP3
    /// whose end no structure tells). A carver only needs to know its format at its start.
    bool identifyLive(CarvedFile& file, const std::vector<SourceRun>& runs)
    {
        auto [verdict, carved] = runs.size() == 1 ? m_carved.formatAt(file.start)
                                                  : std::pair(CarvedVerdicts::Verdict::unknown, nullptr);
        if (verdict == CarvedVerdicts::Verdict::refuted)
            return false;
        if (verdict == CarvedVerdicts::Verdict::unknown)
            return walk(file, runs, [](const CarveMatch&) { return true; });
        std::tie(file.ext, file.category) = std::tuple(carved->ext, carved->category);
        if (carved->length == file.length && carved->headDigest) {
            std::tie(file.headDigest, file.sampleDigests) = std::tuple(carved->headDigest, carved->sampleDigests);
            return true;
        }
        ReadContext fileBytes(std::make_shared<RunSource>(m_context.source(), runs));
        takeDigests(file, fileBytes);
        return true;
    }

    /// Has a carver walk `runs` as one file; when it finds a match `accepts` takes, fills
    /// in `file`'s format and digests. Each walk is charged to the source's budget.
    bool walk(CarvedFile& file, const std::vector<SourceRun>& runs, const std::function<bool(const CarveMatch&)>& accepts)
    {
        if (m_walks.count >= kMaxWalks || m_walks.bytesLeft == 0)
            return false;
        ++m_walks.count;
        auto view = std::make_shared<RunSource>(m_context.source(), runs);
        auto match = m_owner.identify(view, accepts);
        m_walks.bytesLeft -= std::min(m_walks.bytesLeft, view->delivered());
        if (!match)
            return false;
        std::tie(file.ext, file.category) = std::tuple(match->ext, match->category);
        ReadContext fileBytes(view);
        takeDigests(file, fileBytes);
        return true;
    }

    const FileSystemRecovery& m_owner;
    ReadContext& m_context;
    const FatVolume& m_volume;
    const CarvedVerdicts& m_carved;
    std::vector<CarvedFile>& m_found;
    std::set<uint64_t>& m_starts;
    WalkBudget& m_walks;
    std::vector<bool> m_claimed; ///< clusters of the files proven so far
    std::vector<uint32_t> m_free; ///< the clusters no live file holds, ascending; made for the second pass
};

FileSystemRecovery::FileSystemRecovery(std::vector<FormatCarverPtr> carvers, CategorySet categories)
    : m_carvers(std::move(carvers))
    , m_categories(std::move(categories))
{
}

std::vector<CarvedFile> FileSystemRecovery::recover(ReadContext& context, const std::vector<CarvedFile>& carved,
    const std::function<bool()>& isCancelled) const
{
    const CarvedVerdicts verdicts(carved);
    std::vector<CarvedFile> found;
    std::set<uint64_t> starts;
    const uint64_t size = context.size();
    WalkBudget walks { 0, size > (UINT64_MAX - kWalkAllowance) / 2 ? UINT64_MAX : size * 2 + kWalkAllowance };
    for (uint64_t offset : FatVolume::findVolumes(context)) {
        auto volume = FatVolume::open(context, offset);
        if (!volume)
            continue;
        VolumeRecovery(*this, context, *volume, verdicts, found, starts, walks).run(volume->entries(context), isCancelled);
    }
    std::sort(found.begin(), found.end(), [](const CarvedFile& a, const CarvedFile& b) { return a.start < b.start; });
    return found;
}

std::vector<SourceRun> FileSystemRecovery::runsOfFragmentedFiles(ReadContext& context)
{
    std::vector<SourceRun> runs;
    for (uint64_t offset : FatVolume::findVolumes(context)) {
        auto volume = FatVolume::open(context, offset);
        if (!volume)
            continue;
        const auto entries = volume->entries(context);
        auto clusterCount = [&](const FatEntry& entry) { return (entry.size + volume->clusterSize() - 1) / volume->clusterSize(); };
        auto walkable = [&](const FatEntry& entry) {
            return !entry.directory && entry.size > 0 && volume->isValidCluster(entry.firstCluster) && clusterCount(entry) <= volume->clusterLimit();
        };
        auto add = [&](const std::vector<uint32_t>& clusters, std::vector<SourceRun>& to) {
            auto fileRuns = runsOf(*volume, clusters, uint64_t { clusters.size() } * volume->clusterSize());
            to.insert(to.end(), fileRuns.begin(), fileRuns.end());
        };
        // The clusters a deleted file proven in one run of free clusters may claim: the
        // free clusters guessed for another deleted file skip them then. Those in one
        // run and in two or more are told apart, so that a file's own run is not taken
        // for another's.
        std::vector<bool> inRun(volume->clusterLimit(), false), inRuns(volume->clusterLimit(), false);
        for (const FatEntry& entry : entries) {
            if (!walkable(entry) || !entry.deleted)
                continue;
            // Only a run of free clusters may be proven in one run.
            bool runFree = clusterCount(entry) <= volume->clusterLimit() - entry.firstCluster;
            for (uint64_t cluster = entry.firstCluster; runFree && cluster - entry.firstCluster < clusterCount(entry); ++cluster)
                runFree = !volume->inUse(static_cast<uint32_t>(cluster));
            if (!runFree)
                continue;
            for (uint64_t cluster = entry.firstCluster; cluster < volume->clusterLimit() && cluster - entry.firstCluster < clusterCount(entry); ++cluster) {
                if (inRun[cluster])
                    inRuns[cluster] = true;
                inRun[cluster] = true;
            }
        }
        std::vector<uint32_t> free; // made when a deleted file needs it
        std::vector<SourceRun> guesses;
        for (const FatEntry& entry : entries) {
            if (!walkable(entry))
                continue;
            const uint64_t count = clusterCount(entry);
            // A live file's chain (and a deleted one's that exFAT kept), walked as it is.
            if (!entry.contiguous && (!entry.deleted || volume->kind() == FatKind::exfat)) {
                auto chained = volume->chain(entry.firstCluster, count);
                if (chained.size() == count && runsOf(*volume, chained, entry.size).size() > 1)
                    add(chained, runs);
            }
            if (!entry.deleted || entry.contiguous || volume->inUse(entry.firstCluster))
                continue;
            // A deleted file not proven in one run: the free clusters from its first one
            // up, those of deleted files proven meanwhile skipped; all of them are kept.
            if (free.empty()) {
                for (uint32_t cluster = 2; cluster < volume->clusterLimit(); ++cluster)
                    if (!volume->inUse(cluster))
                        free.push_back(cluster);
            }
            std::vector<uint32_t> guessed { entry.firstCluster };
            uint64_t own = 1;
            // Bounded: clusters of other files beyond as many as its own are not followed
            // (those walks may read again), so the work stays that of recover().
            for (auto next = std::upper_bound(free.begin(), free.end(), entry.firstCluster); own < count && guessed.size() < 2 * count && next != free.end(); ++next) {
                guessed.push_back(*next);
                const bool another = *next - entry.firstCluster < count ? inRuns[*next] : inRun[*next];
                own += another ? 0 : 1;
            }
            if (guessed.size() > count || guessed.back() - entry.firstCluster >= count)
                add(guessed, guesses); // not the run from the first cluster
        }
        runs.insert(runs.end(), guesses.begin(), guesses.end());
    }
    return runs;
}

std::optional<CarveMatch> FileSystemRecovery::identify(const ByteSourcePtr& source, const std::function<bool(const CarveMatch&)>& accepts) const
{
    // Carvers read what their structure needs (a header, box or chunk heads, a search
    // in 1 MiB pieces): straight from the runs, which costs less than reading the file first.
    ReadContext context(source);
    ByteRun head;
    try {
        head = context.bytes(0, kHeadBytes);
    } catch (const DeviceError&) {
        return std::nullopt; // an unreadable file proves nothing
    }
    for (const auto& carver : m_carvers) {
        const int64_t at = carver->signatureOffset();
        if (at < 0 || static_cast<uint64_t>(at) >= head.size())
            continue;
        bool matches = std::any_of(carver->signatures().begin(), carver->signatures().end(), [&](const Signature& pattern) {
            return pattern.size() <= head.size() - static_cast<size_t>(at)
                && std::equal(pattern.begin(), pattern.end(), head.begin() + at);
        });
        if (!matches)
            continue;
        try {
            auto match = carver->carve(0, context);
            if (match && m_categories.contains(match->category) && accepts(*match))
                return match;
        } catch (const DeviceError&) {
            // An unreadable piece proves nothing; the next carver may still.
        }
    }
    return std::nullopt;
}

std::vector<SourceRun> FileSystemRecovery::runsOf(const FatVolume& volume, const std::vector<uint32_t>& clusters, uint64_t size)
{
    std::vector<SourceRun> runs;
    uint64_t left = size;
    for (uint32_t cluster : clusters) {
        if (left == 0)
            break;
        const uint64_t offset = volume.clusterOffset(cluster);
        const uint64_t length = std::min(left, volume.clusterSize());
        if (!runs.empty() && runs.back().offset + runs.back().length == offset)
            runs.back().length += length;
        else
            runs.push_back({ offset, length });
        left -= length;
    }
    return runs;
}

std::vector<CarvedFile> FileSystemRecovery::merge(std::vector<CarvedFile> carved, std::vector<CarvedFile> recovered)
{
    std::map<uint64_t, size_t> byStart;
    for (size_t index = 0; index < carved.size(); ++index)
        byStart.emplace(carved[index].start, index);
    for (auto& file : recovered) {
        auto same = byStart.find(file.start);
        if (same == byStart.end()) {
            carved.push_back(std::move(file));
            continue;
        }
        CarvedFile& earlier = carved[same->second];
        if (!file.runs && earlier.confidence == CarveConfidence::exact && earlier.length == file.length && earlier.ext == file.ext) {
            earlier.name = std::move(file.name);
            earlier.folder = std::move(file.folder);
            earlier.modified = std::move(file.modified);
        } else {
            earlier = std::move(file); // the whole file where carving found a piece or a guess
        }
    }
    std::stable_sort(carved.begin(), carved.end(), [](const CarvedFile& a, const CarvedFile& b) { return a.start < b.start; });
    return carved;
}

}
