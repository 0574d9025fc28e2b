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
