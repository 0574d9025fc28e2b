#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

#include <gtest/gtest.h>

using namespace brightfold;

// A garbage length must not make the reader wait for (and buffer) gigabytes.
TEST(ThumbnailMessagesTest, LengthOverTheLimitBreaksTheStream)
{
    FrameReader reader(100);
    reader.append(std::vector<uint8_t> { 0, 0, 0, 101, 1, 2, 3 });
    EXPECT_FALSE(reader.takeFrame());
    EXPECT_TRUE(reader.isBroken());
    reader.append(encodeFrame(std::vector<uint8_t>(5)));
    EXPECT_FALSE(reader.takeFrame());
}

namespace {

ThumbnailRequest handedRequest(uint64_t expected = 10)
{
    ThumbnailRequest request;
    request.ext = "heic";
    request.maxWidth = 512;
    request.maxHeight = 512;
    request.enoughSide = 300;
    request.expectedBytes = expected;
    return request;
}

std::vector<uint8_t> piece(size_t count, uint8_t value = 7)
{
    return encodeBytesPiece(std::vector<uint8_t>(count, value));
}

}

TEST(ThumbnailMessagesTest, RequestsSurviveTheRoundTrip)
{
    ThumbnailRequest byPath;
    byPath.path = "/home/ann/Saved/JPG/f2048.jpg";
    byPath.maxWidth = 300;
    byPath.maxHeight = 200;
    for (const ThumbnailRequest& request : { byPath, handedRequest(), handedRequest(thumbnail::kMaxHandedBytes) }) {
        SCOPED_TRACE(request.path + request.ext);
        ASSERT_TRUE(request.isValid());
        EXPECT_EQ(decodeRequest(encodeRequest(request)), request);
    }
}

TEST(ThumbnailMessagesTest, InvalidRequestsAreRefused)
{
    auto with = [](auto change) {
        ThumbnailRequest request = handedRequest();
        change(request);
        return request;
    };
    const ThumbnailRequest cases[] = {
        with([](ThumbnailRequest& r) { r.ext = "HEIC"; }),
        with([](ThumbnailRequest& r) { r.ext = "../x"; }),
        with([](ThumbnailRequest& r) { r.ext = std::string(thumbnail::kMaxExtensionBytes + 1, 'a'); }),
        with([](ThumbnailRequest& r) { r.expectedBytes = thumbnail::kMaxHandedBytes + 1; }),
        with([](ThumbnailRequest& r) { r.enoughSide = thumbnail::kMaxSide + 1; }),
        with([](ThumbnailRequest& r) { r.maxWidth = 0; }),
        with([](ThumbnailRequest& r) { r.path = "/a.jpg"; }), // a path and an extension at once
    };
    for (const ThumbnailRequest& request : cases) {
        SCOPED_TRACE(request.ext);
        EXPECT_FALSE(request.isValid());
        if (request.handsBytes()) { // a path request's encoding carries no extension
            EXPECT_FALSE(decodeRequest(encodeRequest(request)));
        }
    }
}

TEST(ThumbnailMessagesTest, HandedBytesAreWholeAtTheirEndFrame)
{
    RequestAssembler requests;
    EXPECT_EQ(requests.take(encodeRequest(handedRequest())), RequestAssembler::Outcome::incomplete);
    EXPECT_EQ(requests.take(piece(3, 1)), RequestAssembler::Outcome::incomplete);
    EXPECT_EQ(requests.take(piece(2, 2)), RequestAssembler::Outcome::incomplete);
    EXPECT_EQ(requests.take(encodeBytesEnd()), RequestAssembler::Outcome::complete);
    EXPECT_EQ(requests.request(), handedRequest());
    EXPECT_EQ(requests.bytes(), (std::vector<uint8_t> { 1, 1, 1, 2, 2 }));

    // The next request starts afresh, and a path request is whole at once.
    requests.clear();
    ThumbnailRequest byPath;
    byPath.path = "/x.jpg";
    byPath.maxWidth = byPath.maxHeight = 64;
    EXPECT_EQ(requests.take(encodeRequest(byPath)), RequestAssembler::Outcome::complete);
    EXPECT_TRUE(requests.bytes().empty());
}

// A worker fed frames out of order must stop rather than guess.
TEST(ThumbnailMessagesTest, FramesOutOfOrderAreMalformed)
{
    const std::vector<uint8_t> begin = encodeRequest(handedRequest());
    const std::vector<std::vector<std::vector<uint8_t>>> cases {
        { piece(1) },                              // bytes without a request
        { encodeBytesEnd() },                      // an end without a request
        { begin, begin },                          // a request inside another
        { begin, { 'D' + 1, 0 } },                 // an unknown tag
        { begin, {} },                             // an empty frame
        { begin, { 'E', 0 } },                     // an end frame with a body
        { begin, piece(thumbnail::kMaxPieceBytes + 1) },
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        RequestAssembler requests;
        RequestAssembler::Outcome last = RequestAssembler::Outcome::incomplete;
        for (const auto& frame : cases[i])
            last = requests.take(frame);
        EXPECT_EQ(last, RequestAssembler::Outcome::malformed);
        // Broken for good.
        EXPECT_EQ(requests.take(begin), RequestAssembler::Outcome::malformed);
    }
}
