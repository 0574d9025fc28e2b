#pragma once

#include "device/ByteSource.hpp"
#include "device/DeviceCalls.hpp"
#include "device/UniqueFd.hpp"

#include <atomic>

namespace brightfold {

/// A source over an open block device (or any descriptor whose size the file
/// system knows). Reads whole aligned blocks; a block that cannot be read is
/// delivered as zeros and counted in badReads(), so a failing card still gives
/// everything that is readable. Reads may come from two threads at once (the
/// engine reads ahead) when the calls are the kernel's own.
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
    /// Never throws: unreadable blocks come back as zeros, each counted once per read.
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override;
    /// The same, listing each unreadable block instead of counting it.
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override;
    void countUnreadable(int64_t regions) override { std::atomic_ref(m_badReads).fetch_add(regions, std::memory_order_relaxed); }
    /// pread is safe on two threads; a simulated device in a test may not be.
    bool allowsConcurrentReads() const override { return m_calls == DeviceCalls::system(); }

    /// Bytes per device block; at least 1.
    uint64_t blockSize() const { return m_blockSize; }

private:
    /// Unreadable blocks are counted, or listed in `unreadable` when it is given.
    size_t readBlocks(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>* unreadable);
    void readSpan(std::span<uint8_t> span, uint64_t start, std::vector<UnreadableRegion>* unreadable);
    /// Reads until `piece` is full, retrying interrupted calls; returns how many
    /// bytes came before the first error or early end.
    size_t readAsMuchAs(std::span<uint8_t> piece, uint64_t start);

    UniqueFd m_fd;
    std::string m_path;
    std::shared_ptr<DeviceCalls> m_calls;
    uint64_t m_size { 0 };
    uint64_t m_blockSize { 0 };
    /// Counted through std::atomic_ref: a read-ahead thread may count too.
    alignas(std::atomic_ref<int64_t>::required_alignment) mutable int64_t m_badReads { 0 };
};

}
