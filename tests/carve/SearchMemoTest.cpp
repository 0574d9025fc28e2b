#include "carve/SearchMemo.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace brightfold::test {
namespace {

using Occurrence = SearchMemo::Occurrence;

const std::string kKey = "eof";

struct Expected {
    uint64_t from;
    uint64_t clearUntil;
    std::optional<Occurrence> next;
};

void expectKnown(const SearchMemo& memo, const std::vector<Expected>& rows, const std::string& key = kKey)
{
    for (const auto& row : rows) {
        SCOPED_TRACE(row.from);
        auto known = memo.known(key, row.from);
        EXPECT_EQ(known.clearUntil, row.clearUntil);
        EXPECT_EQ(known.next, row.next);
    }
}

TEST(SearchMemoTest, NothingIsKnownBeforeASearch)
{
    SearchMemo memo;
    expectKnown(memo, { { 0, 0, std::nullopt }, { 12345, 12345, std::nullopt } });
    EXPECT_EQ(memo.nextKnownStart(kKey, 0), UINT64_MAX);
}

TEST(SearchMemoTest, ASearchThatStoppedAtAnOccurrenceAnswersEveryStartBeforeIt)
{
    SearchMemo memo;
    memo.learn(kKey, 100, 5000, Occurrence { 5000, 1 });
    expectKnown(memo, {
        { 99, 99, std::nullopt },                  // before the range: unknown
        { 100, 5000, Occurrence { 5000, 1 } },
        { 4999, 5000, Occurrence { 5000, 1 } },
        { 5000, 5000, Occurrence { 5000, 1 } },    // the occurrence itself
        { 5001, 5001, std::nullopt },              // past it: unknown
    });
    EXPECT_EQ(memo.nextKnownStart(kKey, 0), 100u);
    EXPECT_EQ(memo.nextKnownStart(kKey, 100), UINT64_MAX);
}

TEST(SearchMemoTest, ClearRangesThatTouchAreFollowedToTheOccurrenceThatClosesThem)
{
    SearchMemo memo;
    memo.learn(kKey, 0, 100, std::nullopt);
    memo.learn(kKey, 300, 400, Occurrence { 400, 0 });
    expectKnown(memo, { { 50, 100, std::nullopt }, { 100, 100, std::nullopt } });
    // Filling the gap joins the three into one answer.
    memo.learn(kKey, 100, 300, std::nullopt);
    expectKnown(memo, { { 0, 400, Occurrence { 400, 0 } }, { 250, 400, Occurrence { 400, 0 } } });
    EXPECT_EQ(memo.nextKnownStart(kKey, 0), UINT64_MAX);
}

TEST(SearchMemoTest, OverlappingFactsJoin)
{
    // The same bytes searched from two junk headers: the second search covers part of the first.
    SearchMemo memo;
    memo.learn(kKey, 1000, 2000, std::nullopt);
    memo.learn(kKey, 500, 1500, std::nullopt);
    memo.learn(kKey, 1800, 2600, Occurrence { 2600, 0 });
    expectKnown(memo, { { 500, 2600, Occurrence { 2600, 0 } }, { 1999, 2600, Occurrence { 2600, 0 } } });
}

TEST(SearchMemoTest, KeysAreKeptApart)
{
    const std::array<uint8_t, 2> ab { 'a', 'b' }, c { 'c' }, a { 'a' }, bc { 'b', 'c' };
    const std::span<const uint8_t> first[] { ab, c }, second[] { a, bc }, reversed[] { c, ab };
    EXPECT_NE(SearchMemo::keyOf(first), SearchMemo::keyOf(second)) << "the same bytes split differently";
    EXPECT_NE(SearchMemo::keyOf(first), SearchMemo::keyOf(reversed)) << "the order decides patternIndex";

    SearchMemo memo;
    memo.learn(kKey, 0, 100, Occurrence { 100, 0 });
    expectKnown(memo, { { 0, 0, std::nullopt } }, "other");
}

TEST(SearchMemoTest, ForgetsRangesBehindTheScan)
{
    SearchMemo memo;
    memo.learn(kKey, 0, 100, Occurrence { 100, 0 });
    memo.learn(kKey, 200, 300, std::nullopt);
    memo.forgetBefore(101);
    expectKnown(memo, { { 50, 50, std::nullopt }, { 250, 300, std::nullopt } });
    memo.forgetBefore(300);
    expectKnown(memo, { { 250, 250, std::nullopt } });
}

}
}
