#include "device/LoopDevice.hpp"
#include "device/SimulatedDevice.hpp"

#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

TEST(BlockDeviceSourceTest, UnreadableBlocksAreZeroFilledAndCountedExactly)
{
    // Short reads that end inside a block must not shift the block-by-block pass off the grid;
    // an interrupted call says nothing about a block; a device that ends early zero-fills the rest.
    struct Case {
        const char* name;
        std::set<uint64_t> bad;
        uint64_t longestRead { UINT64_MAX }, endsAtBlock { 32 };
        bool interrupting { false };
    };
    const Case cases[] = { { "none", {} }, { "block 3", { 3 } }, { "first and last", { 0, 15 } }, { "a run", { 5, 6, 7 } }, { "short reads of 700 bytes", { 3, 9 }, 700 },
        { "interrupted calls", { 2 }, UINT64_MAX, 32, true }, { "an early end", {}, UINT64_MAX, 10 } };
    for (uint64_t blockSize : { 512, 4096 }) {
        for (bool wholeReadFails : { true, false }) {
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message() << blockSize << "-byte blocks, " << c.name << (wholeReadFails ? "" : ", reads stop at a bad block"));
                auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(32 * blockSize)), blockSize);
                std::tie(device->bad, device->longestRead, device->endsAt, device->interrupting, device->wholeReadFails) = std::tuple(c.bad, c.longestRead, c.endsAtBlock * blockSize, c.interrupting, wholeReadFails);
                auto expected = patterned(16 * blockSize);
                for (uint64_t block = 0; block < 16; ++block) {
                    if (c.bad.contains(block) || block >= c.endsAtBlock)
                        std::fill_n(expected.begin() + std::ptrdiff_t(block * blockSize), blockSize, uint8_t { 0 });
                }
                auto source = SimulatedDevice::open(device);
                EXPECT_EQ(source->read(0, int64_t(16 * blockSize)), expected);
                EXPECT_EQ(source->badReads(), int64_t(c.bad.size() + 16 - std::min<uint64_t>(16, c.endsAtBlock)));
            }
        }
    }
}

TEST(BlockDeviceSourceTest, ReadsTheAlignedSpanInOneCallAndStopAtTheEnd)
{
    for (auto [blockSize, offset, count, spanStart, spanLength] : { std::tuple<uint64_t, uint64_t, int64_t, uint64_t, size_t> { 512, 1000, 100, 512, 1024 },
             { 512, 511, 2, 0, 1024 }, { 4096, 5000, 4096, 4096, 8192 }, { 4096, 8192, 4096, 8192, 4096 }, { 512, 32 * 512 - 3, 10, 31 * 512, 512 } }) {
        auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(32 * blockSize)), blockSize);
        auto source = SimulatedDevice::open(device);
        EXPECT_EQ(source->read(offset, count), device->image->read(offset, count)) << count << " at " << offset;
        EXPECT_TRUE(source->read(32 * blockSize, 10).empty());
        EXPECT_EQ(device->reads, (std::vector<std::pair<uint64_t, size_t>> { { spanStart, spanLength } })) << "reads at or past the end must not reach the device";
    }
    auto device = std::make_shared<SimulatedDevice>(std::make_shared<SparseSource>(10'000), 4096);
    device->reportedSize = 0; // no answer: the size the file system knows, and 512-byte blocks
    EXPECT_EQ(SimulatedDevice::open(device)->size(), 10'000u);
}

TEST(BlockDeviceSourceTest, LoopDevicesReadLikeTheirImageAndCloseWithTheirSource)
{
    TemporaryFolder folder;
    auto bytes = patterned(1024 * 1024);
    writeWholeFile(folder.path() / "card.img", bytes);
    for (uint32_t sectorSize : { 512u, 4096u }) {
        auto loop = LoopDevice::attach(folder.path() / "card.img", sectorSize);
        if (!loop)
            GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
        const int before = openDescriptorCount();
        {
            auto source = SourceOpener::open(loop->path());
            ASSERT_EQ(dynamic_cast<BlockDeviceSource&>(*source).blockSize(), sectorSize);
            EXPECT_EQ(source->read(12'345, 70'000), std::vector<uint8_t>(bytes.begin() + 12'345, bytes.begin() + 82'345));
            EXPECT_EQ(source->read(bytes.size() - 3, 10), std::vector<uint8_t>(bytes.end() - 3, bytes.end()));
        }
        EXPECT_EQ(openDescriptorCount(), before) << "the device stayed open after its source was gone";
    }
}

}
}
