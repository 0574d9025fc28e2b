#pragma once

#include "TestSupport.hpp"
#include "device/BlockDeviceSource.hpp"

#include <fcntl.h>

#include <algorithm>
#include <map>
#include <set>

namespace brightfold::test {

/// A device behind the block device calls: its bytes come from `image`, listed blocks fail
/// (the whole read, or from the bad block on, as the kernel does), reads may come back short,
/// every other call may be interrupted, and the device may end early or vanish once a read
/// reaches a given offset (a card pulled out), after which every read fails. Weak blocks read
/// after a number of failed tries; each failed read costs `failCost` seconds of the device's own
/// clock, which the bad-area passes budget by.
struct SimulatedDevice final : DeviceCalls {
    SimulatedDevice(std::shared_ptr<SparseSource> image, uint64_t blockSize) : image(std::move(image)), block(blockSize) { }

    ssize_t pread(int, void* buffer, size_t count, off_t at) override
    {
        const auto offset = static_cast<uint64_t>(at);
        reads.emplace_back(offset, count);
        gone = gone || offset + count > vanishAt;
        errno = gone ? ENODEV : interrupting && (reads.size() % 2) ? EINTR : EIO;
        count = static_cast<size_t>(std::min<uint64_t>({ count, longestRead, std::min(image->size(), endsAt) - std::min(offset, endsAt) }));
        for (uint64_t first = offset / block; first * block < offset + count && errno == EIO; ++first) {
            if (failsNow(first) && (wholeReadFails || first * block <= offset)) {
                if (auto tries = weak.find(first); tries != weak.end())
                    --tries->second;
                clock += failCost;
                return -1;
            }
            count = failsNow(first) ? static_cast<size_t>(first * block - offset) : count;
        }
        if (errno != EIO) {
            clock += gone ? failCost : 0;
            return -1;
        }
        for (uint64_t whole = (offset + block - 1) / block; (whole + 1) * block <= offset + count && !timesRead.empty(); ++whole)
            ++timesRead[whole];
        return static_cast<ssize_t>(image->readInto(offset, { static_cast<uint8_t*>(buffer), count }));
    }
    /// Virtual time: what the failed reads so far would have cost.
    double seconds() override { return clock; }
    int logicalBlockSize(int, int& result) override { result = int(block); return 0; }
    int deviceSize(int, uint64_t& result) override { result = image->size(); return 0; }
    int fstat(int, struct stat& status) override { status = {}; status.st_size = off_t(image->size()); return 0; }

    void fail(uint64_t firstBlock, uint64_t count)
    {
        for (uint64_t block = firstBlock; block < firstBlock + count; ++block)
            bad.insert(block);
    }

    /// Blocks that fail their first `tries` reads, then read.
    void weaken(uint64_t firstBlock, uint64_t count, int tries)
    {
        for (uint64_t block = firstBlock; block < firstBlock + count; ++block)
            weak[block] = tries;
    }
    bool failsNow(uint64_t index) const
    {
        auto tries = weak.find(index);
        return bad.contains(index) || (tries != weak.end() && tries->second > 0);
    }
    /// Starts counting how often each whole block is delivered (timesRead).
    void countReadsPerBlock() { timesRead.assign(static_cast<size_t>((image->size() + block - 1) / block), 0); }

    /// A source reading through these calls; they never use its descriptor, which only has to be one it can own.
    static std::shared_ptr<BlockDeviceSource> open(std::shared_ptr<SimulatedDevice> device)
    {
        return std::make_shared<BlockDeviceSource>(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", std::move(device));
    }

    std::shared_ptr<SparseSource> image;
    uint64_t block;
    std::set<uint64_t> bad;
    bool wholeReadFails { true }, interrupting { false }, gone { false };
    uint64_t longestRead { UINT64_MAX }, endsAt { UINT64_MAX }, vanishAt { UINT64_MAX };
    std::vector<std::pair<uint64_t, size_t>> reads;
    std::map<uint64_t, int> weak;       ///< block → failed tries still to come
    double failCost { 0 }, clock { 0 }; ///< seconds
    std::vector<uint8_t> timesRead;     ///< per block, when counted
};

}
