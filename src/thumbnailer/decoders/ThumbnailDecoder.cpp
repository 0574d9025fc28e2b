#include "decoders/ThumbnailDecoder.hpp"

namespace brightfold {

QImage fitWithin(const QImage& image, QSize target)
{
    if (image.width() <= target.width() && image.height() <= target.height())
        return image;
    return image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}
