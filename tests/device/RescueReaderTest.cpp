#include "device/SimulatedDevice.hpp"

#include "device/RescueReader.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

using enum AreaState;

constexpr uint64_t kBlock = 512;
constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * 1024;

/// A failing device of patterned bytes, a reader over it and the copy the reader's passes make.
struct Rescue {
    explicit Rescue(uint64_t size, AreaMap map = AreaMap())
        : device(std::make_shared<SimulatedDevice>(sourceOf(patterned(size)), kBlock))
        , copy(size)
    {
        device->wholeReadFails = false; // reads stop at a bad block, as the kernel's do
        device->failCost = 0.005;
        device->countReadsPerBlock();
        reader = std::make_unique<RescueReader>(-1, device, kBlock, map.size() == size ? std::move(map) : AreaMap(size));
    }

    RescueReader::Sink sink()
    {
        return [this](uint64_t offset, std::span<const uint8_t> bytes) { std::ranges::copy(bytes, copy.begin() + std::ptrdiff_t(offset)); };
    }
    /// The device's bytes, with zeros where the map does not say read.
    std::vector<uint8_t> expectedCopy() const
    {
        auto bytes = patterned(copy.size());
        for (const Area& area : reader->map().areas()) {
            if (area.state != read)
                std::fill_n(bytes.begin() + std::ptrdiff_t(area.start), area.length, uint8_t { 0 });
        }
        return bytes;
    }
    uint64_t blocksReadMoreThanOnce() const { return uint64_t(std::ranges::count_if(device->timesRead, [](uint8_t times) { return times > 1; })); }

    std::shared_ptr<SimulatedDevice> device;
    std::vector<uint8_t> copy;
    std::unique_ptr<RescueReader> reader;
};

TEST(RescueReaderTest, DeadRegionIsPassedOverThenItsEdgesFound)
{
    // Guards against a dead region being read block by block before the healthy rest, and any block read twice.
    for (uint64_t deadStart : { 0 * kMiB, 1 * kMiB, 3 * kMiB + 100 * kBlock, 7 * kMiB }) {
        SCOPED_TRACE(deadStart);
        constexpr uint64_t kSize = 8 * kMiB, kDead = kMiB;
        Rescue rescue(kSize);
        rescue.device->fail(deadStart / kBlock, std::min(kDead, kSize - deadStart) / kBlock);

        EXPECT_EQ(rescue.reader->copyUntried(rescue.sink(), {}), RescueOutcome::complete);
        const int64_t copyingFailures = rescue.reader->failedReads();
        EXPECT_LE(copyingFailures, 16) << "the skip grows while reads fail";
        const AreaMap afterCopying = rescue.reader->map();
        EXPECT_EQ(afterCopying.bytesIn(untried), 0u);
        EXPECT_LE(afterCopying.bytesIn(skipped), kDead + RescueReader::kFirstSkip * 2);

        EXPECT_EQ(rescue.reader->readBadAreas(rescue.sink(), { .maxTries = 2 }), RescueOutcome::complete);
        const AreaMap done = rescue.reader->map();
        EXPECT_EQ(done.bytesIn(unreadable), std::min(kDead, kSize - deadStart));
        EXPECT_EQ(done.next(unreadable, 0)->start, deadStart);
        EXPECT_EQ(done.bytesIn(read), kSize - done.bytesIn(unreadable));
        EXPECT_EQ(rescue.copy, rescue.expectedCopy());
        EXPECT_EQ(rescue.blocksReadMoreThanOnce(), 0u);
        // Each dead block is tried at most twice, once while trimming or in each scraping round.
        EXPECT_LE(rescue.reader->failedReads() - copyingFailures, int64_t(2 * kDead / kBlock + 4));
    }
}

TEST(RescueReaderTest, WeakBlocksReadWithinTheirTries)
{
    // Guards against a block that reads on its second try being given up, or one that never reads being tried forever.
    Rescue rescue(4 * kMiB);
    rescue.device->weaken(100, 1, 1);
    rescue.device->weaken(3000, 1, 2);
    rescue.device->weaken(5000, 3, 5);
    rescue.device->fail(7000, 1);
    ASSERT_EQ(rescue.reader->copyUntried(rescue.sink(), {}), RescueOutcome::complete);
    ASSERT_EQ(rescue.reader->readBadAreas(rescue.sink(), { .maxTries = 3 }), RescueOutcome::complete);
    const AreaMap map = rescue.reader->map();
    for (uint64_t block : { 100, 3000 }) {
        SCOPED_TRACE(block);
        EXPECT_EQ(map.stateAt(block * kBlock), read);
    }
    EXPECT_EQ(map.areas(), (std::vector<Area> { { 0, 5000 * kBlock, read }, { 5000 * kBlock, 3 * kBlock, unreadable }, { 5003 * kBlock, 1997 * kBlock, read },
                               { 7000 * kBlock, kBlock, unreadable }, { 7001 * kBlock, 4 * kMiB - 7001 * kBlock, read } }));
    EXPECT_EQ(rescue.copy, rescue.expectedCopy());
    EXPECT_EQ(rescue.blocksReadMoreThanOnce(), 0u);
}

TEST(RescueReaderTest, BudgetAndCancellationStopTheBadAreaPasses)
{
    // Guards against the passes over a dead region running past their budget or a cancel.
    Rescue rescue(8 * kMiB);
    rescue.device->fail(kMiB / kBlock, 4 * kMiB / kBlock);
    rescue.device->failCost = 1.0;
    ASSERT_EQ(rescue.reader->copyUntried(rescue.sink(), {}), RescueOutcome::complete);
    const double started = rescue.device->clock;
    EXPECT_EQ(rescue.reader->readBadAreas(rescue.sink(), { .budget = 30.0 }), RescueOutcome::budgetSpent);
    EXPECT_LE(rescue.device->clock - started, 31.0);
    EXPECT_GT(rescue.reader->map().bytesIn(unscraped) + rescue.reader->map().bytesIn(skipped), 0u);

    int asked = 0;
    const size_t readsBefore = rescue.device->reads.size();
    EXPECT_EQ(rescue.reader->readBadAreas(rescue.sink(), { .isCancelled = [&] { return ++asked > 5; } }), RescueOutcome::cancelled);
    EXPECT_LE(rescue.device->reads.size() - readsBefore, 5u) << "the cancel is asked before every read";
    EXPECT_EQ(rescue.copy, rescue.expectedCopy());
}

TEST(RescueReaderTest, VanishedDeviceEndsThePassesAndKeepsWhatWasRead)
{
    // Guards against a pulled card being read on and on, or its unread rest being taken as read.
    Rescue rescue(8 * kMiB);
    rescue.device->vanishAt = 5 * kMiB;
    EXPECT_EQ(rescue.reader->copyUntried(rescue.sink(), {}), RescueOutcome::deviceGone);
    EXPECT_TRUE(rescue.reader->deviceGone());
    const size_t reads = rescue.device->reads.size();
    EXPECT_EQ(rescue.reader->readBadAreas(rescue.sink(), {}), RescueOutcome::deviceGone);
    EXPECT_EQ(rescue.device->reads.size(), reads);
    const AreaMap map = rescue.reader->map();
    EXPECT_EQ(map.bytesIn(read), 5 * kMiB); // every piece below where it vanished
    EXPECT_EQ(map.bytesIn(read) + map.bytesIn(untried) + map.bytesIn(skipped), 8 * kMiB);
    EXPECT_EQ(rescue.copy, rescue.expectedCopy());
}

TEST(RescueReaderTest, ResumedFromItsMapReadsNoBlockTwice)
{
    // Guards against a resumed copy reading healthy blocks again or differing from an uninterrupted one.
    Rescue whole(8 * kMiB);
    whole.device->fail(2 * kMiB / kBlock, 300);
    whole.device->weaken(6 * kMiB / kBlock, 1, 1);
    ASSERT_EQ(whole.reader->copyUntried(whole.sink(), {}), RescueOutcome::complete);
    ASSERT_EQ(whole.reader->readBadAreas(whole.sink(), {}), RescueOutcome::complete);

    for (int stopAfter : { 1, 2, 3, 10 }) {
        SCOPED_TRACE(stopAfter);
        Rescue first(8 * kMiB);
        first.device->fail(2 * kMiB / kBlock, 300);
        first.device->weaken(6 * kMiB / kBlock, 1, 1);
        int steps = 0;
        EXPECT_EQ(first.reader->copyUntried(first.sink(), { .isCancelled = [&] { return steps >= stopAfter; } }, [&](RescuePass) { ++steps; }),
            RescueOutcome::cancelled);
        // A new reader over the same device, from the map the first one left as text.
        auto resumed = std::make_unique<RescueReader>(-1, first.device, kBlock, AreaMap::parse(first.reader->map().text("/dev/sdz")).map);
        auto sink = first.sink();
        EXPECT_EQ(resumed->copyUntried(sink, {}), RescueOutcome::complete);
        EXPECT_EQ(resumed->readBadAreas(sink, {}), RescueOutcome::complete);
        EXPECT_EQ(first.copy, whole.copy);
        EXPECT_EQ(resumed->map(), whole.reader->map());
        EXPECT_EQ(first.blocksReadMoreThanOnce(), 0u);
    }
}

TEST(RescueReaderTest, FirstPassPassesOverFailuresAndGivesZeros)
{
    // Guards against a front-to-back reader meeting the same dead blocks again in every read.
    Rescue rescue(8 * kMiB);
    rescue.device->fail(kMiB / kBlock, 2 * kMiB / kBlock);
    std::vector<uint8_t> chunk(kMiB);
    auto expected = patterned(8 * kMiB);
    for (uint64_t at = 0; at < 8 * kMiB; at += chunk.size()) {
        rescue.reader->readPassingOver(at, chunk, false);
        for (uint64_t i = 0; i < chunk.size(); i += kBlock) {
            const bool zeros = std::all_of(chunk.begin() + std::ptrdiff_t(i), chunk.begin() + std::ptrdiff_t(i + kBlock), [](uint8_t byte) { return byte == 0; });
            if (rescue.reader->map().stateAt(at + i) == skipped)
                ASSERT_TRUE(zeros) << at + i;
            else
                ASSERT_TRUE(std::equal(chunk.begin() + std::ptrdiff_t(i), chunk.begin() + std::ptrdiff_t(i + kBlock), expected.begin() + std::ptrdiff_t(at + i))) << at + i;
        }
    }
    EXPECT_LE(rescue.reader->failedReads(), 30);
    EXPECT_GE(rescue.reader->map().bytesIn(skipped), 2 * kMiB);
    // Read again: what was passed over costs no read.
    const size_t reads = rescue.device->reads.size();
    rescue.reader->readPassingOver(kMiB, std::span(chunk).first(kMiB), false);
    EXPECT_EQ(rescue.device->reads.size(), reads);
}

}
}
