#include "TestSupport.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include "carve/formats/JPEGCarver.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// Writes a JPEG marker by marker: segment(0xDB, body) gives FF DB, the length, the body.
class JpegBuilder {
public:
    JpegBuilder() { m_bytes.bytes({ 0xFF, 0xD8 }); }
    JpegBuilder& segment(uint8_t marker, size_t bodyLength, uint8_t fill = 0x11)
    {
        m_bytes.bytes({ 0xFF, marker }).u16be(static_cast<uint16_t>(bodyLength + 2)).fill(bodyLength, fill);
        return *this;
    }
    JpegBuilder& raw(std::initializer_list<uint8_t> values) { m_bytes.bytes(values); return *this; }
    /// A typical camera header: EXIF, DQT, SOF0, DHT, then SOS.
    JpegBuilder& cameraHeader()
    {
        return segment(0xE1, 200).segment(0xDB, 67).segment(0xC0, 15).segment(0xC4, 31).segment(0xDA, 10);
    }
    JpegBuilder& scanData(size_t count, uint8_t fill = 0x5A) { m_bytes.fill(count, fill); return *this; }
    JpegBuilder& end() { m_bytes.bytes({ 0xFF, 0xD9 }); return *this; }
    std::vector<uint8_t> build() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
};

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    return carveRecorded(JPEGCarver(), std::move(bytes), at);
}

}

TEST(JPEGCarverTest, CameraStyleImageEndsJustAfterEndOfImage)
{
    auto image = JpegBuilder().cameraHeader().scanData(5000).end().build();
    auto withTrailer = ByteBuilder().bytes(image).fill(3000, 0x77).build();
    auto match = carveAt(withTrailer);
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, (CarveMatch { image.size(), "jpg", FormatCategory::photos, CarveConfidence::exact }));
}

TEST(JPEGCarverTest, FourthByteMustStartAPlausibleSegment)
{
    for (int fourth = 0; fourth < 256; ++fourth) {
        SCOPED_TRACE(fourth);
        auto bytes = JpegBuilder().segment(static_cast<uint8_t>(fourth), 20).segment(0xDA, 10).scanData(100).end().build();
        bool accepted = (fourth & 0xF0) == 0xE0 || fourth == 0xDB || fourth == 0xC0 || fourth == 0xC2 || fourth == 0xC4
            || fourth == 0xDD || fourth == 0xFE;
        EXPECT_EQ(carveAt(bytes).has_value(), accepted);
    }
    // SOF1 is refused right after SOI but walked over later on.
    auto sof1Later = JpegBuilder().segment(0xE0, 14).segment(0xC1, 15).segment(0xDA, 10).scanData(100).end().build();
    EXPECT_TRUE(carveAt(sof1Later));
}

TEST(JPEGCarverTest, BrokenHeadersAreNoMatch)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Case> cases {
        { "segment length 0", JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xDB, 0x00, 0x00 }).scanData(100).end().build() },
        { "segment length 1", JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xDB, 0x00, 0x01 }).scanData(100).end().build() },
        { "fill byte right after SOI", JpegBuilder().raw({ 0xFF, 0xFF, 0xDB, 0x00, 0x04, 1, 2 }).segment(0xDA, 10).end().build() },
        { "marker position without FF", JpegBuilder().segment(0xE0, 14).raw({ 0x12, 0xDB, 0x00, 0x04, 1, 2 }).segment(0xDA, 10).end().build() },
        { "SOI before the first scan", JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xD8 }).segment(0xDA, 10).end().build() },
        { "EOI before the first scan", JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xD9 }).segment(0xDA, 10).end().build() },
        { "header cut by the source end", JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xDB, 0x00 }).build() },
        { "FF D8 FF at the very end", { 0xFF, 0xD8, 0xFF } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_FALSE(carveAt(testCase.bytes));
    }
}

TEST(JPEGCarverTest, FillBytesAndLengthlessMarkersAreWalkedOver)
{
    auto bytes = JpegBuilder().segment(0xE0, 14).raw({ 0xFF, 0xFF, 0xFF }).segment(0xDB, 67).raw({ 0xFF, 0xD0, 0xFF, 0x01 })
                     .segment(0xDA, 10).scanData(300).end().build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, bytes.size());
    EXPECT_EQ(match->confidence, CarveConfidence::exact);
}

TEST(JPEGCarverTest, ThumbnailEndMarkerInsideTheHeaderIsSkipped)
{
    // An EXIF segment carrying a whole thumbnail, FF D9 included, is skipped by length.
    std::vector<uint8_t> thumbnail = JpegBuilder().segment(0xDB, 67).segment(0xDA, 10).scanData(50).end().build();
    ByteBuilder exif;
    exif.bytes({ 0xFF, 0xD8, 0xFF, 0xE1 }).u16be(static_cast<uint16_t>(thumbnail.size() + 2)).bytes(thumbnail);
    auto bytes = ByteBuilder().bytes(exif.build()).bytes({ 0xFF, 0xDA, 0x00, 0x04, 0, 0 }).fill(500, 0x33).bytes({ 0xFF, 0xD9 }).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, bytes.size());
}

TEST(JPEGCarverTest, AnotherImageInsideTheScanDataCutsTheFile)
{
    auto bytes = JpegBuilder().cameraHeader().scanData(1000).raw({ 0xFF, 0xD8, 0xFF, 0xE0 }).scanData(500).end().build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    size_t headerLength = JpegBuilder().cameraHeader().build().size();
    EXPECT_EQ(match->length, headerLength + 1000);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}

TEST(JPEGCarverTest, MissingEndOfImageFallsBackToTheSourceEndOrTheCap)
{
    auto shortImage = JpegBuilder().cameraHeader().scanData(3000).build();
    auto match = carveAt(ByteBuilder().fill(512).bytes(shortImage).build(), 512);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, shortImage.size());
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);

    auto longImage = JpegBuilder().cameraHeader().scanData(17 * 1024 * 1024).build();
    match = carveAt(longImage);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, 0x1000000u);
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}

TEST(JPEGCarverTest, HeaderWalkGivesUpAfterItsWindow)
{
    JpegBuilder builder;
    for (int i = 0; i < 1030; ++i)
        builder.segment(0xE1, 65533);
    auto bytes = builder.segment(0xDA, 10).scanData(10).end().build();
    ASSERT_GT(bytes.size(), 64u * 1024 * 1024);
    EXPECT_FALSE(carveAt(bytes));
}

TEST(JPEGCarverTest, RealFilesCarveToTheirExactLength)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / ".." / ".." / "sample" / "files")) {
        if (entry.path().extension() == ".JPG")
            files.push_back(entry.path());
    }
    if (auto samples = samplesFolder(); !samples.empty())
        files.push_back(samples / "mei_Canon_EOS_20D.jpg");
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        auto bytes = readWholeFile(path);
        auto size = bytes.size();
        bytes.resize(size + 4096, 0); // trailing free space on a card
        auto match = carveAt(bytes);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, size);
        EXPECT_EQ(match->confidence, CarveConfidence::exact);
    }
}
