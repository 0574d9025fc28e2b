#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "carve/CarveEngine.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/DeviceError.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 509) | 1); // never 0, so zero-filling shows
    return bytes;
}

/// A device simulated in memory: its geometry, blocks that fail, reads cut short,
/// interrupted calls and an early end, with a log of every read asked of it.
class SimulatedDevice : public DeviceCalls {
public:
    enum class Failure {
        wholeRead,   ///< a read touching a bad block fails outright, as many drivers do
        upToBadBlock ///< a read returns what lies before the first bad block it touches
    };

    SimulatedDevice(size_t size, int blockSize) : bytes(pattern(size)), blockSize(blockSize) { }

    ssize_t pread(int, void* buffer, size_t count, off_t at) override
    {
        auto offset = static_cast<uint64_t>(at);
        reads.emplace_back(offset, count);
        if (interruptEveryOtherCall && (++calls % 2) == 1) {
            errno = EINTR;
            return -1;
        }
        uint64_t end = std::min<uint64_t>(bytes.size(), endsAt);
        if (offset >= end)
            return 0;
        count = static_cast<size_t>(std::min<uint64_t>({ count, end - offset, longestRead }));
        auto block = static_cast<uint64_t>(blockSize);
        for (uint64_t first = offset / block; first * block < offset + count; ++first) {
            if (!badBlocks.contains(first))
                continue;
            if (failure == Failure::wholeRead || first * block <= offset) {
                errno = EIO;
                return -1;
            }
            count = static_cast<size_t>(first * block - offset);
            break;
        }
        std::memcpy(buffer, bytes.data() + offset, count);
        return static_cast<ssize_t>(count);
    }
    int logicalBlockSize(int, int& result) override
    {
        result = blockSize;
        return geometryFails ? (errno = ENOTTY, -1) : 0;
    }
    int deviceSize(int, uint64_t& result) override
    {
        result = reportedSize.value_or(bytes.size());
        return geometryFails ? (errno = ENOTTY, -1) : 0;
    }
    int fstat(int, struct stat& status) override
    {
        status = {};
        status.st_size = fstatSize;
        return 0;
    }

    /// The bytes a healthy read of [offset, offset + count) gives, with the bad blocks zeroed.
    std::vector<uint8_t> expected(uint64_t offset, size_t count) const
    {
        std::vector<uint8_t> result(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
        for (uint64_t block : badBlocks) {
            for (uint64_t at = block * static_cast<uint64_t>(blockSize); at < (block + 1) * static_cast<uint64_t>(blockSize); ++at) {
                if (at >= offset && at < offset + count)
                    result[at - offset] = 0;
            }
        }
        return result;
    }

    std::vector<uint8_t> bytes;
    int blockSize;
    std::optional<uint64_t> reportedSize;
    bool geometryFails { false };
    off_t fstatSize { 0 };
    std::set<uint64_t> badBlocks;
    Failure failure { Failure::wholeRead };
    uint64_t longestRead { UINT64_MAX };
    uint64_t endsAt { UINT64_MAX };
    bool interruptEveryOtherCall { false };
    int calls { 0 };
    std::vector<std::pair<uint64_t, size_t>> reads;
};

/// An open descriptor for the source to own; the simulated device ignores it.
UniqueFd someDescriptor()
{
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

std::pair<std::shared_ptr<SimulatedDevice>, BlockDeviceSource> deviceOf(size_t size, int blockSize)
{
    auto device = std::make_shared<SimulatedDevice>(size, blockSize);
    return { device, BlockDeviceSource(someDescriptor(), "/dev/sdz", device) };
}

/// The simulated device read from two threads at once, as the engine reads ahead on a real one.
class SharedDevice final : public ByteSource {
public:
    explicit SharedDevice(BlockDeviceSource& inner) : m_inner(inner) { }
    uint64_t size() const override { return m_inner.size(); }
    int64_t badReads() const override { return m_inner.badReads(); }
    std::string descriptionForReport() const override { return m_inner.descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        std::lock_guard lock(m_lock);
        return m_inner.readInto(offset, buffer);
    }
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override
    {
        std::lock_guard lock(m_lock);
        return m_inner.readIntoUncounted(offset, buffer, unreadable);
    }
    void countUnreadable(int64_t regions) override { m_inner.countUnreadable(regions); }
    bool allowsConcurrentReads() const override { return true; }

private:
    BlockDeviceSource& m_inner;
    std::mutex m_lock;
};

/// Takes every "SKIPSKIP" for an exact file of `length` bytes without reading it.
class SkippingCarver final : public FormatCarver {
public:
    explicit SkippingCarver(uint64_t length) : FormatCarver("skip", { FormatCategory::photos }, { textSignature("SKIPSKIP") }, 0, { 0, 0 }), m_length(length) { }
    std::optional<CarveMatch> carve(uint64_t, ReadContext&) const override { return CarveMatch { m_length, "skp", FormatCategory::photos, CarveConfidence::exact }; }

private:
    uint64_t m_length;
};

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}

TEST(BlockDeviceSourceTest, GeometryThatSaysNothingFallsBackToFstat)
{
    // A block size or count of 0 is no answer; the size the file system knows is used.
    for (uint64_t reported : { uint64_t { 0 }, uint64_t { 300 } }) {
        SCOPED_TRACE(reported);
        auto device = std::make_shared<SimulatedDevice>(10'000, 4096);
        device->reportedSize = reported;
        device->fstatSize = 10'000;
        BlockDeviceSource source(someDescriptor(), "/dev/sdz", device);
        EXPECT_EQ(source.blockSize(), 512u);
        EXPECT_EQ(source.size(), 10'000u);
    }
}

TEST(BlockDeviceSourceTest, ImageFileWithoutGeometryUsesItsSizeAnd512ByteBlocks)
{
    TemporaryFolder folder;
    auto bytes = pattern(10'000);
    writeFile(folder.path() / "card.img", bytes);
    BlockDeviceSource source(UniqueFd(::open((folder.path() / "card.img").c_str(), O_RDONLY | O_CLOEXEC)), "card.img");
    EXPECT_EQ(source.blockSize(), 512u);
    EXPECT_EQ(source.size(), 10'000u);
    // The last block is partial: the aligned span stops at the end of the file.
    EXPECT_EQ(source.read(9'990, 100), std::vector<uint8_t>(bytes.end() - 10, bytes.end()));
    EXPECT_EQ(source.read(1'000, 3'000), std::vector<uint8_t>(bytes.begin() + 1'000, bytes.begin() + 4'000));
    EXPECT_EQ(source.badReads(), 0);
}

TEST(BlockDeviceSourceTest, NoSizeByAnyMeasureIsRefusedAndTheDescriptorClosed)
{
    TemporaryFolder folder;
    writeFile(folder.path() / "empty.img", {});
    int fd = ::open((folder.path() / "empty.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    try {
        BlockDeviceSource source { UniqueFd(fd), "empty.img" };
        FAIL() << "an empty file was accepted";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.kind(), DeviceError::Kind::notAFileOrDevice);
        EXPECT_STREQ(error.what(), "empty.img is not a readable file or device.");
    }
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the descriptor was left open";
}

TEST(BlockDeviceSourceTest, ReadsTheAlignedSpanInOneCall)
{
    struct Case {
        int blockSize;
        uint64_t offset;
        int64_t count;
        uint64_t spanStart;
        size_t spanLength;
    };
    for (const Case& c : { Case { 512, 1000, 100, 512, 1024 }, Case { 512, 0, 8192, 0, 8192 }, Case { 512, 511, 2, 0, 1024 },
             Case { 4096, 1000, 100, 0, 4096 }, Case { 4096, 5000, 4096, 4096, 8192 }, Case { 4096, 8192, 4096, 8192, 4096 } }) {
        SCOPED_TRACE(testing::Message() << c.blockSize << "-byte blocks, " << c.count << " at " << c.offset);
        auto [device, source] = deviceOf(64 * 4096, c.blockSize);
        EXPECT_EQ(source.read(c.offset, c.count), device->expected(c.offset, static_cast<size_t>(c.count)));
        ASSERT_EQ(device->reads.size(), 1u);
        EXPECT_EQ(device->reads[0], std::make_pair(c.spanStart, c.spanLength));
    }
}

TEST(BlockDeviceSourceTest, ReadsStopAtTheEndOfTheDevice)
{
    auto [device, source] = deviceOf(16 * 512, 512);
    EXPECT_EQ(source.read(16 * 512 - 3, 10), device->expected(16 * 512 - 3, 3));
    EXPECT_TRUE(source.read(16 * 512, 10).empty());
    EXPECT_TRUE(source.read(UINT64_MAX, 10).empty());
    EXPECT_TRUE(source.read(100, 0).empty());
    EXPECT_EQ(device->reads.size(), 1u) << "reads at or past the end must not reach the device";
}

TEST(BlockDeviceSourceTest, UnreadableBlocksAreZeroFilledAndCountedExactly)
{
    struct Case {
        const char* name;
        std::set<uint64_t> bad;
        uint64_t longestRead;
    };
    const std::vector<Case> cases {
        { "block 3 of the span", { 3 }, UINT64_MAX },
        { "first and last blocks", { 0, 15 }, UINT64_MAX },
        { "a run of blocks", { 5, 6, 7 }, UINT64_MAX },
        // Short reads that end inside a block must not shift the block-by-block pass
        // off the block grid, or good neighbours would be zeroed with the bad block.
        { "short reads of 700 bytes", { 3, 9 }, 700 },
    };
    for (int blockSize : { 512, 4096 }) {
        for (auto failure : { SimulatedDevice::Failure::wholeRead, SimulatedDevice::Failure::upToBadBlock }) {
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message() << blockSize << "-byte blocks, " << c.name
                                                << (failure == SimulatedDevice::Failure::wholeRead ? ", whole read fails" : ", read stops at bad block"));
                auto [device, source] = deviceOf(32 * static_cast<size_t>(blockSize), blockSize);
                device->badBlocks = c.bad;
                device->failure = failure;
                device->longestRead = c.longestRead;
                auto bytes = source.read(0, 16 * blockSize);
                EXPECT_EQ(bytes, device->expected(0, 16 * static_cast<size_t>(blockSize)));
                EXPECT_EQ(source.badReads(), static_cast<int64_t>(c.bad.size()));
            }
        }
    }
}

TEST(BlockDeviceSourceTest, EveryReadTouchingABadBlockCountsIt)
{
    auto [device, source] = deviceOf(16 * 512, 512);
    device->badBlocks = { 3 };
    auto bytes = source.read(1000, 1000); // blocks 1 to 3, only partly asked for
    EXPECT_EQ(bytes, device->expected(1000, 1000));
    EXPECT_EQ(source.badReads(), 1);
    source.read(1536, 10);
    EXPECT_EQ(source.badReads(), 2);
    source.read(2048, 512); // block 4 is healthy
    EXPECT_EQ(source.badReads(), 2);
}

TEST(BlockDeviceSourceTest, ReadAheadThrownAwayCountsNoUnreadableBlock)
{
    // Guards against telling the user of bad regions that only a discarded read-ahead touched.
    constexpr int64_t kChunk = 64 * 1024;
    struct Case {
        const char* name;
        bool fileSkipsTheBadChunk;
        int64_t expectedBadReads;
    };
    for (const auto& c : { Case { "scanned", false, 1 }, Case { "skipped", true, 0 } }) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        auto [device, source] = deviceOf(4 * kChunk, 512);
        device->badBlocks = { (kChunk + kChunk / 2) / 512 }; // in the second chunk, read ahead while the first is scanned
        if (c.fileSkipsTheBadChunk)
            std::memcpy(device->bytes.data(), "SKIPSKIP", 8); // an exact file over the first three chunks
        auto shared = std::make_shared<SharedDevice>(source);
        CarveEngine engine(shared, { .outputDirectory = folder.path(), .enabledCategories = { FormatCategory::photos }, .chunkSize = kChunk },
            { std::make_shared<SkippingCarver>(3 * kChunk) });
        EXPECT_EQ(engine.run().badReads, c.expectedBadReads);
        EXPECT_EQ(source.badReads(), c.expectedBadReads);
    }
}

TEST(BlockDeviceSourceTest, InterruptedCallsAreRetriedInBothPasses)
{
    // An interrupted call says nothing about the block: zero-filling it would lose good data.
    auto [device, source] = deviceOf(16 * 512, 512);
    device->interruptEveryOtherCall = true;
    EXPECT_EQ(source.read(0, 8 * 512), device->expected(0, 8 * 512));
    EXPECT_EQ(source.badReads(), 0);

    device->badBlocks = { 2 };
    EXPECT_EQ(source.read(0, 8 * 512), device->expected(0, 8 * 512));
    EXPECT_EQ(source.badReads(), 1);
}

TEST(BlockDeviceSourceTest, DeviceEndingEarlyZeroFillsTheMissingBlocks)
{
    // A card pulled out mid-read: pread says end of file inside the known size.
    auto [device, source] = deviceOf(16 * 512, 512);
    device->endsAt = 10 * 512;
    EXPECT_EQ(source.read(8 * 512, 8 * 512).size(), 8u * 512);
    auto tail = source.read(8 * 512, 8 * 512);
    EXPECT_EQ(std::vector<uint8_t>(tail.begin(), tail.begin() + 1024), device->expected(8 * 512, 1024));
    EXPECT_EQ(std::count(tail.begin() + 1024, tail.end(), 0), 6 * 512);
    EXPECT_EQ(source.badReads(), 12);
}

TEST(BlockDeviceSourceTest, LoopDevicesReadLikeTheirImage)
{
    TemporaryFolder folder;
    auto bytes = pattern(1024 * 1024);
    writeFile(folder.path() / "card.img", bytes);
    for (uint32_t sectorSize : { 512u, 4096u }) {
        SCOPED_TRACE(sectorSize);
        auto loop = LoopDevice::attach(folder.path() / "card.img", sectorSize);
        if (!loop)
            GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
        auto source = SourceOpener::open(loop->path());
        auto* device = dynamic_cast<BlockDeviceSource*>(source.get());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->blockSize(), sectorSize);
        EXPECT_EQ(device->size(), bytes.size());
        EXPECT_EQ(device->descriptionForReport(), loop->path());
        for (auto [offset, count] : { std::pair<uint64_t, int64_t> { 0, 4096 }, { 1000, 100 }, { 4095, 2 }, { 12'345, 70'000 },
                 { bytes.size() - 3, 10 } }) {
            SCOPED_TRACE(offset);
            auto end = std::min<uint64_t>(offset + static_cast<uint64_t>(count), bytes.size());
            EXPECT_EQ(device->read(offset, count), std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                                     bytes.begin() + static_cast<std::ptrdiff_t>(end)));
        }
        EXPECT_EQ(device->badReads(), 0);
    }
}
