#pragma once

#include "device/AreaMap.hpp"
#include "device/DeviceCalls.hpp"
#include "device/RescueLimits.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>

namespace brightfold {

/// Reads a failing device the way rescue tools do, so the healthy part comes first
/// and a bad area is never hammered: a failed read passes over an area that grows
/// while reads go on failing and shrinks once they succeed; the areas passed over
/// are read later from their edges inward (trimming), and what is left block by
/// block (scraping), each block at most `maxTries` times. No block that was read is
/// read again. What is known lives in an AreaMap. Reads may come from two threads.
class RescueReader {
public:
    /// Receives every run read in the copying, trimming and scraping passes.
    using Sink = std::function<void(uint64_t offset, std::span<const uint8_t> bytes)>;
    /// Told at each step of a pass; reads progress() when it wants figures.
    using StepHandler = std::function<void(RescuePass pass)>;

    static constexpr uint64_t kFirstSkip = 64 * 1024;             ///< bytes passed over after the first failed read
    static constexpr uint64_t kLargestSkipCap = 1024ull * 1024 * 1024; ///< bytes: the skip never grows past this
    static constexpr uint64_t kCopyPiece = 1024 * 1024;           ///< bytes per read of a first pass, at most: bounds what one failing read costs
    static constexpr uint64_t kProbePiece = 4096;                 ///< bytes of the first read after a failure, until one succeeds
    static constexpr uint64_t kLargestTrimPiece = 1024 * 1024;    ///< bytes per read while trimming, at most

    /// Reads `fd` (not owned) through `calls`. `map` says what is known already
    /// (its size is the device's); `blockSize` is the unit every area is made of.
    RescueReader(int fd, std::shared_ptr<DeviceCalls> calls, uint64_t blockSize, AreaMap map);

    /// Fills `buffer` with the bytes at block-aligned `offset` for a reader that goes
    /// front to back (a scan's first pass): areas known to fail and areas passed over
    /// come back as zeros without a read; a read that fails passes over an area, also
    /// zeros. Marks what it reads only when `markRead` is set. Reads nothing once
    /// `stop` answers true or the device is gone; the rest is zeros then.
    void readPassingOver(uint64_t offset, std::span<uint8_t> buffer, bool markRead, const std::function<bool()>& stop = {});

    /// The copying pass over every untried area, in pieces of kCopyPiece, handing
    /// what it reads to `sink`.
    RescueOutcome copyUntried(const Sink& sink, const RescueLimits& limits, const StepHandler& onStep = {});
    /// Trimming, then scraping, of the areas passed over, within the budget.
    RescueOutcome readBadAreas(const Sink& sink, const RescueLimits& limits, const StepHandler& onStep = {});

    AreaMap map() const;
    /// The run of the map holding `offset` (below size()).
    Area areaAt(uint64_t offset) const;
    /// Counts a failed read made through readRaw() by a caller of its own.
    void countFailedRead() { m_failedReads.fetch_add(1, std::memory_order_relaxed); }
    /// Puts [start, start + length) in `state` (a caller that read it another way).
    void mark(uint64_t start, uint64_t length, AreaState state);
    /// Whether any area waits for the trimming or scraping pass.
    bool hasBadAreas() const;
    /// Reads that failed, counted since this reader was made.
    int64_t failedReads() const { return m_failedReads.load(std::memory_order_relaxed); }
    /// Whether the device stopped answering.
    bool deviceGone() const { return m_gone.load(std::memory_order_relaxed); }
    uint64_t blockSize() const { return m_blockSize; }
    uint64_t size() const { return m_size; }
    /// Seconds on the device calls' clock.
    double now() const { return m_calls->seconds(); }

    /// One positioned read, as much of `piece` as the device gives before an error
    /// or its end, retrying interrupted calls. `error` is the errno of the stop, 0
    /// when the piece was filled.
    size_t readRaw(uint64_t offset, std::span<uint8_t> piece, int& error);

private:
    enum class Step { goOn, stop };

    /// After a read that stopped at `failedAt`: notes the failure and passes over
    /// the untried bytes from its block on. Returns where reading goes on.
    uint64_t passOver(uint64_t failedAt, int error);
    void succeeded(uint64_t bytes);
    /// How much the next read of the first pass asks for, at most.
    uint64_t nextPiece() const { return m_probing.load(std::memory_order_relaxed) ? kProbePiece : kCopyPiece; }
    /// Puts the untried bytes of [from, to) in `state`.
    void markUntried(uint64_t from, uint64_t to, AreaState state);
    void markUntriedLocked(uint64_t from, uint64_t to, AreaState state);
    /// One single-block try in the bad-area passes; true when it read.
    bool tryBlock(uint64_t block, const Sink& sink, std::span<uint8_t> buffer);
    /// Reads [start, end) from its front edge inward, then from its back edge; the
    /// middle that failed is left unscraped.
    std::optional<RescueOutcome> trim(uint64_t start, uint64_t end, const Sink& sink, const std::function<std::optional<RescueOutcome>()>& check);
    /// Delivers and marks whole blocks of a run that was read.
    void deliver(uint64_t offset, std::span<const uint8_t> bytes, const Sink& sink);

    int m_fd;
    std::shared_ptr<DeviceCalls> m_calls;
    uint64_t m_blockSize;
    uint64_t m_size;
    uint64_t m_largestSkip;
    mutable std::mutex m_lock; ///< guards the map, the skip and the tries
    AreaMap m_map;
    uint64_t m_skip { kFirstSkip };
    /// Set by a failed read, cleared by one that succeeds: reads are then kProbePiece long,
    /// as a failing read of a device can cost a retry of every page it asked for.
    std::atomic<bool> m_probing { false };
    std::unordered_map<uint64_t, int> m_tries; ///< failed single-block reads, by block start
    std::atomic<int64_t> m_failedReads { 0 };
    std::atomic<bool> m_gone { false };
};

}
