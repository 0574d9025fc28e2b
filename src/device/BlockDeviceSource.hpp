#pragma once

#include "device/ByteSource.hpp"
#include "device/DeviceCalls.hpp"
#include "device/RescueReader.hpp"
#include "device/UniqueFd.hpp"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace brightfold {

/// A source over an open block device (or any descriptor whose size the file
/// system knows). Reads whole aligned blocks; a block that cannot be read is
/// delivered as zeros and counted in badReads(), so a failing card still gives
/// everything that is readable. A block known to fail is never read again. In a
/// first pass (a scan) a failed read passes over an area and the healthy rest
/// comes first; the areas passed over are read at the end (RescueReader). Reads
/// may come from two threads at once (the engine reads ahead) when the calls are
/// the kernel's own.
class BlockDeviceSource final : public ByteSource {
public:
    /// Takes ownership of `fd` whatever happens: kept on success, closed when
    /// construction throws. The size comes from the device's logical block size
    /// and byte size, else from fstat (with 512-byte blocks). Throws
    /// DeviceError::notAFileOrDevice when neither gives a size above 0.
    BlockDeviceSource(UniqueFd fd, std::string path, std::shared_ptr<DeviceCalls> calls = DeviceCalls::system());

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return std::atomic_ref(m_badReads).load(std::memory_order_relaxed); }
    std::string descriptionForReport() const override { return m_path; }
    /// Never throws: unreadable blocks come back as zeros, each counted once per read
    /// (none in a first pass, which counts them once at its end).
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override;
    /// The same, listing each unreadable block instead of counting it.
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override;
    void countUnreadable(int64_t regions) override { std::atomic_ref(m_badReads).fetch_add(regions, std::memory_order_relaxed); }
    /// pread is safe on two threads; a simulated device in a test may not be.
    bool allowsConcurrentReads() const override { return m_calls == DeviceCalls::system(); }

    void beginFirstPass(std::function<bool()> stop) override;
    BadAreaOutcome readPassedOver(const RescueLimits& limits, const std::function<void(RescuePass)>& onStep) override;
    uint64_t badAreaBytesLeft() const override;
    std::vector<UnreadableRegion> unreadAreas() const override;
    void avoid(std::span<const UnreadableRegion> areas) override;

    /// Bytes per device block; at least 1.
    uint64_t blockSize() const { return m_blockSize; }
    /// A reader of its own over this device, starting from what `map` knows (a copy
    /// into an image file drives its passes itself).
    std::unique_ptr<RescueReader> readerWith(AreaMap map) const
    {
        return std::make_unique<RescueReader>(m_fd.get(), m_calls, m_blockSize, std::move(map));
    }
    /// The device's own descriptor (for comparing it with a file, never for writing).
    int descriptor() const { return m_fd.get(); }

    /// Bytes of the bad-area passes kept in memory for the reads after them, at most.
    static constexpr uint64_t kRecoveredBytesKept = 256 * 1024 * 1024;

private:
    /// Reads a span of untried blocks; a failure goes on block by block to the span's end.
    void readTrying(std::span<uint8_t> span, uint64_t start, std::vector<UnreadableRegion>* unreadable);
    /// Copies what the bad-area passes kept of [start, start + span.size()); returns
    /// the bytes copied from the front, and sets `next` to where the next kept run starts.
    size_t copyKept(std::span<uint8_t> span, uint64_t start, uint64_t& next) const;
    void countOrList(uint64_t start, uint64_t length, std::vector<UnreadableRegion>* unreadable);

    /// Unreadable blocks are counted, or listed in `unreadable` when it is given.
    size_t readBlocks(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>* unreadable);
    void readSpan(std::span<uint8_t> span, uint64_t start, std::vector<UnreadableRegion>* unreadable);

    UniqueFd m_fd;
    std::string m_path;
    std::shared_ptr<DeviceCalls> m_calls;
    uint64_t m_size { 0 };
    uint64_t m_blockSize { 0 };
    std::unique_ptr<RescueReader> m_reader;
    std::atomic<bool> m_firstPass { false };
    std::function<bool()> m_stop;
    /// Set once anything is known to fail: reads then look at the map first.
    std::atomic<bool> m_troubled { false };
    mutable std::mutex m_keptLock;
    std::map<uint64_t, std::vector<uint8_t>> m_kept; ///< runs the bad-area passes read, by start
    uint64_t m_keptBytes { 0 };
    std::vector<UnreadableRegion> m_unread;
    /// Counted through std::atomic_ref: a read-ahead thread may count too.
    alignas(std::atomic_ref<int64_t>::required_alignment) mutable int64_t m_badReads { 0 };
};

}
