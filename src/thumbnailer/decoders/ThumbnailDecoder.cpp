#include "decoders/ThumbnailDecoder.hpp"

#include <algorithm>

namespace brightfold {

QImage fitWithin(const QImage& image, QSize target)
{
    if (image.width() <= target.width() && image.height() <= target.height())
        return image;
    return image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

bool servesAsPreview(QSize size, const DecodeTarget& target)
{
    const int targetLonger = std::max(target.size.width(), target.size.height());
    const int enough = target.enoughSide > 0 ? std::min(target.enoughSide, targetLonger) : targetLonger;
    return size.isValid() && std::max(size.width(), size.height()) >= enough;
}

}
