#include "TestSupport.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

const std::vector<uint8_t> kMarker { '%', '%', 'E', 'O', 'F' };

ReadContext contextWith(size_t size, std::initializer_list<size_t> markers, uint64_t failFrom = UINT64_MAX)
{
    ByteBuilder builder;
    for (size_t at : markers)
        builder.padTo(at, 'x').place(at, kMarker);
    return ReadContext(std::make_shared<FaultySource>(builder.padTo(size, 'x').build(), failFrom));
}

TEST(ReadContextTest, WindowServesReadsWhollyInsideItWithoutCopying)
{
    auto source = std::make_shared<FaultySource>(patterned(1000));
    ReadContext context(source);
    auto chunk = source->read(200, 200);
    context.setWindow(200, chunk);
    EXPECT_EQ(context.bytes(250, 150).data(), chunk.data() + 50);
    ByteRun straddling = context.bytes(350, 100); // read from the source in full, not stitched
    EXPECT_EQ(std::vector<uint8_t>(straddling.begin(), straddling.end()), source->read(350, 100));
    EXPECT_EQ(context.bytes(998, 4).size(), 2u);
    EXPECT_TRUE(context.bytes(UINT64_MAX, 10).empty());
    EXPECT_EQ(source->reads, 1 + 1 + 1 + 1) << "the chunk, the straddling read, the clipped one and the check's own";
}

TEST(ReadContextTest, SearchesBoundTheStartOfAHitAndSeeHitsAcrossSteps)
{
    EXPECT_EQ(contextWith(200, { 100 }).find(kMarker, 0, 101, ReadContext::kSearchChunk), 100u);
    EXPECT_EQ(contextWith(200, { 100 }).find(kMarker, 0, 100, ReadContext::kSearchChunk), std::nullopt);
    EXPECT_EQ(contextWith(200, { 100 }).find(kMarker, 0, UINT64_MAX, ReadContext::kSearchChunk), 100u);
    const std::vector<uint8_t> other { 'x', '%' };
    const std::span<const uint8_t> both[] { other, kMarker };
    for (size_t at = 1; at + kMarker.size() <= 40; ++at) {
        SCOPED_TRACE(at);
        EXPECT_EQ(contextWith(40, { at }).find(kMarker, 0, 40, 7), at);
        auto hit = contextWith(40, { at }).findAny(both, at - 1, 40, 4);
        EXPECT_TRUE(hit && hit->offset == at - 1 && hit->patternIndex == 0);
        EXPECT_EQ(contextWith(40, { at }).findAny(both, at, 40, 4)->patternIndex, 1u);
    }
    EXPECT_EQ(contextWith(20000, { 100, 150, 10000, 19995 }).findLast(kMarker, 0, 20000, 1000), 150u);
    EXPECT_EQ(contextWith(20000, { 100, 150, 10000, 19995 }).findLast(kMarker, 0, 20000, 10000), 19995u);
    EXPECT_EQ(contextWith(20000, { 100, 150, 10000, 19995 }).findLast(kMarker, 0, 120, 1000), 100u) << "later links stay inside the range";
    EXPECT_THROW(contextWith(4 << 20, { 3 << 20 }, 2 << 20).find(kMarker, 0, 4 << 20, ReadContext::kSearchChunk), DeviceError);
}

}
}
