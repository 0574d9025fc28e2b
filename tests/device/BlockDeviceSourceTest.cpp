#include "device/SimulatedDevice.hpp"

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

}
}

namespace brightfold::test {
namespace {

TEST(BlockDeviceSourceTest, FirstPassGivesTheHealthyPartThenKeepsWhatTheBadAreaPassesRead)
{
    // Guards against a scan's reads going block by block through a dead region, and the card being read again for what was recovered.
    constexpr uint64_t kBlock = 512, kMiB = 1024 * 1024;
    auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(8 * kMiB)), kBlock);
    device->wholeReadFails = false;
    device->fail(2 * kMiB / kBlock, kMiB / kBlock);
    device->weaken(5 * kMiB / kBlock, 1, 1);
    auto source = SimulatedDevice::open(device);
    source->beginFirstPass({});
    std::vector<uint8_t> chunk(kMiB);
    for (uint64_t at = 0; at < 8 * kMiB; at += kMiB)
        ASSERT_EQ(source->readInto(at, chunk), chunk.size());
    EXPECT_EQ(source->badReads(), 0) << "nothing is known unreadable before the bad areas are tried";
    EXPECT_LE(device->reads.size(), 40u);

    auto outcome = source->readPassedOver({}, {});
    EXPECT_EQ(outcome.outcome, RescueOutcome::complete);
    ASSERT_FALSE(outcome.recovered.empty());
    EXPECT_EQ(source->unreadAreas(), (std::vector<UnreadableRegion> { { 2 * kMiB, kMiB } }));
    EXPECT_EQ(source->badReads(), int64_t(kMiB / kBlock));

    const auto image = patterned(8 * kMiB);
    const size_t reads = device->reads.size();
    for (const auto& run : outcome.recovered) {
        SCOPED_TRACE(run.offset);
        EXPECT_EQ(source->read(run.offset, int64_t(run.length)), std::vector(image.begin() + std::ptrdiff_t(run.offset), image.begin() + std::ptrdiff_t(run.offset + run.length)));
    }
    EXPECT_EQ(source->read(2 * kMiB, 1024), std::vector<uint8_t>(1024, 0));
    EXPECT_EQ(device->reads.size(), reads) << "what the bad-area passes read, and what failed, cost no read";
    EXPECT_EQ(source->badReads(), int64_t(kMiB / kBlock + 2));
}

TEST(BlockDeviceSourceTest, StoppedFirstPassReadsNothingMore)
{
    // Guards against a cancelled scan going on reading a failing card.
    auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(1 << 20)), 512);
    auto source = SimulatedDevice::open(device);
    bool stop = false;
    source->beginFirstPass([&] { return stop; });
    std::vector<uint8_t> chunk(1 << 16);
    source->readInto(0, chunk);
    stop = true;
    const size_t reads = device->reads.size();
    EXPECT_EQ(source->readInto(1 << 16, chunk), chunk.size());
    EXPECT_EQ(chunk, std::vector<uint8_t>(chunk.size(), 0));
    EXPECT_EQ(device->reads.size(), reads);
}

TEST(BlockDeviceSourceTest, AreasAScanCouldNotReadAreZerosWithoutTryingTheCardAgain)
{
    // Guards against a save from a failing card reading a dead area block by block
    // once more for a file that runs into it. The area given is not block-aligned.
    constexpr uint64_t kBlock = 512;
    const auto bytes = patterned(64 * kBlock);
    auto device = std::make_shared<SimulatedDevice>(sourceOf(bytes), kBlock);
    device->fail(16, 16);
    auto source = SimulatedDevice::open(device);
    source->avoid(std::vector<UnreadableRegion> { { 16 * kBlock + 100, 16 * kBlock - 100 }, { 1 << 30, kBlock } });

    std::vector<uint8_t> file(40 * kBlock);
    EXPECT_EQ(source->readInto(4 * kBlock, file), file.size());
    for (const auto& [offset, count] : device->reads)
        EXPECT_TRUE(offset + count <= 16 * kBlock || offset >= 32 * kBlock) << "read " << count << " at " << offset;
    EXPECT_EQ(source->badReads(), 16);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 12 * kBlock, bytes.begin() + 4 * kBlock));
    EXPECT_TRUE(std::all_of(file.begin() + 12 * kBlock, file.begin() + 28 * kBlock, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(file.begin() + 28 * kBlock, file.end(), bytes.begin() + 32 * kBlock));
}

}
}
