#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brightfold {

/// The messages between the application and `brightfold-thumbnailer`, one of
/// each per file, each carried in one frame (FrameReader.hpp).
///
/// Request payload: 'Q', u16be largest width, u16be largest height, then the
/// file's path in UTF-8 (the rest of the payload).
/// Reply payload: 'N' alone for "no thumbnail", or 'I', u16be width, u16be
/// height, then width × height RGBA pixels, 4 bytes each, rows top to bottom.
/// Raw pixels rather than an encoded image: the application then runs no image
/// decoder at all on what comes back from the worker.
namespace thumbnail {

inline constexpr uint16_t kMaxSide = 2048;        // pixels, either side of a request
inline constexpr size_t kMaxPathBytes = 4096;
inline constexpr uint32_t kMaxRequestPayloadBytes = 1 + 4 + kMaxPathBytes;
inline constexpr uint32_t kMaxReplyPayloadBytes = 1 + 4 + uint32_t { kMaxSide } * kMaxSide * 4; // 16 MiB + 5

/// The worker's exit status when it has too little of its lifetime CPU time left
/// for another request. It leaves without reading the next request; whoever sent
/// one starts a fresh worker and sends it again.
inline constexpr int kExitRetired = 4;

}

struct ThumbnailRequest {
    std::string path;
    uint16_t maxWidth { 0 };
    uint16_t maxHeight { 0 };

    /// Sides in 1...kMaxSide, a path of 1...kMaxPathBytes bytes without NUL.
    bool isValid() const;
    bool operator==(const ThumbnailRequest&) const = default;
};

struct ThumbnailPixels {
    uint16_t width { 0 };
    uint16_t height { 0 };
    std::vector<uint8_t> rgba; // width × height × 4 bytes

    bool operator==(const ThumbnailPixels&) const = default;
};

struct ThumbnailReply {
    /// Nothing when the worker could not make a thumbnail of the file.
    std::optional<ThumbnailPixels> image;

    bool operator==(const ThumbnailReply&) const = default;
};

/// The payload of a valid request (the caller checks isValid() first).
std::vector<uint8_t> encodeRequest(const ThumbnailRequest& request);
/// The request in `payload`; nothing for anything malformed or out of bounds.
std::optional<ThumbnailRequest> decodeRequest(std::span<const uint8_t> payload);

/// The payload of a reply whose pixel count matches its sides.
std::vector<uint8_t> encodeReply(const ThumbnailReply& reply);
/// The reply in `payload` to `request`; nothing when it is malformed, when its
/// pixel bytes do not match its sides, or when the image exceeds the request's
/// sides or is empty.
std::optional<ThumbnailReply> decodeReply(std::span<const uint8_t> payload, const ThumbnailRequest& request);

}
