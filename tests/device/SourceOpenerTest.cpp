#include "TestSupport.hpp"
#include "device/LoopDevice.hpp"

#include "device/BlockDeviceSource.hpp"
#include "device/DeviceError.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

TEST(SourceOpenerTest, DevicesOpenAsBlockDeviceSourcesUnderTheGivenPath)
{
    TemporaryFolder folder;
    std::ofstream(folder.path() / "card.img", std::ios::binary) << std::string(8192, 'c');
    auto loop = LoopDevice::attach(folder.path() / "card.img");
    if (!loop)
        GTEST_SKIP() << "losetup is not available or refused here (it needs root)";
    std::string link = (folder.path() / "card").string();
    ASSERT_EQ(::symlink(loop->path().c_str(), link.c_str()), 0);
    for (const std::string& path : { loop->path(), link }) {
        SCOPED_TRACE(path);
        int before = openDescriptorCount();
        {
            auto source = SourceOpener::open(path);
            ASSERT_NE(dynamic_cast<BlockDeviceSource*>(source.get()), nullptr);
            EXPECT_EQ(source->size(), 8192u);
            EXPECT_EQ(source->descriptionForReport(), path);
        }
        EXPECT_EQ(openDescriptorCount(), before) << "the device stayed open after its source was gone";
    }
}

TEST(SourceOpenerTest, WhatIsNeitherFileNorReadableDeviceIsRefused)
{
    TemporaryFolder folder;
    std::string fifo = (folder.path() / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // /dev/null is a character device without a size: it is opened, measured and refused.
    for (const std::string& path : { folder.path().string(), fifo, std::string("/dev/null") }) {
        SCOPED_TRACE(path);
        int before = openDescriptorCount();
        try {
            SourceOpener::open(path);
            ADD_FAILURE() << "opened";
        } catch (const DeviceError& error) {
            EXPECT_EQ(error.kind(), DeviceError::Kind::notAFileOrDevice);
            EXPECT_EQ(error.what(), path + " is not a readable file or device.");
        }
        EXPECT_EQ(openDescriptorCount(), before);
    }
}
