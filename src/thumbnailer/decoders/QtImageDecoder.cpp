#include "decoders/QtImageDecoder.hpp"

#include <QBuffer>
#include <QImageReader>

namespace brightfold {

bool QtImageDecoder::reads(const QString& ext) const
{
    static const QStringList kExtensions { "jpg", "jpeg", "png", "gif", "bmp", "webp", "tif", "tiff" };
    return kExtensions.contains(ext);
}

void QtImageDecoder::prepare()
{
    // Bytes of no format: Qt asks every format plugin, and so loads them all.
    QByteArray unknown(16, '\x01');
    QBuffer buffer(&unknown);
    buffer.open(QIODevice::ReadOnly);
    QImageReader(&buffer).canRead();
}

std::optional<QImage> QtImageDecoder::decode(const QString& path, QSize target)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (stored.isValid() && (stored.width() > target.width() || stored.height() > target.height())) {
        // The scaled size applies to the stored picture, before the orientation
        // turns it: a quarter turn swaps which side the target bounds.
        QSize bound = target;
        if (reader.transformation() & QImageIOHandler::TransformationRotate90)
            bound.transpose();
        reader.setScaledSize(stored.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    }
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

}
