#include "decoders/RawPreviewDecoder.hpp"

#include <QBuffer>
#include <QImageReader>
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
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    // The RAW file's orientation is applied afterwards; an Exif segment inside
    // the preview is not the camera's final word.
    reader.setAutoTransform(false);
    const QSize stored = reader.size();
    if (stored.isValid())
        reader.setScaledSize(stored.scaled(target, Qt::KeepAspectRatio).boundedTo(stored).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

std::optional<QImage> decodeEmbeddedBitmap(const libraw_thumbnail_t& thumb)
{
    // 8-bit RGB rows without padding: tlength must cover width × height × 3.
    const qsizetype width = thumb.twidth;
    const qsizetype height = thumb.theight;
    if (width <= 0 || height <= 0 || thumb.tcolors != 3)
        return std::nullopt;
    if (static_cast<qsizetype>(thumb.tlength) / 3 / width < height)
        return std::nullopt;
    QImage view(reinterpret_cast<const uchar*>(thumb.thumb), static_cast<int>(width), static_cast<int>(height),
        static_cast<qsizetype>(width * 3), QImage::Format_RGB888);
    return view.copy();
}

}

bool RawPreviewDecoder::reads(const QString& ext) const
{
    static const QStringList kExtensions { "cr2", "nef", "nrw", "arw", "sr2", "srf", "dng", "cr3", "raf", "orf", "rw2", "rwl", "crw", "mrw", "x3f", "pef", "srw" };
    return kExtensions.contains(ext);
}

std::optional<QImage> RawPreviewDecoder::decode(const QString& path, QSize target)
{
    auto raw = std::make_unique<LibRaw>(); // ~766 KB: never on the stack
    if (raw->open_file(path.toLocal8Bit().constData()) != LIBRAW_SUCCESS)
        return std::nullopt;
    if (raw->unpack_thumb() != LIBRAW_SUCCESS)
        return std::nullopt;
    // dcraw_make_mem_thumb() reports 0 × 0 for JPEG previews; read the fields.
    const libraw_thumbnail_t& thumb = raw->imgdata.thumbnail;
    if (thumb.thumb == nullptr || thumb.tlength == 0)
        return std::nullopt;
    std::optional<QImage> image;
    if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG)
        image = decodeEmbeddedJpeg(thumb, target);
    else if (thumb.tformat == LIBRAW_THUMBNAIL_BITMAP)
        image = decodeEmbeddedBitmap(thumb);
    if (!image)
        return std::nullopt;
    return turnedByFlip(*image, raw->imgdata.sizes.flip);
}

}
