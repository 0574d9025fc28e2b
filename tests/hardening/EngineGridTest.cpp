#include "HardeningFixtures.hpp"

#include "carve/CarveEngine.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::vector<uint64_t> startsFound(const std::vector<uint8_t>& bytes, int64_t chunkSize, int64_t stride)
{
    TemporaryFolder folder;
    CarveEngine engine(memorySource(bytes), { folder.path(), { FormatCategory::photos }, CarveEngine::Config::OutputMode::catalog, chunkSize, stride, 0.0 });
    std::vector<uint64_t> starts;
    for (const auto& file : engine.run().files)
        starts.push_back(file.start);
    return starts;
}

}

TEST(EngineGridTest, ChunksThatAreNotAMultipleOfTheStrideKeepTheGrid)
{
    // Guards against candidate positions drifting off the stride grid when a chunk ends between two grid positions.
    CardImage card(16 * 1024);
    card.place(4608, jpegPhoto(1300, 1)); // off the 1024-byte grid; ends just before the next chunk
    card.place(8192, jpegPhoto(100, 2));
    card.place(12800, jpegPhoto(100, 3)); // off the grid again
    EXPECT_EQ(startsFound(card.bytes(), 1536, 1024), (std::vector<uint64_t> { 8192 }));
    EXPECT_EQ(startsFound(card.bytes(), 1536, 512), (std::vector<uint64_t> { 4608, 8192, 12800 }));
}

TEST(EngineGridTest, ExactFileEndingInsideAnOffGridChunkMovesTheScanOn)
{
    // Guards against a scan that found a file and jumped back to the same position for ever.
    // A short file at the start of a chunk that begins between two grid positions
    // (4608 with a 1024-byte stride): its end rounds up to a grid position inside
    // the same chunk.
    CardImage offGrid(16 * 1024);
    offGrid.place(4608, jpegPhoto(100, 1));
    offGrid.place(9216, jpegPhoto(100, 2));
    EXPECT_EQ(startsFound(offGrid.bytes(), 1536, 1024), (std::vector<uint64_t> { 9216 }));
    EXPECT_EQ(startsFound(offGrid.bytes(), 1536, 512), (std::vector<uint64_t> { 4608, 9216 }));

    CardImage onGrid(16 * 1024);
    onGrid.place(5120, jpegPhoto(100, 1)); // on the grid, inside the chunk that starts at 4608
    onGrid.place(9216, jpegPhoto(100, 2));
    EXPECT_EQ(startsFound(onGrid.bytes(), 1536, 1024), (std::vector<uint64_t> { 5120, 9216 }));
    EXPECT_EQ(startsFound(onGrid.bytes(), 1000, 1024), (std::vector<uint64_t> { 5120, 9216 }));
}
