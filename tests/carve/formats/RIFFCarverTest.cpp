#include "TestSupport.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include "carve/formats/RIFFCarver.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// An outer chunk: identifier, 32-bit size in the kind's byte order, form type, then `body` bytes.
std::vector<uint8_t> outerChunk(std::string_view identifier, uint32_t chunkSize, std::string_view formType, size_t body = 0)
{
    ByteBuilder builder;
    builder.text(identifier);
    if (identifier == "RIFF")
        builder.u32le(chunkSize);
    else
        builder.u32be(chunkSize);
    return builder.text(formType).fill(body, 0x42).build();
}

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    return carveRecorded(RIFFCarver(), std::move(bytes), at);
}

std::vector<uint8_t> audioFile(const std::string& name)
{
    return readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "audio" / name);
}

}

TEST(RIFFCarverTest, WaveChunkIsExactAudioOfItsDeclaredLength)
{
    auto bytes = ByteBuilder().bytes(outerChunk("RIFF", 0x24, "WAVE", 0x20)).fill(500, 0x99).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, (CarveMatch { 44, "wav", FormatCategory::audio, CarveConfidence::exact }));
}

TEST(RIFFCarverTest, OddChunkSizeTakesThePadByte)
{
    auto match = carveAt(ByteBuilder().bytes(outerChunk("RIFF", 0x25, "WAVE", 0x21)).fill(100).build());
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 46u);
}

TEST(RIFFCarverTest, ChunkTooSmallToHoldAFormTypeIsNoMatch)
{
    for (uint32_t chunkSize = 0; chunkSize < 4; ++chunkSize) {
        SCOPED_TRACE(chunkSize);
        EXPECT_FALSE(carveAt(ByteBuilder().bytes(outerChunk("RIFF", chunkSize, "WAVE")).fill(100).build()));
        EXPECT_FALSE(carveAt(ByteBuilder().bytes(outerChunk("FORM", chunkSize, "AIFF")).fill(100).build()));
    }
}

TEST(RIFFCarverTest, FormChunkSizeIsBigEndian)
{
    auto match = carveAt(ByteBuilder().bytes(outerChunk("FORM", 0x24, "AIFC", 0x20)).fill(100).build());
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, (CarveMatch { 44, "aiff", FormatCategory::audio, CarveConfidence::exact }));
}

TEST(RIFFCarverTest, FormTypeMustBelongToTheChunkKind)
{
    struct Case {
        std::string_view identifier;
        std::string_view formType;
        std::optional<std::pair<std::string, FormatCategory>> expected;
    };
    const Case cases[] = {
        { "RIFF", "WAVE", std::pair { "wav", FormatCategory::audio } },
        { "RIFF", "AVI ", std::pair { "avi", FormatCategory::video } },
        { "RIFF", "WEBP", std::pair { "webp", FormatCategory::photos } },
        { "FORM", "AIFF", std::pair { "aiff", FormatCategory::audio } },
        { "FORM", "AIFC", std::pair { "aiff", FormatCategory::audio } },
        { "RIFF", "AIFF", std::nullopt },
        { "RIFF", "AIFC", std::nullopt },
        { "FORM", "WAVE", std::nullopt },
        { "FORM", "WEBP", std::nullopt },
        { "RIFF", "wave", std::nullopt },
        { "RIFF", std::string_view("AVI\0", 4), std::nullopt },
        { "RIFF", "AVIX", std::nullopt },
        { "RIFF", "RMID", std::nullopt },
        { "FORM", "8SVX", std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.identifier) + " " + std::string(testCase.formType));
        auto match = carveAt(ByteBuilder().bytes(outerChunk(testCase.identifier, 100, testCase.formType, 96)).build());
        ASSERT_EQ(match.has_value(), testCase.expected.has_value());
        if (match) {
            EXPECT_EQ(match->ext, testCase.expected->first);
            EXPECT_EQ(match->category, testCase.expected->second);
            EXPECT_EQ(match->length, 108u);
        }
    }
}

TEST(RIFFCarverTest, ChunkRunningPastTheSourceEndsHeuristicallyAtTheSourceEnd)
{
    auto bytes = ByteBuilder().fill(512, 0xEE).bytes(outerChunk("RIFF", 100000, "AVI ", 1000)).build();
    auto match = carveAt(bytes, 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, (CarveMatch { 1012, "avi", FormatCategory::video, CarveConfidence::heuristic }));
}

// Guards against adding the pad byte in 32 bits: 0xFFFFFFFF + 1 wraps to 0.
TEST(RIFFCarverTest, LargestOddChunkSizeDoesNotWrap)
{
    auto match = carveAt(outerChunk("RIFF", 0xFFFFFFFF, "WAVE", 100));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
    EXPECT_EQ(match->length, 112u);
}

TEST(RIFFCarverTest, ChunkEndingExactlyAtTheSourceEndIsExact)
{
    auto match = carveAt(outerChunk("FORM", 0x1000, "AIFF", 0x1000 - 4));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 0x1008u);
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(RIFFCarverTest, HeaderCutByTheSourceEndIsNoMatch)
{
    auto whole = outerChunk("RIFF", 0x24, "WAVE");
    for (size_t kept = 4; kept < whole.size(); ++kept) {
        SCOPED_TRACE(kept);
        EXPECT_FALSE(carveAt(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(kept))));
    }
}

TEST(RIFFCarverTest, RealWaveAndAiffFromFfmpegAreExact)
{
    struct Case {
        const char* name;
        const char* ext;
    };
    for (const Case& testCase : { Case { "tone.wav", "wav" }, Case { "tone.aiff", "aiff" } }) {
        SCOPED_TRACE(testCase.name);
        auto file = audioFile(testCase.name);
        ASSERT_GT(file.size(), 1000u);
        // The file sits on a sector with other data after it.
        auto match = carveAt(ByteBuilder().fill(1024, 0x31).bytes(file).fill(3000, 0x5C).build(), 1024);
        ASSERT_TRUE(match);
        EXPECT_EQ(*match, (CarveMatch { file.size(), testCase.ext, FormatCategory::audio, CarveConfidence::exact }));
    }
}

TEST(RIFFCarverTest, RealCameraAviAndWebPAreExact)
{
    if (samplesFolder().empty())
        GTEST_SKIP() << "the shared samples folder is absent";
    struct Case {
        const char* name;
        const char* ext;
        FormatCategory category;
    };
    for (const Case& testCase : { Case { "mei_Kodak_100_0306.avi", "avi", FormatCategory::video },
             Case { "mei_photo1.webp", "webp", FormatCategory::photos } }) {
        SCOPED_TRACE(testCase.name);
        auto file = readWholeFile(samplesFolder() / testCase.name);
        ASSERT_FALSE(file.empty());
        auto match = carveAt(ByteBuilder().bytes(file).fill(4096, 0xA5).build());
        ASSERT_TRUE(match);
        EXPECT_EQ(*match, (CarveMatch { file.size(), testCase.ext, testCase.category, CarveConfidence::exact }));
    }
}
