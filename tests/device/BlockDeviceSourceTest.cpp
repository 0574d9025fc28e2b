#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "device/BlockDeviceSource.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <set>

namespace brightfold::test {
namespace {

/// A device simulated in memory: its block size, blocks that fail (the whole read, or
/// from the bad block on), reads cut short, interrupted calls and an early end.
struct Faults {
    std::set<uint64_t> bad;
    uint64_t longestRead { UINT64_MAX };
    uint64_t endsAt { UINT64_MAX };
    bool interrupting { false };
    bool wholeReadFails { true };
};

struct SimulatedDevice final : DeviceCalls, Faults {
    SimulatedDevice(int blockSize) : bytes(patterned(32 * blockSize)), blockSize(blockSize) { }
    ssize_t pread(int, void* buffer, size_t count, off_t at) override
    {
        const auto offset = static_cast<uint64_t>(at), block = static_cast<uint64_t>(blockSize);
        reads.emplace_back(offset, count);
        errno = interrupting && (++calls % 2) ? EINTR : EIO;
        if (errno == EINTR)
            return -1;
        count = static_cast<size_t>(std::min<uint64_t>({ count, longestRead, std::min<uint64_t>(bytes.size(), endsAt) - std::min<uint64_t>(offset, endsAt) }));
        for (uint64_t first = offset / block; first * block < offset + count; ++first) {
            if (bad.contains(first) && (wholeReadFails || first * block <= offset))
                return -1;
            if (bad.contains(first))
                count = static_cast<size_t>(first * block - offset);
        }
        std::memcpy(buffer, bytes.data() + offset, count);
        return static_cast<ssize_t>(count);
    }
    int logicalBlockSize(int, int& result) override { result = blockSize; return 0; }
    int deviceSize(int, uint64_t& result) override { result = reportedSize.value_or(bytes.size()); return 0; }
    int fstat(int, struct stat& status) override { status = {}; status.st_size = off_t(bytes.size()); return 0; }

    /// The bytes a read of [offset, offset + count) should give: the bad blocks as zeros.
    std::vector<uint8_t> expected(uint64_t offset, size_t count) const
    {
        std::vector<uint8_t> result(bytes.begin() + std::ptrdiff_t(offset), bytes.begin() + std::ptrdiff_t(offset + count));
        for (uint64_t i = offset; i < offset + count; ++i)
            result[i - offset] = bad.contains(i / blockSize) || i >= endsAt ? 0 : result[i - offset];
        return result;
    }

    std::vector<uint8_t> bytes;
    int blockSize;
    std::optional<uint64_t> reportedSize;
    int calls { 0 };
    std::vector<std::pair<uint64_t, size_t>> reads;
};

TEST(BlockDeviceSourceTest, UnreadableBlocksAreZeroFilledAndCountedExactly)
{
    // Short reads that end inside a block must not shift the block-by-block pass off the grid,
    // an interrupted call says nothing about a block, and a device ending early (a card pulled out) zero-fills the rest.
    const std::pair<const char*, Faults> cases[] = { { "none", {} }, { "block 3", { { 3 } } }, { "first and last", { { 0, 15 } } }, { "a run", { { 5, 6, 7 } } },
        { "short reads of 700 bytes", { { 3, 9 }, 700 } }, { "interrupted calls", { { 2 }, UINT64_MAX, UINT64_MAX, true } }, { "an early end", { {}, UINT64_MAX, 10 } } };
    for (int blockSize : { 512, 4096 }) {
        for (bool wholeReadFails : { true, false }) {
            for (const auto& [name, faults] : cases) {
                SCOPED_TRACE(testing::Message() << blockSize << "-byte blocks, " << name << (wholeReadFails ? "" : ", reads stop at a bad block"));
                auto device = std::make_shared<SimulatedDevice>(blockSize);
                static_cast<Faults&>(*device) = faults;
                device->wholeReadFails = wholeReadFails;
                device->endsAt = faults.endsAt == UINT64_MAX ? UINT64_MAX : faults.endsAt * blockSize;
                BlockDeviceSource source(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", device);
                EXPECT_EQ(source.read(0, 16 * blockSize), device->expected(0, 16 * size_t(blockSize)));
                EXPECT_EQ(source.badReads(), int64_t(faults.bad.size() + (faults.endsAt < 16 ? 16 - faults.endsAt : 0)));
            }
        }
    }
}

TEST(BlockDeviceSourceTest, ReadsTheAlignedSpanInOneCallAndStopAtTheEnd)
{
    for (auto [blockSize, offset, count, spanStart, spanLength] : { std::tuple<int, uint64_t, int64_t, uint64_t, size_t> { 512, 1000, 100, 512, 1024 },
             { 512, 511, 2, 0, 1024 }, { 4096, 5000, 4096, 4096, 8192 }, { 4096, 8192, 4096, 8192, 4096 }, { 512, 32 * 512 - 3, 10, 31 * 512, 512 } }) {
        SCOPED_TRACE(testing::Message() << count << " at " << offset);
        auto device = std::make_shared<SimulatedDevice>(blockSize);
        BlockDeviceSource source(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", device);
        EXPECT_EQ(source.read(offset, count), device->expected(offset, std::min<size_t>(count, 32 * blockSize - offset)));
        EXPECT_TRUE(source.read(32 * blockSize, 10).empty());
        EXPECT_EQ(device->reads, (std::vector<std::pair<uint64_t, size_t>> { { spanStart, spanLength } })) << "reads at or past the end must not reach the device";
    }
    auto device = std::make_shared<SimulatedDevice>(4096);
    device->reportedSize = 0; // no answer: the size the file system knows, and 512-byte blocks
    BlockDeviceSource source(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/sdz", device);
    EXPECT_EQ(source.size(), 32u * 4096);
}

TEST(BlockDeviceSourceTest, LoopDevicesReadLikeTheirImage)
{
    TemporaryFolder folder;
    auto bytes = patterned(1024 * 1024);
    writeWholeFile(folder.path() / "card.img", bytes);
    for (uint32_t sectorSize : { 512u, 4096u }) {
        auto loop = LoopDevice::attach(folder.path() / "card.img", sectorSize);
        if (!loop)
            GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
        auto source = SourceOpener::open(loop->path());
        ASSERT_EQ(dynamic_cast<BlockDeviceSource&>(*source).blockSize(), sectorSize);
        EXPECT_EQ(source->read(12'345, 70'000), std::vector<uint8_t>(bytes.begin() + 12'345, bytes.begin() + 82'345));
        EXPECT_EQ(source->read(bytes.size() - 3, 10), std::vector<uint8_t>(bytes.end() - 3, bytes.end()));
        EXPECT_EQ(source->descriptionForReport(), loop->path());
    }
}

}
}
