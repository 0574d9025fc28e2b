#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brightfold {

/// The messages between the application and `brightfold-thumbnailer`, each
/// carried in one frame (FrameReader.hpp). A request names a file on disk, or
/// hands the file's bytes over the pipe itself, so that a carved file never
/// passes through a temporary file; one reply answers each request.
///
/// Request payloads:
/// - 'Q', u16be largest width, u16be largest height, u16be enough side, then the
///   path of a file on disk in UTF-8 (the rest of the payload);
/// - 'B', u16be largest width, u16be largest height, u16be enough side, u64be
///   byte count expected, then the file's extension (the rest), followed by
///   frames of 'D' and up to kMaxPieceBytes of the file's bytes, and one frame of
///   'E' alone when the bytes are complete (fewer than expected is allowed: a
///   card may fail part-way).
/// "Enough side" is the longer side at which a picture the file embeds (a
/// HEIF thumbnail item, a camera's preview, a video's cover art) serves in
/// place of decoding the full picture.
/// Reply payload: 'N' alone for "no thumbnail", or 'I', u16be width, u16be
/// height, then width × height RGBA pixels, 4 bytes each, rows top to bottom.
/// Raw pixels rather than an encoded image: the application then runs no image
/// decoder at all on what comes back from the worker.
namespace thumbnail {

inline constexpr uint16_t kMaxSide = 2048;                // pixels, either side of a request
inline constexpr size_t kMaxPathBytes = 4096;
inline constexpr size_t kMaxExtensionBytes = 16;
inline constexpr uint32_t kMaxPieceBytes = 4'194'304;      // 4 MiB of a handed file per frame
inline constexpr uint64_t kMaxHandedBytes = 314'572'800;  // 300 MiB, the largest file previewed
inline constexpr uint32_t kMaxRequestPayloadBytes = 1 + kMaxPieceBytes;
inline constexpr uint32_t kMaxReplyPayloadBytes = 1 + 4 + uint32_t { kMaxSide } * kMaxSide * 4; // 16 MiB + 5

/// The worker's exit status when it has too little of its lifetime CPU time left
/// for another request. It leaves without reading the next request; whoever sent
/// one starts a fresh worker and sends it again.
inline constexpr int kExitRetired = 4;

}

/// One file to draw. Either `path` names a file on disk, or `ext` names the
/// kind of the bytes handed over after the request.
struct ThumbnailRequest {
    std::string path;
    std::string ext;
    uint16_t maxWidth { 0 };
    uint16_t maxHeight { 0 };
    uint16_t enoughSide { 0 };
    uint64_t expectedBytes { 0 }; // handed bytes only; a hint for the worker's buffer

    bool handsBytes() const { return path.empty(); }
    /// Sides in 1...kMaxSide, an enough side of at most kMaxSide; a path of
    /// 1...kMaxPathBytes bytes without NUL, or else an extension of
    /// 1...kMaxExtensionBytes lower-case letters and digits and an expected
    /// count of at most kMaxHandedBytes.
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
/// The payload carrying one piece (at most kMaxPieceBytes) of a handed file.
std::vector<uint8_t> encodeBytesPiece(std::span<const uint8_t> bytes);
/// The payload that ends a handed file.
std::vector<uint8_t> encodeBytesEnd();

/// The worker's side: puts request frames back together into whole requests.
/// A path request is whole at once; handed bytes are whole at their end frame.
/// Anything out of order, a piece too large, or more bytes than a handed file
/// may have is malformed, and the assembler takes nothing more afterwards.
class RequestAssembler {
public:
    enum class Outcome { incomplete, complete, malformed };

    Outcome take(std::span<const uint8_t> payload);
    /// Between requests: nothing of one received yet.
    bool isIdle() const { return m_state == State::idle; }
    /// The request completed by the last take(), and its handed bytes.
    const ThumbnailRequest& request() const { return m_request; }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    /// Frees the handed bytes before the next request.
    void clear();

private:
    enum class State { idle, receiving, broken };

    State m_state { State::idle };
    ThumbnailRequest m_request;
    std::vector<uint8_t> m_bytes;
};

/// The payload of a reply whose pixel count matches its sides.
std::vector<uint8_t> encodeReply(const ThumbnailReply& reply);
/// The reply in `payload` to `request`; nothing when it is malformed, when its
/// pixel bytes do not match its sides, or when the image exceeds the request's
/// sides or is empty.
std::optional<ThumbnailReply> decodeReply(std::span<const uint8_t> payload, const ThumbnailRequest& request);

}
