#include "device/SimulatedDevice.hpp"

#include "device/FileSource.hpp"
#include "scan/CardCopy.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

constexpr uint64_t kBlock = 512;
constexpr uint64_t kMiB = 1024 * 1024;

TEST(CardCopyTest, AFailingCardIsCopiedWithItsUnreadableAreasNamed)
{
    auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(4 * kMiB)), kBlock);
    device->fail(kMiB / kBlock, 8);
    TemporaryFolder folder;
    std::vector<RescuePass> passes;
    CardCopy copy(SimulatedDevice::open(device), "/dev/sdz", "EOS_DIGITAL", folder.path() / "copies");
    CardCopyResult result = copy.run([&](const ImageProgress& progress) { passes.push_back(progress.pass); }, {});

    EXPECT_EQ(result.outcome, RescueOutcome::complete);
    EXPECT_EQ(result.image.path, (folder.path() / "copies" / "EOS_DIGITAL copy.img").string());
    EXPECT_EQ(result.image.sizeBytes, 4 * kMiB);
    EXPECT_EQ(result.image.identity, ScanSessionImageIdentity::of(result.image.path));
    EXPECT_EQ(result.unreadable, (std::vector<UnreadableRegion> { { kMiB, 8 * kBlock } }));
    EXPECT_EQ(result.unreadableBlocks, 8);
    auto expected = patterned(4 * kMiB);
    std::fill_n(expected.begin() + std::ptrdiff_t(kMiB), 8 * kBlock, uint8_t { 0 });
    EXPECT_EQ(readWholeFile(result.image.path), expected);
    EXPECT_FALSE(passes.empty());
    EXPECT_NE(std::ranges::find(passes, RescuePass::scraping), passes.end());
}

TEST(CardCopyTest, TheSameCardGoesOnAndAnotherGetsAFileOfItsOwn)
{
    // Guards against a second card's copy landing in, or being refused by, the first card's file.
    TemporaryFolder folder;
    const std::string first = (folder.path() / "first.img").string();
    const std::string second = (folder.path() / "second.img").string();
    writeWholeFile(first, patterned(64 * kBlock));
    writeWholeFile(second, std::vector<uint8_t>(64 * kBlock, 7));
    auto copyOf = [&](const std::string& card, const std::string& name) {
        return CardCopy(std::make_shared<FileSource>(card), card, name, folder.path()).run({}, {});
    };
    const struct {
        std::string card, name, expectedFile;
    } runs[] = {
        { first, "SD", "SD copy.img" },
        { first, "SD", "SD copy.img" },         // the same card again: its copy goes on
        { second, "SD", "SD copy 2.img" },      // another card of the same name
        { second, "../.hidden/x", "_.hidden_x copy.img" }, // a name is never a path
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.expectedFile);
        CardCopyResult result = copyOf(run.card, run.name);
        EXPECT_EQ(std::filesystem::path(result.image.path).filename(), run.expectedFile);
        EXPECT_EQ(readWholeFile(result.image.path), readWholeFile(run.card));
    }
}

TEST(CardCopyTest, AStoppedCopyKeepsWhatWasRead)
{
    auto device = std::make_shared<SimulatedDevice>(sourceOf(patterned(4 * kMiB)), kBlock);
    TemporaryFolder folder;
    CardCopy copy(SimulatedDevice::open(device), "/dev/sdz", "SD", folder.path());
    CardCopyResult result = copy.run({}, [] { return true; });
    EXPECT_EQ(result.outcome, RescueOutcome::cancelled);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "SD copy.img.map"));
}

TEST(CardCopyTest, AFolderWithoutTheRoomIsRefusedBeforeCopying)
{
    TemporaryFolder folder;
    const std::string card = (folder.path() / "card.img").string();
    writeWholeFile(card, patterned(kBlock));
    EXPECT_EQ(CardCopy::folderProblem(folder.path() / "not yet made", card, kBlock), std::nullopt);
    const auto problem = CardCopy::folderProblem(folder.path() / "not yet made", card, uint64_t(1) << 62);
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find("Not enough room in " + (folder.path() / "not yet made").string() + " for a copy of the card"), std::string::npos);
}

}
}
