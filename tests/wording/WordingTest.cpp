#include "wording/Wording.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace brightfold;

TEST(WordingTest, PercentIsWholeRoundedDownAndSafe)
{
    struct Case {
        const char* name;
        uint64_t done;
        uint64_t total;
        int percent;
    };
    const Case cases[] = {
        { "empty source", 0, 0, 0 },
        { "99.9 % shows 99", 999, 1000, 99 },
        { "an exact 29 % is not 28", 29, 100, 29 },
        { "all", 1000, 1000, 100 },
        { "beyond the end", 2000, 1000, 100 },
        { "no overflow near the top", UINT64_MAX / 2, UINT64_MAX, 49 },
        { "the last byte of the largest source", UINT64_MAX - 1, UINT64_MAX, 99 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wholePercent(c.done, c.total), c.percent);
    }
}

TEST(WordingTest, CountsTakeTheirPlural)
{
    const std::pair<int64_t, std::string> cases[] = {
        { 0, "0 files" }, { 1, "1 file" }, { 2, "2 files" }, { -1, "-1 files" }, { 100000, "100000 files" },
    };
    for (const auto& [count, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(countText(count, "file"), text);
    }
    EXPECT_EQ(countText(1, "recovered file"), "1 recovered file");
    EXPECT_EQ(plural(1, "region"), "region");
    EXPECT_EQ(plural(3, "region"), "regions");
}

TEST(WordingTest, TimeTextFollowsItsThresholds)
{
    const std::pair<double, std::string> cases[] = {
        { 0.4, "under a second" },
        { 0.0, "under a second" },
        { -5.0, "under a second" },
        { std::nan(""), "under a second" },
        { 1.0, "1s" },
        { 59.6, "59s" }, // cut, not rounded
        { 89.9, "89s" },
        { 90.0, "1m" },
        { 5399.0, "89m" },
        { 5400.0, "1.5h" },
        { 36000.0, "10.0h" },
    };
    for (const auto& [seconds, text] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(timeText(seconds), text);
    }
}

TEST(WordingTest, ClockTextRoundsToTheSecond)
{
    const std::pair<double, std::string> cases[] = {
        { 0.0, "0s" },
        { 0.4, "0s" },
        { 59.5, "1m 00s" },
        { 65.0, "1m 05s" },
        { 3599.4, "59m 59s" },
        { 3600.0, "1h 00m" },
        { 7385.0, "2h 03m" },
        { -3.0, "0s" },
        { std::nan(""), "0s" },
        { std::numeric_limits<double>::infinity(), "277777777777h 46m" },
    };
    for (const auto& [seconds, text] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(clockText(seconds), text);
    }
}
