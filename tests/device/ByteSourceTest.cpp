#include "TestSupport.hpp"

#include "device/ByteCount.hpp"
#include "device/DeviceError.hpp"
#include "device/FileSource.hpp"
#include "device/SourceOpener.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

std::vector<uint8_t> counting(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}

TEST(ByteSourceTest, ReadsAreClippedToTheEndForEverySource)
{
    TemporaryFolder folder;
    auto bytes = counting(1000);
    writeFile(folder.path() / "image.img", bytes);
    std::vector<ByteSourcePtr> sources { memorySource(bytes), std::make_shared<FileSource>((folder.path() / "image.img").string()) };
    for (auto& source : sources) {
        SCOPED_TRACE(source->descriptionForReport());
        EXPECT_EQ(source->size(), 1000u);
        EXPECT_TRUE(source->read(1000, 10).empty());
        EXPECT_TRUE(source->read(5000, 10).empty());
        EXPECT_TRUE(source->read(0, 0).empty());
        auto tail = source->read(997, 10);
        EXPECT_EQ(tail, std::vector<uint8_t>(bytes.end() - 3, bytes.end()));
        EXPECT_EQ(source->read(100, 4), std::vector<uint8_t>(bytes.begin() + 100, bytes.begin() + 104));
        EXPECT_EQ(source->badReads(), 0);
    }
}

TEST(ByteSourceTest, MemorySourceDescribesItsLength)
{
    EXPECT_EQ(MemorySource({}).descriptionForReport(), "memory(0 bytes)");
    EXPECT_EQ(MemorySource(std::vector<uint8_t>(4096)).descriptionForReport(), "memory(4096 bytes)");
    MemorySource empty({});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.read(0, 1).empty());
}

TEST(ByteSourceTest, FileSourceTruncatedAfterOpeningGivesShortReads)
{
    TemporaryFolder folder;
    auto path = folder.path() / "shrinking.img";
    writeFile(path, counting(8192));
    FileSource source(path.string());
    std::filesystem::resize_file(path, 5000);
    auto bytes = source.read(4096, 4096);
    EXPECT_EQ(bytes.size(), 904u);
    EXPECT_EQ(source.badReads(), 0);
    EXPECT_EQ(source.descriptionForReport(), path.string());
}

TEST(ByteSourceTest, MissingFileIsCannotOpenWithEnoent)
{
    try {
        FileSource source("/nonexistent/card.img");
        FAIL() << "opened a missing file";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.kind(), DeviceError::Kind::cannotOpen);
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_STREQ(error.what(), "Could not open /nonexistent/card.img: No such file or directory");
    }
}

TEST(ByteSourceTest, DeviceErrorTexts)
{
    EXPECT_STREQ(DeviceError::authorizationDenied("/dev/sdb").what(), "Authorization to read /dev/sdb was denied.");
    EXPECT_STREQ(DeviceError::notAFileOrDevice("/tmp").what(), "/tmp is not a readable file or device.");
    EXPECT_STREQ(DeviceError::readFailed(4096, EIO).what(), "Read failed at offset 4096: Input/output error");
}

TEST(SourceOpenerTest, OpensRegularFilesAndRefusesDirectories)
{
    TemporaryFolder folder;
    writeFile(folder.path() / "card.img", counting(512));
    EXPECT_EQ(SourceOpener::open((folder.path() / "card.img").string())->size(), 512u);
    try {
        SourceOpener::open(folder.path().string());
        FAIL() << "opened a directory";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.kind(), DeviceError::Kind::notAFileOrDevice);
        EXPECT_EQ(std::string(error.what()), folder.path().string() + " is not a readable file or device.");
    }
    try {
        SourceOpener::open((folder.path() / "missing.img").string());
        FAIL() << "opened a missing path";
    } catch (const DeviceError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
}

TEST(ByteCountTest, DecimalUnitsAsAFileManagerShowsThem)
{
    EXPECT_EQ(formatByteCount(0), "0 bytes");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(999), "999 bytes");
    EXPECT_EQ(formatByteCount(1000), "1 KB");
    EXPECT_EQ(formatByteCount(1'500'000), "1.5 MB");
    EXPECT_EQ(formatByteCount(999'960), "1 MB");
    EXPECT_EQ(formatByteCount(64'000'000'000), "64 GB");
    EXPECT_EQ(formatByteCount(1'000'204'886'016), "1 TB");
    EXPECT_EQ(formatByteCount(UINT64_MAX), "18.4 EB");
}
