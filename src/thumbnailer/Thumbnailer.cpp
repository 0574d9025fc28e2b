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

ThumbnailDecoder* Thumbnailer::decoderFor(std::string_view ext) const
{
    const auto family = previewFamilyFor(ext);
    if (!family)
        return nullptr;
    for (const auto& decoder : m_decoders) {
        if (decoder->family() == *family)
            return decoder.get();
    }
    return nullptr;
}

ThumbnailReply Thumbnailer::reply(const ThumbnailRequest& request, std::span<const uint8_t> bytes)
{
    ThumbnailInput input;
    std::string ext = request.ext;
    if (request.handsBytes()) {
        // A view: the bytes stay where the request brought them.
        input = ThumbnailInput::inMemory(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    } else {
        const QString path = QString::fromStdString(request.path);
        input = ThumbnailInput::onDisk(path);
        ext = QFileInfo(path).suffix().toLower().toStdString();
    }
    ThumbnailDecoder* decoder = decoderFor(ext);
    if (decoder == nullptr)
        return {};
    const DecodeTarget target { QSize(request.maxWidth, request.maxHeight), request.enoughSide, PictureChoice::smallest };
    std::optional<QImage> drawn;
    try {
        drawn = decoder->decode(input, target);
    } catch (const std::bad_alloc&) {
        // The address-space limit refused a damaged file's claimed size.
        return {};
    }
    if (!drawn || drawn->isNull())
        return {};
    const QImage image = fitWithin(*drawn, target.size).convertToFormat(QImage::Format_RGBA8888);
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
