#pragma once

#include "device/RescueLimits.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace brightfold {

/// A region a read delivered as zeros because it could not be read.
struct UnreadableRegion {
    uint64_t offset; ///< absolute, in the source
    uint64_t length;

    bool operator==(const UnreadableRegion&) const = default;
};

/// What the passes over the bad areas of a source that can fail (a card) did.
struct BadAreaOutcome {
    RescueOutcome outcome { RescueOutcome::complete };
    std::vector<UnreadableRegion> recovered; ///< runs those passes read, in order: worth a second look
};

/// A read-only, random-access run of bytes with a known size. Shared by its
/// readers through std::shared_ptr; the last holder closes whatever it owns.
/// Nothing behind this interface ever writes to what it reads.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    virtual uint64_t size() const = 0;
    /// Regions that could not be read and were delivered as zeros. Never decreases.
    virtual int64_t badReads() const = 0;
    /// Short identity of the source for scan reports (a path, or "memory(N bytes)").
    virtual std::string descriptionForReport() const = 0;

    /// Fills the front of `buffer` with the bytes at `offset` and returns how many
    /// were delivered: at most buffer.size(), fewer only at the end of the source
    /// (never reaching past size()). Throws DeviceError.
    virtual size_t readInto(uint64_t offset, std::span<uint8_t> buffer) = 0;

    /// readInto() for a reader that may throw the bytes away unused (a read-ahead):
    /// the unreadable regions met are appended to `unreadable` instead of being
    /// counted, and the reader counts those it uses with countUnreadable(). A source
    /// that never zero-fills needs neither.
    virtual size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable)
    {
        (void)unreadable;
        return readInto(offset, buffer);
    }
    /// Adds `regions` found by readIntoUncounted() to badReads().
    virtual void countUnreadable(int64_t regions) { (void)regions; }

    /// True when readInto() may run on two threads at once (positioned reads, no
    /// unguarded state): the scan engine then reads the next chunk ahead.
    virtual bool allowsConcurrentReads() const { return false; }

    /// For a source that can fail (a card), a reader going front to back asks for the
    /// healthy part first: from now on a read that fails passes over an area (zeros,
    /// not counted) instead of trying every block in it, until readPassedOver().
    /// Reads touch nothing more once `stop` answers true. Other sources ignore it.
    virtual void beginFirstPass(std::function<bool()> stop) { (void)stop; }
    /// Ends the first pass: reads the areas passed over from their edges inward, then
    /// block by block, within `limits`; `onStep` is told at each step. The bytes read
    /// are kept for the reads that follow, so the card gives them once. What is still
    /// unread is from then on unreadable: zeros, each block counted once in badReads().
    virtual BadAreaOutcome readPassedOver(const RescueLimits& limits, const std::function<void(RescuePass)>& onStep)
    {
        (void)limits;
        (void)onStep;
        return {};
    }
    /// Bytes the bad-area passes have still to read (while readPassedOver() runs).
    virtual uint64_t badAreaBytesLeft() const { return 0; }
    /// The areas that could not be read, in order (after readPassedOver()).
    virtual std::vector<UnreadableRegion> unreadAreas() const { return {}; }
    /// Areas an earlier scan of this source could not read: reads deliver them as
    /// zeros, counted in badReads(), without trying a failing card there again.
    /// Sources that cannot fail ignore it.
    virtual void avoid(std::span<const UnreadableRegion> areas) { (void)areas; }

    /// The bytes starting at `offset`, at most `count` of them. Throws DeviceError.
    std::vector<uint8_t> read(uint64_t offset, int64_t count);
};

using ByteSourcePtr = std::shared_ptr<ByteSource>;

}
