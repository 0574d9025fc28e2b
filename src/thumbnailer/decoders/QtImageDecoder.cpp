#include "decoders/QtImageDecoder.hpp"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace brightfold {

void QtImageDecoder::prepare()
{
    // Bytes of no format: Qt asks every format plugin, and so loads them all.
    QByteArray unknown(16, '\x01');
    QBuffer buffer(&unknown);
    buffer.open(QIODevice::ReadOnly);
    QImageReader(&buffer).canRead();
}

std::optional<QImage> QtImageDecoder::read(QIODevice& device, const QByteArray& format, QSize target,
    PictureChoice choice, bool autoTransform)
{
    QImageReader reader(&device, format);
    reader.setAutoTransform(autoTransform);
    const QSize stored = reader.size();
    if (choice == PictureChoice::smallest && stored.isValid()
        && (stored.width() > target.width() || stored.height() > target.height())) {
        // The scaled size applies to the stored picture, before the orientation
        // turns it: a quarter turn swaps which side the target bounds.
        QSize bound = target;
        if (autoTransform && (reader.transformation() & QImageIOHandler::TransformationRotate90))
            bound.transpose();
        reader.setScaledSize(stored.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    }
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

std::optional<QImage> QtImageDecoder::decode(const ThumbnailInput& input, const DecodeTarget& target)
{
    if (input.isOnDisk()) {
        QFile file(input.path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return read(file, {}, target.size, target.choice, true);
    }
    QByteArray bytes = input.bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    return read(buffer, {}, target.size, target.choice, true);
}

}
