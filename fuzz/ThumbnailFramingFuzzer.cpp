// Fuzzes the framing and messages between the application and its thumbnail
// worker, as either side reads them from a pipe: the stream arrives in pieces of
// a chosen size, each whole frame is decoded as a request and as a reply, and
//  - pieces of any size give the same frames as the whole stream at once,
//  - frames and messages that decode encode back to exactly the same bytes,
//  - a decoded reply never exceeds the request's sides.
//
// Input: piece size (u8, 0 means 1), largest width and height (u16 each), then the stream.

#include "FuzzSource.hpp"

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

Frames framesOf(std::span<const uint8_t> stream, size_t pieceBytes, size_t& consumed)
{
    FrameReader reader(thumbnail::kMaxReplyPayloadBytes);
    Frames frames;
    for (size_t at = 0; at < stream.size(); at += pieceBytes) {
        reader.append(stream.subspan(at, std::min(pieceBytes, stream.size() - at)));
        while (auto frame = reader.takeFrame())
            frames.push_back(std::move(*frame));
    }
    consumed = reader.isBroken() ? 0 : stream.size() - reader.bufferedBytes();
    return frames;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    InputReader fields(std::span(input, inputSize));
    const size_t pieceBytes = std::max<size_t>(fields.u8(), 1);
    ThumbnailRequest request;
    request.path = "/tmp/f0.jpg";
    request.maxWidth = fields.u16();
    request.maxHeight = fields.u16();
    const auto stream = fields.rest();

    size_t consumedInPieces = 0;
    size_t consumedWhole = 0;
    const Frames frames = framesOf(stream, pieceBytes, consumedInPieces);
    if (framesOf(stream, stream.size() + 1, consumedWhole) != frames || consumedWhole != consumedInPieces)
        propertyFailed("the stream gave other frames when it arrived in pieces");

    std::vector<uint8_t> again;
    for (const auto& payload : frames) {
        const auto frame = encodeFrame(payload);
        again.insert(again.end(), frame.begin(), frame.end());

        if (auto decoded = decodeRequest(payload); decoded && encodeRequest(*decoded) != payload)
            propertyFailed("a decoded request encodes to other bytes");
        if (!request.isValid())
            continue;
        auto reply = decodeReply(payload, request);
        if (!reply)
            continue;
        if (encodeReply(*reply) != payload)
            propertyFailed("a decoded reply encodes to other bytes");
        if (reply->image && (reply->image->width > request.maxWidth || reply->image->height > request.maxHeight))
            propertyFailed("a reply larger than its request was accepted");
    }
    if (consumedInPieces != 0 && !std::equal(again.begin(), again.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(again.size())))
        propertyFailed("the frames taken out are not the front of the stream");
    return 0;
}
