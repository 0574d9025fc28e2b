#pragma once

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

    /// The bytes starting at `offset`, at most `count` of them. Throws DeviceError.
    std::vector<uint8_t> read(uint64_t offset, int64_t count);
};

using ByteSourcePtr = std::shared_ptr<ByteSource>;

}
