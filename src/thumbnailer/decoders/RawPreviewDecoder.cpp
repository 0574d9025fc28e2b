#include "decoders/RawPreviewDecoder.hpp"

#include "decoders/QtImageDecoder.hpp"

#include <QBuffer>
#include <QTransform>

#include <libraw/libraw.h>

#include <memory>

namespace brightfold {

namespace {

/// libraw's `flip`: 3 is a half turn, 5 a quarter turn counter-clockwise, 6 clockwise.
QImage turnedByFlip(const QImage& image, int flip)
{
    int degrees = 0;
    switch (flip) {
    case 3: degrees = 180; break;
    case 5: degrees = 270; break;
    case 6: degrees = 90; break;
    default: return image;
    }
    return image.transformed(QTransform().rotate(degrees));
}

std::optional<QImage> decodeEmbeddedJpeg(const libraw_thumbnail_t& thumb, QSize target)
{
    QByteArray bytes = QByteArray::fromRawData(thumb.thumb, static_cast<qsizetype>(thumb.tlength));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The RAW file's orientation is applied afterwards; an Exif segment inside
    // the preview is not the camera's final word. Unturned, the stored picture
    // is bounded by the target as it will be after the turn: the longer side
    // fits either way round.
    const int side = std::max(target.width(), target.height());
    return QtImageDecoder::read(buffer, "jpeg", QSize(side, side), PictureChoice::smallest, false);
}

/// 8-bit RGB rows without padding, `length` bytes in all.
std::optional<QImage> rgbImage(const uchar* pixels, size_t length, int width, int height, int colors)
{
    if (width <= 0 || height <= 0 || colors != 3)
        return std::nullopt;
    if (length / 3 / static_cast<size_t>(width) < static_cast<size_t>(height))
        return std::nullopt;
    QImage view(pixels, width, height, static_cast<qsizetype>(width) * 3, QImage::Format_RGB888);
    return view.copy();
}

bool opened(LibRaw& raw, const ThumbnailInput& input)
{
    if (input.isOnDisk())
        return raw.open_file(input.path.toLocal8Bit().constData()) == LIBRAW_SUCCESS;
    // libraw only reads the buffer; its interface is not const.
    return raw.open_buffer(const_cast<char*>(input.bytes.constData()), static_cast<size_t>(input.bytes.size())) == LIBRAW_SUCCESS;
}

std::optional<QImage> embeddedPreview(LibRaw& raw, QSize target)
{
    if (raw.unpack_thumb() != LIBRAW_SUCCESS)
        return std::nullopt;
    // dcraw_make_mem_thumb() reports 0 × 0 for JPEG previews; read the fields.
    const libraw_thumbnail_t& thumb = raw.imgdata.thumbnail;
    if (thumb.thumb == nullptr || thumb.tlength == 0)
        return std::nullopt;
    if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG)
        return decodeEmbeddedJpeg(thumb, target);
    if (thumb.tformat == LIBRAW_THUMBNAIL_BITMAP)
        return rgbImage(reinterpret_cast<const uchar*>(thumb.thumb), thumb.tlength, thumb.twidth, thumb.theight, thumb.tcolors);
    return std::nullopt;
}

struct MemImageFree {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

std::optional<QImage> sensorPicture(LibRaw& raw)
{
    raw.imgdata.params.half_size = 1;
    raw.imgdata.params.user_flip = 0; // turned below, as the preview is
    if (raw.unpack() != LIBRAW_SUCCESS || raw.dcraw_process() != LIBRAW_SUCCESS)
        return std::nullopt;
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, MemImageFree> image(raw.dcraw_make_mem_image(&error));
    if (!image || image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8)
        return std::nullopt;
    return rgbImage(image->data, image->data_size, image->width, image->height, image->colors);
}

}

std::optional<QImage> RawPreviewDecoder::decode(const ThumbnailInput& input, const DecodeTarget& target)
{
    auto raw = std::make_unique<LibRaw>(); // ~766 KB: never on the stack
    if (!opened(*raw, input))
        return std::nullopt;
    const int flip = raw->imgdata.sizes.flip;
    std::optional<QImage> image = target.choice == PictureChoice::smallest ? embeddedPreview(*raw, target.size) : sensorPicture(*raw);
    if (!image)
        return std::nullopt;
    return turnedByFlip(*image, flip);
}

}
