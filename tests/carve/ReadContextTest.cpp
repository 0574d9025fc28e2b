#include "TestSupport.hpp"

#include "device/DeviceError.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// A memory source that counts its reads and can fail from a given offset on.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(std::vector<uint8_t> bytes) : m_inner(std::move(bytes)) { }

    uint64_t size() const override { return m_inner.size(); }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "counting"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        ++reads;
        if (offset + buffer.size() > failFrom)
            throw DeviceError::readFailed(offset, EIO);
        return m_inner.readInto(offset, buffer);
    }

    int reads { 0 };
    uint64_t failFrom { UINT64_MAX };

private:
    MemorySource m_inner;
};

std::vector<uint8_t> withPatternAt(size_t size, std::initializer_list<size_t> offsets, std::string_view pattern = "%%EOF")
{
    ByteBuilder builder;
    builder.fill(size, 'x');
    for (size_t offset : offsets)
        builder.place(offset, std::vector<uint8_t>(pattern.begin(), pattern.end()));
    return builder.build();
}

const std::vector<uint8_t> kMarker { '%', '%', 'E', 'O', 'F' };

}

TEST(ReadContextTest, BytesAreClippedAndEmptyRequestsDoNotRead)
{
    auto source = std::make_shared<CountingSource>(std::vector<uint8_t>(100, 1));
    ReadContext context(source);
    EXPECT_EQ(context.bytes(98, 4).size(), 2u);
    int readsBefore = source->reads;
    EXPECT_TRUE(context.bytes(100, 1).empty());
    EXPECT_TRUE(context.bytes(0, 0).empty());
    EXPECT_TRUE(context.bytes(0, -5).empty());
    EXPECT_TRUE(context.bytes(UINT64_MAX, 10).empty());
    EXPECT_EQ(source->reads, readsBefore);
}

TEST(ReadContextTest, WindowServesReadsWhollyInsideItWithoutCopying)
{
    std::vector<uint8_t> all(1000);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    auto source = std::make_shared<CountingSource>(all);
    ReadContext context(source);
    std::vector<uint8_t> chunk(all.begin() + 200, all.begin() + 400);
    context.setWindow(200, chunk);

    ByteRun inside = context.bytes(250, 100);
    EXPECT_EQ(inside.data(), chunk.data() + 50);
    EXPECT_EQ(context.bytes(200, 200).size(), 200u);
    EXPECT_EQ(source->reads, 0);

    // Partly inside, partly outside: read from the source in full, not stitched.
    ByteRun straddling = context.bytes(350, 100);
    EXPECT_EQ(source->reads, 1);
    ASSERT_EQ(straddling.size(), 100u);
    EXPECT_EQ(straddling[0], 350 % 256);
    EXPECT_EQ(straddling[99], 449 % 256);
    context.bytes(100, 50);
    EXPECT_EQ(source->reads, 2);
}

TEST(ReadContextTest, IntegersInBothByteOrders)
{
    auto context = contextOver(ByteBuilder().bytes({ 0x00, 0x00, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44 }).build());
    EXPECT_EQ(context.u32be(0), 256u);
    EXPECT_EQ(context.u32le(0), 65536u);
    EXPECT_EQ(context.u16be(4), 0x1122);
    EXPECT_EQ(context.u16le(4), 0x2211);
    EXPECT_EQ(context.u64be(0), 0x0000010011223344u);
    EXPECT_EQ(context.u64le(0), 0x4433221100010000u);
    EXPECT_EQ(context.u32be(5), std::nullopt); // only three bytes left
    EXPECT_EQ(context.u64be(1), std::nullopt);
    EXPECT_EQ(context.byte(7), 0x44);
    EXPECT_EQ(context.byte(8), std::nullopt);
}

TEST(ReadContextTest, FindBoundsTheStartOfAHitNotItsEnd)
{
    auto context = contextOver(withPatternAt(200, { 100 }));
    EXPECT_EQ(context.find(kMarker, 0, 101, ReadContext::kSearchChunk), 100u); // starts just inside, ends after
    EXPECT_EQ(context.find(kMarker, 0, 100, ReadContext::kSearchChunk), std::nullopt); // starts exactly at the limit
    EXPECT_EQ(context.find(kMarker, 100, 1, ReadContext::kSearchChunk), 100u);
    EXPECT_EQ(context.find(kMarker, 101, 1000, ReadContext::kSearchChunk), std::nullopt);
    EXPECT_EQ(context.find({}, 0, 200, ReadContext::kSearchChunk), std::nullopt);
    EXPECT_EQ(context.find(kMarker, 200, 10, ReadContext::kSearchChunk), std::nullopt);
    EXPECT_EQ(context.find(kMarker, 0, UINT64_MAX, ReadContext::kSearchChunk), 100u); // limit past the end cannot wrap
}

TEST(ReadContextTest, FindSeesHitsStraddlingStepBoundaries)
{
    // Small steps make every placement of the marker across a boundary reachable.
    for (size_t at = 0; at + kMarker.size() <= 64; ++at) {
        SCOPED_TRACE(at);
        auto context = contextOver(withPatternAt(64, { at }));
        EXPECT_EQ(context.find(kMarker, 0, 64, 7), at);
    }
    auto context = contextOver(withPatternAt(3 * 1024 * 1024, { 1024 * 1024 - 2 }));
    EXPECT_EQ(context.find(kMarker, 0, 3 * 1024 * 1024, ReadContext::kSearchChunk), 1024u * 1024 - 2);
}

TEST(ReadContextTest, FindWithoutEmptyPatternOrPastEndDoesNotRead)
{
    auto source = std::make_shared<CountingSource>(std::vector<uint8_t>(100));
    ReadContext context(source);
    context.find({}, 0, 100, 10);
    context.find(kMarker, 100, 100, 10);
    EXPECT_EQ(source->reads, 0);
}

TEST(ReadContextTest, FindLastFollowsTheChainWithinSlack)
{
    auto context = contextOver(withPatternAt(20000, { 100, 150, 10000 }));
    EXPECT_EQ(context.findLast(kMarker, 0, 20000, 1000), 150u);
    EXPECT_EQ(context.findLast(kMarker, 0, 20000, 20000), 10000u);
    EXPECT_EQ(context.findLast(kMarker, 0, 120, 1000), 100u); // later links stay inside the overall range
}

TEST(ReadContextTest, FindLastWithNoneOrOneOccurrence)
{
    EXPECT_EQ(contextOver(withPatternAt(5000, {})).findLast(kMarker, 0, 5000, 1000), std::nullopt);
    EXPECT_EQ(contextOver(withPatternAt(5000, { 4000 })).findLast(kMarker, 0, 5000, 1000), 4000u);
    EXPECT_EQ(contextOver(withPatternAt(5000, { 4995 })).findLast(kMarker, 0, 5000, 1000), 4995u); // ends at the source end
}

TEST(ReadContextTest, SourceErrorsDuringSearchesReachTheCaller)
{
    auto source = std::make_shared<CountingSource>(withPatternAt(4 * 1024 * 1024, { 3 * 1024 * 1024 }));
    source->failFrom = 2 * 1024 * 1024;
    ReadContext context(source);
    EXPECT_THROW(context.find(kMarker, 0, 4 * 1024 * 1024, ReadContext::kSearchChunk), DeviceError);
    EXPECT_THROW(context.findLast(kMarker, 0, 4 * 1024 * 1024, 100), DeviceError);
    EXPECT_THROW(context.u32be(3 * 1024 * 1024), DeviceError);
}

TEST(ReadContextTest, FindAnyReturnsTheEarliestOfSeveralPatterns)
{
    const std::vector<uint8_t> end { 0xFF, 0xD9 };
    const std::vector<uint8_t> start { 0xFF, 0xD8, 0xFF };
    const std::span<const uint8_t> both[] { end, start };
    // Every placement of the two markers around small step boundaries, either one first.
    for (size_t first = 0; first + 3 <= 40; ++first) {
        for (size_t second = first + 3; second + 3 <= 40; second += 5) {
            for (int order = 0; order < 2; ++order) {
                SCOPED_TRACE(testing::Message() << first << " " << second << " " << order);
                auto bytes = withPatternAt(40, {}, "");
                auto placeAt = [&](size_t at, const std::vector<uint8_t>& marker) { std::copy(marker.begin(), marker.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at)); };
                placeAt(first, order == 0 ? end : start);
                placeAt(second, order == 0 ? start : end);
                auto context = contextOver(bytes);
                auto hit = context.findAny(both, 0, 40, 4);
                ASSERT_TRUE(hit);
                EXPECT_EQ(hit->offset, first);
                EXPECT_EQ(hit->patternIndex, order == 0 ? 0u : 1u);
                EXPECT_EQ(context.findAny(both, 0, first, 4).has_value(), false);
            }
        }
    }
    auto tail = contextOver(ByteBuilder().fill(10, 'x').bytes({ 0xFF, 0xD9 }).build());
    auto hit = tail.findAny(both, 0, 100, 4);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->offset, 10u); // a short pattern in the last bytes of the source
}
