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
