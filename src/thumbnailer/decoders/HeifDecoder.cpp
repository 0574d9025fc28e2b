#include "decoders/HeifDecoder.hpp"

#include <libheif/heif.h>

#include <memory>
#include <vector>

namespace brightfold {

namespace {

constexpr int kMaxThumbnailItems = 16; // a phone writes one; more are looked at no further

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
using HandlePtr = std::unique_ptr<heif_image_handle, HandleRelease>;

bool opened(heif_context* context, const ThumbnailInput& input)
{
    if (input.isOnDisk())
        return heif_context_read_from_file(context, input.path.toLocal8Bit().constData(), nullptr).code == heif_error_Ok;
    // The handed bytes outlive the context.
    return heif_context_read_from_memory_without_copy(context, input.bytes.constData(),
               static_cast<size_t>(input.bytes.size()), nullptr).code == heif_error_Ok;
}

/// The smallest thumbnail item of `primary` that serves as the preview; nothing
/// when it has none that does.
HandlePtr smallestServingThumbnail(heif_image_handle* primary, const DecodeTarget& target)
{
    const int count = std::min(heif_image_handle_get_number_of_thumbnails(primary), kMaxThumbnailItems);
    if (count <= 0)
        return nullptr;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
    HandlePtr best;
    long bestPixels = 0;
    for (int i = 0; i < listed; ++i) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_thumbnail(primary, ids[static_cast<size_t>(i)], &raw).code != heif_error_Ok)
            continue;
        HandlePtr thumbnail(raw);
        const QSize size(heif_image_handle_get_width(thumbnail.get()), heif_image_handle_get_height(thumbnail.get()));
        const long pixels = long { size.width() } * size.height();
        if (servesAsPreview(size, target) && (!best || pixels < bestPixels)) {
            best = std::move(thumbnail);
            bestPixels = pixels;
        }
    }
    return best;
}

std::optional<QImage> decoded(heif_image_handle* handle, QSize target)
{
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle, &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code != heif_error_Ok)
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

std::optional<QImage> HeifDecoder::decode(const ThumbnailInput& input, const DecodeTarget& target)
{
    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context || !opened(context.get(), input))
        return std::nullopt;
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return std::nullopt;
    HandlePtr primary(rawHandle);
    if (target.choice == PictureChoice::smallest) {
        if (HandlePtr thumbnail = smallestServingThumbnail(primary.get(), target)) {
            if (auto image = decoded(thumbnail.get(), target.size))
                return image;
        }
    }
    return decoded(primary.get(), target.size);
}

}
