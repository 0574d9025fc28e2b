#include "device/AreaMap.hpp"

#include <gtest/gtest.h>

namespace brightfold {
namespace {

using enum AreaState;

TEST(AreaMapTest, MarkingSplitsAndJoinsRuns)
{
    struct Case {
        const char* name;
        std::vector<Area> marks;
        std::vector<Area> expected;
    };
    const Case cases[] = {
        { "nothing marked", {}, { { 0, 100, untried } } },
        { "the middle", { { 10, 20, read } }, { { 0, 10, untried }, { 10, 20, read }, { 30, 70, untried } } },
        { "the front", { { 0, 20, read } }, { { 0, 20, read }, { 20, 80, untried } } },
        { "the end, clipped", { { 90, 50, skipped } }, { { 0, 90, untried }, { 90, 10, skipped } } },
        { "neighbours in one state join", { { 10, 10, read }, { 20, 10, read } }, { { 0, 10, untried }, { 10, 20, read }, { 30, 70, untried } } },
        { "a gap filled joins three", { { 0, 10, read }, { 20, 80, read }, { 10, 10, read } }, { { 0, 100, read } } },
        { "across several runs", { { 10, 10, read }, { 30, 10, unreadable }, { 15, 20, skipped } },
            { { 0, 10, untried }, { 10, 5, read }, { 15, 20, skipped }, { 35, 5, unreadable }, { 40, 60, untried } } },
        { "back to the surrounding state", { { 10, 10, read }, { 10, 10, untried } }, { { 0, 100, untried } } },
        { "past the end", { { 100, 10, read } }, { { 0, 100, untried } } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AreaMap map(100);
        for (const Area& mark : c.marks)
            map.mark(mark.start, mark.length, mark.state);
        EXPECT_EQ(map.areas(), c.expected);
    }
}

TEST(AreaMapTest, FindsRunsByStateFromAPosition)
{
    AreaMap map(100);
    map.mark(10, 10, skipped);
    map.mark(50, 10, skipped);
    EXPECT_EQ(map.next(skipped, 0), (Area { 10, 10, skipped }));
    EXPECT_EQ(map.next(skipped, 15), (Area { 15, 5, skipped }));
    EXPECT_EQ(map.next(skipped, 20), (Area { 50, 10, skipped }));
    EXPECT_EQ(map.next(skipped, 60), std::nullopt);
    EXPECT_EQ(map.previous(skipped, 100), (Area { 50, 10, skipped }));
    EXPECT_EQ(map.previous(skipped, 55), (Area { 50, 5, skipped }));
    EXPECT_EQ(map.previous(skipped, 50), (Area { 10, 10, skipped }));
    EXPECT_EQ(map.bytesIn(skipped), 20u);
    EXPECT_EQ(map.stateAt(59), skipped);
    EXPECT_EQ(map.stateAt(60), untried);
}

TEST(AreaMapTest, TextRoundTrips)
{
    AreaMap map(1 << 20);
    map.mark(4096, 512, unreadable);
    map.mark(8192, 65536, skipped);
    map.mark(0, 4096, read);
    map.mark(500'000, 1000, unscraped);
    auto parsed = AreaMap::parse(map.text("/dev/sdz"));
    EXPECT_EQ(parsed.map, map);
    EXPECT_EQ(parsed.source, "/dev/sdz");
    EXPECT_NE(map.text("/dev/sdz").find("\n0 4096 read\n4096 512 unreadable\n"), std::string::npos);
}

TEST(AreaMapTest, DamagedTextIsRefused)
{
    // Guards against a damaged map being trusted: its areas would be taken as read and never read.
    const std::string header = "# source: /dev/sdz\n# size: 100\n";
    const std::pair<const char*, std::string> cases[] = {
        { "no header", "0 100 read\n" },
        { "no size", "# source: /dev/sdz\n0 100 read\n" },
        { "a gap", header + "0 10 read\n20 80 read\n" },
        { "an overlap", header + "0 10 read\n5 95 read\n" },
        { "short of the size", header + "0 90 read\n" },
        { "past the size", header + "0 110 read\n" },
        { "an unknown state", header + "0 100 done\n" },
        { "a word for a number", header + "zero 100 read\n" },
        { "a negative length", header + "0 -100 read\n" },
        { "a length of 0", header + "0 0 read\n0 100 read\n" },
        { "two fields", header + "0 100\n" },
        { "a number past 64 bits", header + "0 100000000000000000000 read\n" },
        { "a run past the largest offset", "# source: x\n# size: 5\n0 5 read\n5 18446744073709551615 read\n" },
        { "a size that is not a number", "# source: x\n# size: lots\n" },
        { "binary", std::string("\x7f" "ELF\x02\x01\x01\0\0", 9) },
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        EXPECT_THROW(AreaMap::parse(text), AreaMapError);
    }
    EXPECT_EQ(AreaMap::parse(header + "0 100 read\n").map, AreaMap(100, read));
    EXPECT_EQ(AreaMap::parse("# source: x\n# size: 0\n").map, AreaMap(0));
}

}
}
