#include "TestSupport.hpp"

#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

TEST(ByteSourceTest, WhatCannotBeOpenedOrReadIsRefusedWithoutLeaks)
{
    TemporaryFolder folder;
    const std::string fifo = (folder.path() / "pipe").string(), missing = (folder.path() / "missing.img").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : { folder.path().string(), fifo, std::string("/dev/null"), missing }) { // /dev/null is opened, measured and refused
        const int before = openDescriptorCount();
        try {
            SourceOpener::open(path);
            ADD_FAILURE() << path << " was opened";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.what(), path == missing ? "Could not open " + path + ": No such file or directory" : path + " is not a readable file or device.");
        }
        EXPECT_EQ(openDescriptorCount(), before) << path;
    }
}

}
}
