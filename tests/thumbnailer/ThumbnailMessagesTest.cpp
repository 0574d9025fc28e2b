#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

#include <gtest/gtest.h>

using namespace brightfold;

namespace {

ThumbnailRequest request(uint16_t side = 512) { return { "/tmp/f2048.jpg", side, side }; }

std::vector<uint8_t> imageReply(uint16_t width, uint16_t height)
{
    return encodeReply({ ThumbnailPixels { width, height, std::vector<uint8_t>(size_t { width } * height * 4, 7) } });
}

}

TEST(ThumbnailMessagesTest, FramesSplitAnywhereComeOutWhole)
{
    std::vector<uint8_t> stream = encodeFrame(encodeRequest(request()));
    const auto second = encodeFrame(encodeReply({}));
    stream.insert(stream.end(), second.begin(), second.end());
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        FrameReader reader(thumbnail::kMaxRequestPayloadBytes);
        std::vector<std::vector<uint8_t>> frames;
        reader.append(std::span(stream).first(cut));
        while (auto frame = reader.takeFrame())
            frames.push_back(*frame);
        reader.append(std::span(stream).subspan(cut));
        while (auto frame = reader.takeFrame())
            frames.push_back(*frame);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(decodeRequest(frames[0]), request());
        EXPECT_EQ(decodeReply(frames[1], request()), ThumbnailReply {});
        EXPECT_EQ(reader.bufferedBytes(), 0u);
    }
}

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

TEST(ThumbnailMessagesTest, RepliesOutsideTheRequestAreRefused)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
    };
    std::vector<uint8_t> shortPixels = imageReply(4, 4);
    shortPixels.pop_back();
    std::vector<uint8_t> longNothing = encodeReply({});
    longNothing.push_back(0);
    const std::vector<Case> cases {
        { "wider than asked", imageReply(513, 10) },
        { "taller than asked", imageReply(10, 513) },
        { "zero width", imageReply(0, 10) },
        { "pixels short of the sides", shortPixels },
        { "bytes after nothing", longNothing },
        { "unknown tag", { 'X' } },
        { "empty", {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(decodeReply(c.payload, request()));
    }
    const auto fits = decodeReply(imageReply(512, 3), request());
    ASSERT_TRUE(fits && fits->image);
    EXPECT_EQ(fits->image->width, 512);
}

TEST(ThumbnailMessagesTest, RequestsOutOfBoundsAreRefused)
{
    const std::vector<ThumbnailRequest> bad {
        { "", 512, 512 },
        { "/a.jpg", 0, 512 },
        { "/a.jpg", 512, thumbnail::kMaxSide + 1 },
        { std::string("/a\0.jpg", 7), 512, 512 },
        { std::string(thumbnail::kMaxPathBytes + 1, 'a'), 512, 512 },
    };
    for (const auto& r : bad) {
        SCOPED_TRACE(r.path.size());
        EXPECT_FALSE(decodeRequest(encodeRequest(r)));
    }
    EXPECT_FALSE(decodeRequest(std::vector<uint8_t> { 'Q', 0, 1 }));
}
