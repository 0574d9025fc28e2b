#include "TestSupport.hpp"

#include "carve/KeptRuns.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace brightfold::test {
namespace {

/// The source's bytes [offset, offset + count), as the kept copies must hold them.
std::vector<uint8_t> sourceBytes(const std::vector<uint8_t>& source, uint64_t offset, uint64_t count)
{
    return { source.begin() + static_cast<ptrdiff_t>(offset), source.begin() + static_cast<ptrdiff_t>(offset + count) };
}

TEST(KeptRunsTest, KeepsWhatTheChunksOfferedOfEachRunWithoutAGap)
{
    const std::vector<uint8_t> source = patterned(4096);
    using Offered = std::vector<std::pair<uint64_t, uint64_t>>; // chunks offered: offset, length
    struct Row {
        const char* name;
        std::vector<SourceRun> runs;
        uint64_t budget;
        Offered offered;
        std::vector<std::pair<uint64_t, uint64_t>> served, refused; // reads asked of the kept bytes
    };
    const Row rows[] = {
        { "a run across two chunks", { { 1000, 600 } }, 4096, { { 0, 1024 }, { 1024, 1024 } }, { { 1000, 600 }, { 1020, 10 } }, { { 999, 2 }, { 1599, 2 } } },
        { "two runs in one chunk", { { 100, 50 }, { 300, 20 } }, 4096, { { 0, 1024 } }, { { 100, 50 }, { 310, 10 } }, { { 150, 1 }, { 120, 200 } } },
        { "a jump over part of a run keeps what came before it", { { 1000, 2000 } }, 4096, { { 0, 1024 }, { 2048, 1024 } }, { { 1000, 24 } }, { { 1000, 25 }, { 2048, 8 } } },
        { "runs past the budget are not kept", { { 2000, 300 }, { 100, 200 } }, 250, { { 0, 4096 } }, { { 100, 200 } }, { { 2000, 1 } } },
        { "the first runs first, whatever their offsets", { { 3000, 200 }, { 100, 200 } }, 300, { { 0, 4096 } }, { { 3000, 200 } }, { { 100, 1 } } },
        { "a run overlapping one before it is left out", { { 100, 200 }, { 250, 100 } }, 4096, { { 0, 4096 } }, { { 100, 200 } }, { { 300, 10 } } },
        { "nothing offered", { { 100, 200 } }, 4096, {}, {}, { { 100, 1 } } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeptRuns kept(row.runs, row.budget);
        // As the scan does: the memory set up on a reading thread first, over the
        // chunk and over ranges that miss every run or end inside one.
        std::thread([&] {
            for (const auto& [offset, length] : row.offered)
                kept.prepare(offset, offset + length);
            for (auto [from, to] : { std::pair<uint64_t, uint64_t> { 0, 1 }, { 4000, 4096 }, { 1010, 1011 }, { 0, 0 } })
                kept.prepare(from, to);
        }).join();
        for (const auto& [offset, length] : row.offered)
            kept.keep(offset, std::span<const uint8_t>(source).subspan(offset, length));
        for (const auto& [offset, count] : row.served) {
            auto bytes = kept.find(offset, count);
            ASSERT_TRUE(bytes) << offset;
            EXPECT_EQ(std::vector<uint8_t>(bytes->begin(), bytes->end()), sourceBytes(source, offset, count));
        }
        for (const auto& [offset, count] : row.refused)
            EXPECT_FALSE(kept.find(offset, count)) << offset;
    }
}

}
}
