#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/filesystems/FatVolume.hpp"
#include "carve/FormatCarver.hpp"
#include "carve/ReadContext.hpp"

#include <functional>
#include <optional>
#include <vector>

namespace brightfold {

/// Files found through what a FAT or exFAT volume's directories still say of
/// them, deleted ones included: each entry's clusters give the file's bytes.
/// A live file's entry and chain are the file, so it counts, with the entry's
/// size, when a carver knows the format it starts with. A deleted file's
/// clusters count only when a carver of their format walks them and calls them
/// an exact file of the entry's size. Such a file carries its name, folder and
/// modification time, and its runs when it is fragmented.
///
/// Where a deleted file's FAT chain was cleared, its clusters are guessed as a
/// camera's next-free allocator lays them: first the run of clusters from its
/// first one, then, when that is not proven, the free clusters from its first one
/// upwards, skipping those live files and files already proven hold.
class FileSystemRecovery {
public:
    /// Recovers files of the formats `carvers` prove (only those of `categories`).
    FileSystemRecovery(std::vector<FormatCarverPtr> carvers, CategorySet categories);

    /// The files proven on every volume of the source behind `context`, in
    /// ascending order of start, at most one per start. `carved` is what a scan of
    /// the whole source with the same carvers found (or nothing): it decides an
    /// entry in one run of clusters without a walk, an exact file of the same start
    /// and length proving it, another file or none there refuting it.
    /// `isCancelled` is asked between entries. Throws what the context's reads throw.
    std::vector<CarvedFile> recover(ReadContext& context, const std::vector<CarvedFile>& carved,
        const std::function<bool()>& isCancelled = {}) const;

    /// `carved` with `recovered` folded in: a recovered file takes the place of a
    /// carved file of the same start (a carved file of the same bytes only gains the
    /// name, folder and time; one replaced loses its copy's path), the others are
    /// added; in ascending order of start.
    static std::vector<CarvedFile> merge(std::vector<CarvedFile> carved, std::vector<CarvedFile> recovered);

    /// Where the files in more than one run that recover() walks lie on the volumes
    /// behind `context`: first the chains (live files, and deleted ones exFAT kept),
    /// walked whatever carving finds; then, for each deleted file whose chain was
    /// cleared, the free clusters from its first one up that its walk may take
    /// (which depends on what is proven before it, so more than it takes).
    /// Throws what the context's reads throw.
    static std::vector<SourceRun> runsOfFragmentedFiles(ReadContext& context);

    /// The runs of `clusters` (in file order) of `volume`, cut to `size` bytes.
    static std::vector<SourceRun> runsOf(const FatVolume& volume, const std::vector<uint32_t>& clusters, uint64_t size);

private:
    class VolumeRecovery;
    struct WalkBudget;

    /// What the first carver whose signature `file` (a file's bytes in order) starts
    /// with finds in it, when that is of a category asked for and `accepts` takes it.
    std::optional<CarveMatch> identify(const ByteSourcePtr& file, const std::function<bool(const CarveMatch&)>& accepts) const;

    std::vector<FormatCarverPtr> m_carvers;
    CategorySet m_categories;
};

}
