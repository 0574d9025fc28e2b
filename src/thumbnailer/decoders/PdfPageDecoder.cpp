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

bool PdfPageDecoder::reads(const QString& ext) const
{
    return ext == "pdf";
}

void PdfPageDecoder::prepare()
{
    // poppler finds fonts through fontconfig, whose first use reads its
    // configuration and may bring its caches up to date on disk.
    FcInit();
}

std::optional<QImage> PdfPageDecoder::decode(const QString& path, QSize target)
{
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document || document->isLocked() || document->numPages() < 1)
        return std::nullopt;
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page)
        return std::nullopt;
    const QSizeF points = page->pageSizeF();
    if (!(points.width() > 0 && points.height() > 0))
        return std::nullopt;
    const double scale = std::min(target.width() / points.width(), target.height() / points.height());
    const double dpi = std::clamp(kPointsPerInch * scale, kMinDpi, kMaxDpi);
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    QImage image = page->renderToImage(dpi, dpi);
    if (image.isNull())
        return std::nullopt;
    return image;
}

}
