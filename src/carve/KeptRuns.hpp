#pragma once

#include "carve/CarvedFile.hpp"
#include "carve/HugePageBlock.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brightfold {

/// Copies of chosen runs of a source's bytes, taken from the chunks a scan reads
/// as it passes them, so that a pass after the scan over those runs (the walks of
/// fragmented files through their clusters) is served from memory instead of
/// reading the source again. Runs are kept in ascending order up to a budget of
/// bytes; a run is kept from its start for as long as the bytes offered reach it
/// without a gap (a scan that jumps over part of it keeps what came before).
class KeptRuns {
public:
    KeptRuns() = default;
    /// Keeps the runs whose bytes fit in `budget`, the first ones first (one that
    /// shares bytes with a run kept before it is left out).
    KeptRuns(std::vector<SourceRun> runs, uint64_t budget);

    /// Takes what of `bytes`, the source's bytes from `offset` on, belongs to the
    /// kept runs and continues what each holds.
    void keep(uint64_t offset, std::span<const uint8_t> bytes);

    /// Sets up the memory that the kept runs' bytes in [from, to) go to, so that
    /// keeping them later only copies. May run on another thread than keep().
    void prepare(uint64_t from, uint64_t to) const;

    /// The bytes [offset, offset + count) when they were all kept, else no value.
    std::optional<std::span<const uint8_t>> find(uint64_t offset, uint64_t count) const;

    bool empty() const { return m_runs.empty(); }

private:
    struct Run {
        uint64_t offset;
        uint64_t length;
        uint64_t at;         ///< where its bytes lie in m_bytes
        uint64_t filled { 0 }; ///< how many of its first bytes were offered
    };
    std::vector<Run> m_runs; ///< ascending, disjoint
    uint64_t m_total { 0 };
    /// Every run's bytes in one block, one run after the other.
    HugePageBlock m_bytes;
};

}
