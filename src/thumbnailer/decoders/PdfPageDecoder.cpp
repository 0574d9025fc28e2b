#include "decoders/PdfPageDecoder.hpp"

#include <fontconfig/fontconfig.h>
#include <poppler-qt6.h>

#include <algorithm>

namespace brightfold {

namespace {

constexpr double kPointsPerInch = 72.0;
constexpr double kMinDpi = 1.0;
constexpr double kMaxDpi = 300.0; // a tiny page is not rendered into gigapixels

}

void PdfPageDecoder::prepare()
{
    // poppler finds fonts through fontconfig, whose first use reads its
    // configuration and may bring its caches up to date on disk.
    FcInit();
}

std::optional<QImage> PdfPageDecoder::decode(const ThumbnailInput& input, const DecodeTarget& target)
{
    std::unique_ptr<Poppler::Document> document
        = input.isOnDisk() ? Poppler::Document::load(input.path) : Poppler::Document::loadFromData(input.bytes);
    if (!document || document->isLocked() || document->numPages() < 1)
        return std::nullopt;
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page)
        return std::nullopt;
    const QSizeF points = page->pageSizeF();
    if (!(points.width() > 0 && points.height() > 0))
        return std::nullopt;
    const double scale = std::min(target.size.width() / points.width(), target.size.height() / points.height());
    const double dpi = std::clamp(kPointsPerInch * scale, kMinDpi, kMaxDpi);
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    QImage image = page->renderToImage(dpi, dpi);
    if (image.isNull())
        return std::nullopt;
    return image;
}

}
