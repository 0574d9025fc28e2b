#include "Thumbnailer.hpp"
#include "decoders/ThumbnailDecoder.hpp"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImageWriter>

#include <cmath>
#include <filesystem>

using namespace brightfold;

namespace {

const QSize kPreview(512, 512);
constexpr int kEnoughSide = 300;

QByteArray fileBytes(const std::filesystem::path& path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::optional<QImage> drawn(const QByteArray& bytes, const std::string& ext, PictureChoice choice, int enoughSide = kEnoughSide)
{
    Thumbnailer thumbnailer;
    ThumbnailDecoder* decoder = thumbnailer.decoderFor(ext);
    if (decoder == nullptr)
        return std::nullopt;
    auto image = decoder->decode(ThumbnailInput::inMemory(bytes), DecodeTarget { kPreview, enoughSide, choice });
    if (!image)
        return std::nullopt;
    return fitWithin(*image, kPreview);
}

/// The average colour of `image`, each channel 0...255.
QColor meanColour(const QImage& image)
{
    const QImage small = image.convertToFormat(QImage::Format_RGB32).scaled(8, 8, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double red = 0, green = 0, blue = 0;
    for (int y = 0; y < small.height(); ++y) {
        for (int x = 0; x < small.width(); ++x) {
            const QColor pixel = small.pixelColor(x, y);
            red += pixel.red();
            green += pixel.green();
            blue += pixel.blue();
        }
    }
    const double count = small.width() * small.height();
    return QColor(int(red / count), int(green / count), int(blue / count));
}

struct RealFile {
    std::filesystem::path path;
    std::string ext;
    bool sameMoment; // false for video: the key frame is not the frame a second in
};

std::vector<RealFile> realFiles()
{
    const std::filesystem::path samples = BRIGHTFOLD_SAMPLES_DIR;
    const std::filesystem::path data = BRIGHTFOLD_TEST_DATA_DIR;
    return {
        { samples / "mei_Canon_EOS_20D.jpg", "jpg", true },
        { samples / "mei_photo1.webp", "webp", true },
        { samples / "mei_iPhone8_IMG_1034.heic", "heic", true },
        { samples / "photoprism_canon_eos_6d.dng", "dng", true },
        { samples / "mei_with-gps.mp4", "mp4", false },
        { samples / "mei_sample.3gp", "3gp", false },
        { samples / "mei_Kodak_100_0306.avi", "avi", false },
        { data / "images/thumbnailed.heic", "heic", true },
        { data / "images/tiny.avif", "avif", true },
        { data / "images/rotated.mp4", "mp4", false },
        { data / "images/tiny.mov", "mov", false },
        { data / "documents/sample.pdf", "pdf", true },
    };
}

}

// The fast path of every family must show what the full decode shows at the
// grid's size (an embedded picture may be smaller than the preview, but never
// smaller than a grid cell): the same size and so the same orientation, and
// the same colours.
TEST(ThumbnailDecoderTest, SmallestPictureLooksLikeTheFullDecode)
{
    for (const RealFile& file : realFiles()) {
        SCOPED_TRACE(file.path.string());
        if (!std::filesystem::exists(file.path)) {
            ADD_FAILURE() << "missing sample";
            continue;
        }
        const QByteArray bytes = fileBytes(file.path);
        auto fast = drawn(bytes, file.ext, PictureChoice::smallest);
        auto full = drawn(bytes, file.ext, PictureChoice::full);
        if (!fast || !full) {
            ADD_FAILURE() << "nothing drawn";
            continue;
        }
        const QSize cell(kEnoughSide, kEnoughSide);
        fast = fitWithin(*fast, cell);
        full = fitWithin(*full, cell);
        // An embedded picture may be a pixel off in aspect after scaling down.
        EXPECT_NEAR(fast->width(), full->width(), std::max(2, full->width() / 50));
        EXPECT_NEAR(fast->height(), full->height(), std::max(2, full->height() / 50));
        EXPECT_EQ(fast->width() > fast->height(), full->width() > full->height());
        if (!file.sameMoment)
            continue;
        const QColor fastColour = meanColour(*fast);
        const QColor fullColour = meanColour(*full);
        // A camera's own preview is processed by the camera, not by libraw.
        const int tolerance = file.ext == "dng" || file.ext == "arw" ? 60 : 12;
        EXPECT_NEAR(fastColour.red(), fullColour.red(), tolerance);
        EXPECT_NEAR(fastColour.green(), fullColour.green(), tolerance);
        EXPECT_NEAR(fastColour.blue(), fullColour.blue(), tolerance);
    }
}

TEST(ThumbnailDecoderTest, FileOnDiskDrawsAsItsBytesInMemory)
{
    Thumbnailer thumbnailer;
    for (const RealFile& file : realFiles()) {
        SCOPED_TRACE(file.path.string());
        if (!std::filesystem::exists(file.path))
            continue;
        ThumbnailDecoder* decoder = thumbnailer.decoderFor(file.ext);
        ASSERT_NE(decoder, nullptr);
        const DecodeTarget target { kPreview, kEnoughSide, PictureChoice::smallest };
        const auto fromDisk = decoder->decode(ThumbnailInput::onDisk(QString::fromStdString(file.path.string())), target);
        const auto fromMemory = decoder->decode(ThumbnailInput::inMemory(fileBytes(file.path)), target);
        if (!fromDisk || !fromMemory) {
            ADD_FAILURE() << "nothing drawn";
            continue;
        }
        EXPECT_EQ(fromDisk->convertToFormat(QImage::Format_RGBA8888), fromMemory->convertToFormat(QImage::Format_RGBA8888));
    }
}

TEST(ThumbnailDecoderTest, JpegIsDecodedAtAReducedScaleAndTurnedByItsOrientation)
{
    // 1200 × 800 stored, with an EXIF orientation of a quarter turn clockwise.
    QImage picture(1200, 800, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(picture));

    const auto fast = drawn(bytes, "jpg", PictureChoice::smallest);
    const auto full = drawn(bytes, "jpg", PictureChoice::full);
    ASSERT_TRUE(fast && full);
    EXPECT_EQ(fast->size(), QSize(341, 512));
    EXPECT_EQ(full->size(), QSize(341, 512));
}

TEST(ThumbnailDecoderTest, HeifThumbnailItemServesOnlyWhenLargeEnough)
{
    // thumbnailed.heic: a 320 × 240 primary image with a 160 × 120 thumbnail item.
    const QByteArray bytes = fileBytes(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "images/thumbnailed.heic");
    ASSERT_FALSE(bytes.isEmpty());
    struct Case {
        int enoughSide;
        QSize expected;
    };
    for (const Case& c : { Case { 160, QSize(160, 120) }, Case { 100, QSize(160, 120) }, Case { 161, QSize(320, 240) } }) {
        SCOPED_TRACE(c.enoughSide);
        const auto image = drawn(bytes, "heic", PictureChoice::smallest, c.enoughSide);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size(), c.expected);
    }
}

TEST(ThumbnailDecoderTest, VideoCoverArtServesInPlaceOfAFrame)
{
    // covered.mp4: a 64 × 48 video with a 200 × 300 cover picture.
    const QByteArray bytes = fileBytes(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "images/covered.mp4");
    ASSERT_FALSE(bytes.isEmpty());
    const auto cover = drawn(bytes, "mp4", PictureChoice::smallest, 300);
    ASSERT_TRUE(cover);
    EXPECT_EQ(cover->size(), QSize(200, 300));
    // A cover smaller than what the grid needs is passed over for a frame.
    const auto frame = drawn(bytes, "mp4", PictureChoice::smallest, 301);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), QSize(64, 48));
}

TEST(ThumbnailDecoderTest, DamagedBytesDrawNothing)
{
    Thumbnailer thumbnailer;
    for (const RealFile& file : realFiles()) {
        SCOPED_TRACE(file.path.string());
        const QByteArray bytes = fileBytes(file.path);
        ThumbnailDecoder* decoder = thumbnailer.decoderFor(file.ext);
        ASSERT_NE(decoder, nullptr);
        // Every family: nothing at all, and only the first 64 bytes.
        for (const QByteArray& cut : { QByteArray(), bytes.left(64) }) {
            const auto image = decoder->decode(ThumbnailInput::inMemory(cut), DecodeTarget { kPreview, kEnoughSide, PictureChoice::smallest });
            EXPECT_FALSE(image);
        }
    }
}
