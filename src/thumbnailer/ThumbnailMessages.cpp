#include "ThumbnailMessages.hpp"

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint8_t kRequestTag = 'Q';
constexpr uint8_t kNothingTag = 'N';
constexpr uint8_t kImageTag = 'I';
constexpr size_t kSidesBytes = 4; // u16be width, u16be height

void appendU16be(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

uint16_t u16beAt(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

bool isValidSide(uint16_t side) { return side >= 1 && side <= thumbnail::kMaxSide; }

}

bool ThumbnailRequest::isValid() const
{
    return isValidSide(maxWidth) && isValidSide(maxHeight) && !path.empty()
        && path.size() <= thumbnail::kMaxPathBytes && path.find('\0') == std::string::npos;
}

std::vector<uint8_t> encodeRequest(const ThumbnailRequest& request)
{
    std::vector<uint8_t> payload { kRequestTag };
    appendU16be(payload, request.maxWidth);
    appendU16be(payload, request.maxHeight);
    payload.insert(payload.end(), request.path.begin(), request.path.end());
    return payload;
}

std::optional<ThumbnailRequest> decodeRequest(std::span<const uint8_t> payload)
{
    if (payload.size() < 1 + kSidesBytes || payload[0] != kRequestTag)
        return std::nullopt;
    ThumbnailRequest request;
    request.maxWidth = u16beAt(payload, 1);
    request.maxHeight = u16beAt(payload, 3);
    auto path = payload.subspan(1 + kSidesBytes);
    request.path.assign(path.begin(), path.end());
    if (!request.isValid())
        return std::nullopt;
    return request;
}

std::vector<uint8_t> encodeReply(const ThumbnailReply& reply)
{
    if (!reply.image)
        return { kNothingTag };
    std::vector<uint8_t> payload { kImageTag };
    payload.reserve(1 + kSidesBytes + reply.image->rgba.size());
    appendU16be(payload, reply.image->width);
    appendU16be(payload, reply.image->height);
    payload.insert(payload.end(), reply.image->rgba.begin(), reply.image->rgba.end());
    return payload;
}

std::optional<ThumbnailReply> decodeReply(std::span<const uint8_t> payload, const ThumbnailRequest& request)
{
    if (payload.empty())
        return std::nullopt;
    if (payload[0] == kNothingTag)
        return payload.size() == 1 ? std::optional(ThumbnailReply {}) : std::nullopt;
    if (payload[0] != kImageTag || payload.size() < 1 + kSidesBytes)
        return std::nullopt;
    ThumbnailPixels image;
    image.width = u16beAt(payload, 1);
    image.height = u16beAt(payload, 3);
    if (image.width == 0 || image.height == 0 || image.width > request.maxWidth || image.height > request.maxHeight)
        return std::nullopt;
    auto pixels = payload.subspan(1 + kSidesBytes);
    if (pixels.size() != size_t { image.width } * image.height * 4)
        return std::nullopt;
    image.rgba.assign(pixels.begin(), pixels.end());
    return ThumbnailReply { std::move(image) };
}

}
