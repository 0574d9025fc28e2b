#include "Thumbnailer.hpp"

#include "decoders/HeifDecoder.hpp"
#include "decoders/PdfPageDecoder.hpp"
#include "decoders/QtImageDecoder.hpp"
#include "decoders/RawPreviewDecoder.hpp"
#include "decoders/VideoFrameDecoder.hpp"

#include <QFileInfo>

#include <cstring>
#include <new>

namespace brightfold {

Thumbnailer::Thumbnailer()
{
    m_decoders.push_back(std::make_unique<QtImageDecoder>());
    m_decoders.push_back(std::make_unique<RawPreviewDecoder>());
    m_decoders.push_back(std::make_unique<HeifDecoder>());
    m_decoders.push_back(std::make_unique<VideoFrameDecoder>());
    m_decoders.push_back(std::make_unique<PdfPageDecoder>());
}

Thumbnailer::~Thumbnailer() = default;

void Thumbnailer::prepare()
{
    for (const auto& decoder : m_decoders)
        decoder->prepare();
}

ThumbnailDecoder* Thumbnailer::decoderFor(const QString& ext) const
{
    for (const auto& decoder : m_decoders) {
        if (decoder->reads(ext))
            return decoder.get();
    }
    return nullptr;
}

ThumbnailReply Thumbnailer::reply(const ThumbnailRequest& request)
{
    const QString path = QString::fromStdString(request.path);
    ThumbnailDecoder* decoder = decoderFor(QFileInfo(path).suffix().toLower());
    if (decoder == nullptr)
        return {};
    const QSize target(request.maxWidth, request.maxHeight);
    std::optional<QImage> drawn;
    try {
        drawn = decoder->decode(path, target);
    } catch (const std::bad_alloc&) {
        // The address-space limit refused a damaged file's claimed size.
        return {};
    }
    if (!drawn || drawn->isNull())
        return {};
    const QImage image = fitWithin(*drawn, target).convertToFormat(QImage::Format_RGBA8888);
    if (image.isNull() || image.width() > request.maxWidth || image.height() > request.maxHeight)
        return {};

    ThumbnailPixels pixels;
    pixels.width = static_cast<uint16_t>(image.width());
    pixels.height = static_cast<uint16_t>(image.height());
    const size_t rowBytes = size_t { pixels.width } * 4;
    pixels.rgba.resize(rowBytes * pixels.height);
    for (int row = 0; row < image.height(); ++row)
        std::memcpy(pixels.rgba.data() + rowBytes * static_cast<size_t>(row), image.constScanLine(row), rowBytes);
    return ThumbnailReply { std::move(pixels) };
}

}
