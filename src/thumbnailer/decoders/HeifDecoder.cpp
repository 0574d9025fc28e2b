#include "decoders/HeifDecoder.hpp"

#include <libheif/heif.h>

#include <memory>

namespace brightfold {

namespace {

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};

}

bool HeifDecoder::reads(const QString& ext) const
{
    return ext == "heic" || ext == "avif";
}

std::optional<QImage> HeifDecoder::decode(const QString& path, QSize target)
{
    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context)
        return std::nullopt;
    if (heif_context_read_from_file(context.get(), path.toLocal8Bit().constData(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return std::nullopt;
    std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);

    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code != heif_error_Ok)
        return std::nullopt;
    std::unique_ptr<heif_image, ImageRelease> image(rawImage);

    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (pixels == nullptr || width <= 0 || height <= 0 || stride < width * 4)
        return std::nullopt;
    // A view of libheif's plane, copied by the scaling before the plane is released.
    const QImage view(pixels, width, height, stride, QImage::Format_RGBA8888);
    QImage fitted = fitWithin(view, target);
    if (fitted.constBits() == view.constBits())
        fitted = view.copy();
    return fitted;
}

}
