#include "TestSupport.hpp"

#include "carve/ReadContext.hpp"

#include <gtest/gtest.h>

#include <array>

namespace brightfold::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;
const std::vector<uint8_t> kMarker { '%', '%', 'E', 'O', 'F' };
const std::vector<uint8_t> kHeader { '%', 'P', 'D', 'F', '-' };

TEST(ReadContextTest, ASearchFromInsideAnEarlierOneReadsNothingAgain)
{
    // Guards against each junk header of a run searching the same bytes for the same marker.
    auto source = std::make_shared<SparseSource>(3 * kMiB);
    source->place(300'000, kMarker).place(2 * kMiB + 7, kMarker);
    ReadContext context(source);
    ASSERT_EQ(context.find(kMarker, 1000, 3 * kMiB, ReadContext::kSearchChunk), 300'000u);
    const uint64_t readOnce = source->delivered;

    struct Row {
        uint64_t from;
        uint64_t limit;
        std::optional<uint64_t> expected;
    };
    for (const auto& row : std::vector<Row> {
             { 5000, 3 * kMiB, 300'000 },
             { 299'999, 10, 300'000 },
             { 300'000, 1, 300'000 },
             { 1000, 299'000, std::nullopt }, // the search ends just before the marker
             { 1000, 299'001, 300'000 },
         }) {
        SCOPED_TRACE(row.from);
        EXPECT_EQ(context.find(kMarker, row.from, row.limit, ReadContext::kSearchChunk), row.expected);
        EXPECT_EQ(source->delivered, readOnce);
    }

    // Past the marker the next search reads on, once.
    EXPECT_EQ(context.find(kMarker, 300'001, 3 * kMiB, ReadContext::kSearchChunk), 2 * kMiB + 7);
    const uint64_t readTwice = source->delivered;
    EXPECT_EQ(context.find(kMarker, 1'000'000, 3 * kMiB, ReadContext::kSearchChunk), 2 * kMiB + 7);
    EXPECT_EQ(context.find(kMarker, 1'000'000, kMiB, ReadContext::kSearchChunk), std::nullopt);
    EXPECT_EQ(source->delivered, readTwice);
}

TEST(ReadContextTest, ASearchForSeveralPatternsIsRememberedApart)
{
    auto source = std::make_shared<SparseSource>(kMiB);
    source->place(40'000, kHeader).place(90'000, kMarker);
    ReadContext context(source);
    const std::span<const uint8_t> markerOrHeader[] { kMarker, kHeader };
    auto first = context.findAny(markerOrHeader, 100, kMiB, ReadContext::kSearchChunk);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->offset, 40'000u);
    EXPECT_EQ(first->patternIndex, 1u);
    EXPECT_EQ(context.find(kMarker, 100, kMiB, ReadContext::kSearchChunk), 90'000u) << "the marker alone is another question";
    auto again = context.findAny(markerOrHeader, 40'001, kMiB, ReadContext::kSearchChunk);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->offset, 90'000u);
    EXPECT_EQ(again->patternIndex, 0u);
}

TEST(ReadContextTest, RememberedSearchesAnswerAsFreshOnes)
{
    // Every search in a sequence against the same search made by a context that never searched before.
    ByteBuilder bytes;
    for (uint64_t at : { 700u, 701u, 5000u, 5004u, 65'536u, 65'538u, 200'000u })
        bytes.place(at, kMarker);
    bytes.padTo(300'000);
    auto source = sourceOf(bytes.build());
    ReadContext remembering(source);
    uint64_t seed = 7;
    for (int search = 0; search < 400; ++search) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        const uint64_t from = (seed >> 33) % 310'000;
        const uint64_t limit = (seed >> 13) % 120'000;
        const int64_t step = 1 + static_cast<int64_t>((seed >> 5) % 70'000);
        SCOPED_TRACE(::testing::Message() << from << " + " << limit << " in steps of " << step);
        ReadContext fresh(source);
        EXPECT_EQ(remembering.find(kMarker, from, limit, step), fresh.find(kMarker, from, limit, step));
        EXPECT_EQ(remembering.findLast(kMarker, from, limit, 4000), fresh.findLast(kMarker, from, limit, 4000));
    }
}

TEST(ReadContextTest, ASearchFindsWhatALookAtEveryStartFinds)
{
    // Guards the block filters (sixteen and thirty-two starts at a time) at their
    // edges: bytes of few values, so that near misses (first and last bytes right,
    // the middle wrong) and hits near block and range ends are common.
    const std::span<const uint8_t> patterns[] { kMarker, kHeader };
    const uint8_t values[] { '%', 'E', 'O', 'F', 'P', 'D', '-', 'x' };
    uint64_t seed = 11;
    auto next = [&] { return (seed = seed * 6364136223846793005u + 1442695040888963407u) >> 33; };
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(16 + next() % 200);
        for (auto& byte : bytes)
            byte = next() % 4 == 0 ? values[next() % std::size(values)] : 'x';
        for (auto placed = next() % 4; placed > 0; --placed) {
            const auto& pattern = patterns[next() % std::size(patterns)];
            const uint64_t at = next() % (bytes.size() - pattern.size() + 1);
            std::copy(pattern.begin(), pattern.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
            if (next() % 3 == 0)
                bytes[at + 1 + next() % (pattern.size() - 2)] = 'x'; // a near miss
        }
        const uint64_t from = next() % bytes.size();
        const uint64_t limit = 1 + next() % bytes.size();
        SCOPED_TRACE(::testing::Message() << bytes.size() << " bytes, from " << from << " for " << limit);
        std::optional<std::pair<uint64_t, size_t>> expected;
        for (uint64_t at = from; !expected && at < std::min<uint64_t>(bytes.size(), from + limit); ++at) {
            for (size_t index = 0; index < std::size(patterns) && !expected; ++index) {
                if (at + patterns[index].size() <= bytes.size() && std::equal(patterns[index].begin(), patterns[index].end(), bytes.begin() + static_cast<ptrdiff_t>(at)))
                    expected = std::pair(at, index);
            }
        }
        ReadContext context(sourceOf(bytes));
        auto found = context.findAny(patterns, from, limit, ReadContext::kSearchChunk);
        ASSERT_EQ(found.has_value(), expected.has_value());
        if (found) {
            EXPECT_EQ(found->offset, expected->first);
            EXPECT_EQ(found->patternIndex, expected->second);
        }
    }
}

TEST(ReadContextTest, ASourceThatEndsEarlyIsNotTakenForClearBytes)
{
    auto source = std::make_shared<SparseSource>(kMiB);
    source->place(600'000, kMarker);
    source->endsAt = 500'000;
    ReadContext context(source);
    EXPECT_EQ(context.find(kMarker, 0, kMiB, 65'536), std::nullopt);
    source->endsAt = UINT64_MAX; // the device answers again
    EXPECT_EQ(context.find(kMarker, 0, kMiB, 65'536), 600'000u);
}

}
}
