#include "ThumbnailMessages.hpp"

#include <algorithm>

namespace brightfold {

namespace {

constexpr uint8_t kPathTag = 'Q';
constexpr uint8_t kBytesTag = 'B';
constexpr uint8_t kPieceTag = 'D';
constexpr uint8_t kEndTag = 'E';
constexpr uint8_t kNothingTag = 'N';
constexpr uint8_t kImageTag = 'I';
constexpr size_t kSidesBytes = 4;     // u16be width, u16be height
constexpr size_t kRequestHeadBytes = 1 + kSidesBytes + 2; // tag, sides, u16be enough side
constexpr size_t kExpectedBytes = 8;  // u64be byte count of a handed file

void appendBigEndian(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint64_t bigEndianAt(std::span<const uint8_t> bytes, size_t at, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[at + static_cast<size_t>(i)];
    return value;
}

uint16_t u16beAt(std::span<const uint8_t> bytes, size_t at) { return static_cast<uint16_t>(bigEndianAt(bytes, at, 2)); }

bool isValidSide(uint16_t side) { return side >= 1 && side <= thumbnail::kMaxSide; }

bool isValidExtension(const std::string& ext)
{
    return !ext.empty() && ext.size() <= thumbnail::kMaxExtensionBytes
        && std::all_of(ext.begin(), ext.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

}

bool ThumbnailRequest::isValid() const
{
    if (!isValidSide(maxWidth) || !isValidSide(maxHeight) || enoughSide > thumbnail::kMaxSide)
        return false;
    if (handsBytes())
        return isValidExtension(ext) && expectedBytes <= thumbnail::kMaxHandedBytes;
    return ext.empty() && expectedBytes == 0 && path.size() <= thumbnail::kMaxPathBytes
        && path.find('\0') == std::string::npos;
}

std::vector<uint8_t> encodeRequest(const ThumbnailRequest& request)
{
    std::vector<uint8_t> payload { request.handsBytes() ? kBytesTag : kPathTag };
    appendBigEndian(payload, request.maxWidth, 2);
    appendBigEndian(payload, request.maxHeight, 2);
    appendBigEndian(payload, request.enoughSide, 2);
    if (request.handsBytes()) {
        appendBigEndian(payload, request.expectedBytes, kExpectedBytes);
        payload.insert(payload.end(), request.ext.begin(), request.ext.end());
    } else {
        payload.insert(payload.end(), request.path.begin(), request.path.end());
    }
    return payload;
}

std::optional<ThumbnailRequest> decodeRequest(std::span<const uint8_t> payload)
{
    if (payload.size() < kRequestHeadBytes || (payload[0] != kPathTag && payload[0] != kBytesTag))
        return std::nullopt;
    ThumbnailRequest request;
    request.maxWidth = u16beAt(payload, 1);
    request.maxHeight = u16beAt(payload, 3);
    request.enoughSide = u16beAt(payload, 5);
    auto rest = payload.subspan(kRequestHeadBytes);
    if (payload[0] == kBytesTag) {
        if (rest.size() < kExpectedBytes)
            return std::nullopt;
        request.expectedBytes = bigEndianAt(rest, 0, kExpectedBytes);
        rest = rest.subspan(kExpectedBytes);
        request.ext.assign(rest.begin(), rest.end());
        if (request.ext.empty())
            return std::nullopt;
    } else {
        request.path.assign(rest.begin(), rest.end());
        if (request.path.empty())
            return std::nullopt;
    }
    if (!request.isValid())
        return std::nullopt;
    return request;
}

std::vector<uint8_t> encodeBytesPiece(std::span<const uint8_t> bytes)
{
    std::vector<uint8_t> payload;
    payload.reserve(1 + bytes.size());
    payload.push_back(kPieceTag);
    payload.insert(payload.end(), bytes.begin(), bytes.end());
    return payload;
}

std::vector<uint8_t> encodeBytesEnd()
{
    return { kEndTag };
}

RequestAssembler::Outcome RequestAssembler::take(std::span<const uint8_t> payload)
{
    auto broken = [this] {
        m_state = State::broken;
        clear();
        return Outcome::malformed;
    };
    if (m_state == State::broken || payload.empty())
        return broken();
    const uint8_t tag = payload[0];
    if (m_state == State::idle) {
        auto request = decodeRequest(payload);
        if (!request)
            return broken();
        m_request = std::move(*request);
        m_bytes.clear();
        if (!m_request.handsBytes())
            return Outcome::complete;
        m_bytes.reserve(m_request.expectedBytes);
        m_state = State::receiving;
        return Outcome::incomplete;
    }
    if (tag == kEndTag && payload.size() == 1) {
        m_state = State::idle;
        return Outcome::complete;
    }
    const auto piece = payload.subspan(1);
    if (tag != kPieceTag || piece.size() > thumbnail::kMaxPieceBytes || piece.size() > thumbnail::kMaxHandedBytes - m_bytes.size())
        return broken();
    m_bytes.insert(m_bytes.end(), piece.begin(), piece.end());
    return Outcome::incomplete;
}

void RequestAssembler::clear()
{
    m_bytes = {};
}

std::vector<uint8_t> encodeReply(const ThumbnailReply& reply)
{
    if (!reply.image)
        return { kNothingTag };
    std::vector<uint8_t> payload { kImageTag };
    payload.reserve(1 + kSidesBytes + reply.image->rgba.size());
    appendBigEndian(payload, reply.image->width, 2);
    appendBigEndian(payload, reply.image->height, 2);
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
