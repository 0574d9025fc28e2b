#include "device/SimulatedDevice.hpp"

#include "carve/export/ImageCopier.hpp"
#include "carve/export/ImageError.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace brightfold::test {
namespace {

constexpr uint64_t kBlock = 512;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSize = 8 * kMiB;

/// A card of patterned bytes with a dead area and a weak block, reads stopping at a bad block.
std::shared_ptr<SimulatedDevice> failingCard()
{
    auto card = std::make_shared<SimulatedDevice>(sourceOf(patterned(kSize)), kBlock);
    card->wholeReadFails = false;
    card->fail(3 * kMiB / kBlock, 256);
    card->weaken(6 * kMiB / kBlock, 1, 1);
    card->failCost = 0.01;
    card->countReadsPerBlock();
    return card;
}

std::vector<uint8_t> expectedImage()
{
    auto bytes = patterned(kSize);
    std::fill_n(bytes.begin() + std::ptrdiff_t(3 * kMiB), 256 * kBlock, uint8_t { 0 });
    return bytes;
}

void writeText(const std::filesystem::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(ImageCopierTest, CopiesEveryReadableByteAndMapsTheRest)
{
    TemporaryFolder folder;
    auto card = failingCard();
    const auto image = folder.path() / "card.img";
    ImageCopier copier(SimulatedDevice::open(card), "/dev/sdz", image);
    EXPECT_EQ(copier.run({}), RescueOutcome::complete);
    EXPECT_EQ(readWholeFile(image), expectedImage());
    EXPECT_EQ(copier.unreadAreas(), (std::vector<Area> { { 3 * kMiB, 256 * kBlock, AreaState::unreadable } }));
    const auto text = readWholeFile(ImageCopier::mapFile(image));
    auto map = AreaMap::parse(std::string(text.begin(), text.end()));
    EXPECT_EQ(map.source, "/dev/sdz");
    EXPECT_EQ(map.map.bytesIn(AreaState::read), kSize - 256 * kBlock);
    EXPECT_EQ(std::ranges::count_if(card->timesRead, [](uint8_t times) { return times > 1; }), 0);
    EXPECT_FALSE(std::filesystem::exists(image.string() + ".map.new"));
}

TEST(ImageCopierTest, ResumedCopyEqualsAnUninterruptedOneAndReadsNoBlockTwice)
{
    // Guards against a stopped copy losing what it read, or reading it again.
    for (int stopAfter : { 1, 2, 3, 6 }) {
        SCOPED_TRACE(stopAfter);
        TemporaryFolder folder;
        auto card = failingCard();
        const auto image = folder.path() / "card.img";
        int steps = 0;
        {
            ImageCopier copier(SimulatedDevice::open(card), "/dev/sdz", image);
            EXPECT_EQ(copier.run({ .isCancelled = [&] { return steps >= stopAfter; } }, [&](const ImageProgress&) { ++steps; }), RescueOutcome::cancelled);
        }
        ImageCopier resumed(SimulatedDevice::open(card), "/dev/sdz", image);
        EXPECT_GT(resumed.startMap().bytesIn(AreaState::read), 0u);
        EXPECT_EQ(resumed.run({}), RescueOutcome::complete);
        EXPECT_EQ(readWholeFile(image), expectedImage());
        EXPECT_EQ(std::ranges::count_if(card->timesRead, [](uint8_t times) { return times > 1; }), 0);
    }
}

TEST(ImageCopierTest, CardPulledOutKeepsWhatWasReadForTheNextRun)
{
    TemporaryFolder folder;
    auto card = failingCard();
    card->vanishAt = 5 * kMiB;
    const auto image = folder.path() / "card.img";
    {
        ImageCopier copier(SimulatedDevice::open(card), "/dev/sdz", image);
        EXPECT_EQ(copier.run({}), RescueOutcome::deviceGone);
    }
    card->vanishAt = UINT64_MAX; // put back in
    card->gone = false;
    ImageCopier resumed(SimulatedDevice::open(card), "/dev/sdz", image);
    EXPECT_EQ(resumed.run({}), RescueOutcome::complete);
    EXPECT_EQ(readWholeFile(image), expectedImage());
}

TEST(ImageCopierTest, RefusesBeforeWritingAnything)
{
    // Guards against a damaged or foreign map being trusted, a file of the user's being overwritten, and a copy that cannot fit.
    const std::string header = "# source: /dev/sdz\n# size: " + std::to_string(kSize) + "\n";
    struct Case {
        const char* name;
        std::optional<std::string> map;
        bool imageExists;
        ImageError::Kind expected;
        uint64_t size { kSize };
    };
    const Case cases[] = {
        { "a damaged map", header + "0 100 read\n", true, ImageError::Kind::mapDamaged },
        { "a map that is not a map", std::string("PNG\r\n\x1a\n", 7), false, ImageError::Kind::mapDamaged },
        { "a map of another card", "# source: /dev/sdy\n# size: " + std::to_string(kSize) + "\n0 " + std::to_string(kSize) + " untried\n", false,
            ImageError::Kind::mapOfAnotherImage },
        { "a map of another size", "# source: /dev/sdz\n# size: 4096\n0 4096 read\n", true, ImageError::Kind::mapOfAnotherImage },
        { "a map whose image is missing", header + "0 " + std::to_string(kSize) + " read\n", false, ImageError::Kind::mapOfAnotherImage },
        { "a map beside an image of another length", header + "0 " + std::to_string(kSize) + " read\n", true, ImageError::Kind::mapOfAnotherImage },
        { "an image without a map", std::nullopt, true, ImageError::Kind::imageWithoutMap },
        { "a card larger than the disk", std::nullopt, false, ImageError::Kind::noRoom, uint64_t(1) << 60 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        const auto image = folder.path() / "card.img";
        if (c.map)
            writeText(ImageCopier::mapFile(image), *c.map);
        if (c.imageExists)
            writeText(image, "the user's own file");
        auto card = std::make_shared<SimulatedDevice>(std::make_shared<SparseSource>(c.size), kBlock);
        try {
            ImageCopier copier(SimulatedDevice::open(card), "/dev/sdz", image);
            ADD_FAILURE() << "not refused";
        } catch (const ImageError& error) {
            EXPECT_EQ(error.kind(), c.expected) << error.what();
        }
        EXPECT_TRUE(card->reads.empty());
        EXPECT_EQ(std::filesystem::exists(image), c.imageExists);
        if (c.imageExists) {
            EXPECT_EQ(readWholeFile(image).size(), std::string("the user's own file").size());
        }
    }
}

TEST(ImageCopierTest, RefusesTheSourceItselfAsTheImage)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "card.img";
    std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
    auto source = std::make_shared<BlockDeviceSource>(UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), file.string());
    try {
        ImageCopier copier(source, file.string(), file);
        ADD_FAILURE() << "not refused";
    } catch (const ImageError& error) {
        EXPECT_EQ(error.kind(), ImageError::Kind::sameAsSource);
    }
    EXPECT_EQ(readWholeFile(file), std::vector<uint8_t>(4096, 'x'));
}

}
}
