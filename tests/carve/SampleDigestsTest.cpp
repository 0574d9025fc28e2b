#include "carve/SampleDigests.hpp"

#include <gtest/gtest.h>

#include <numeric>

using namespace brightfold;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

std::vector<uint8_t> patterned(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 167) ^ (i >> 11));
    return bytes;
}

}

TEST(SampleDigestsTest, RangesStepEveryMebibyteAndEndWithTheTail)
{
    struct Case {
        uint64_t length;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
    };
    const std::vector<Case> cases {
        { 4096, {} }, // the head digest covers it whole
        { 4097, { { 1, 4096 } } },
        { kMiB, { { kMiB - 4096, 4096 } } },
        { kMiB + 10, { { kMiB, 10 }, { kMiB + 10 - 4096, 4096 } } },
        { 3 * kMiB, { { kMiB, 4096 }, { 2 * kMiB, 4096 }, { 3 * kMiB - 4096, 4096 } } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (const auto& range : SampleDigests::ranges(c.length))
            ranges.push_back({ range.offset, range.count });
        EXPECT_EQ(ranges, c.ranges);
    }
}

TEST(SampleDigestsTest, BytesGivenInAnyPiecesGiveTheDigestsOfTheRanges)
{
    auto bytes = patterned(3 * kMiB + 5000);
    std::vector<std::string> expected;
    for (const auto& range : SampleDigests::ranges(bytes.size()))
        expected.push_back(SampleDigests::digestOf(std::span(bytes).subspan(range.offset, range.count)));
    EXPECT_EQ(expected.size(), 4u);
    EXPECT_EQ(expected[0].size(), 16u);
    // Pieces that split samples, and the tail overlapping the last step's sample.
    for (uint64_t piece : { uint64_t { 1000 }, uint64_t { 4096 }, kMiB + 1, 4 * kMiB }) {
        SCOPED_TRACE(piece);
        SampleDigests samples(bytes.size());
        for (uint64_t at = 0; at < bytes.size(); at += piece)
            samples.add(at, std::span(bytes).subspan(at, std::min<uint64_t>(piece, bytes.size() - at)));
        EXPECT_EQ(samples.digests(), expected);
    }
    auto changed = bytes;
    changed[2 * kMiB + 100] ^= 1;
    SampleDigests samples(changed.size());
    samples.add(0, changed);
    EXPECT_NE(samples.digests(), expected);
}
