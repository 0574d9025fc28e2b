#include "FormatBuilders.hpp"
#include "carve/CarveEngine.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// One real file laid into the scanned image, and what the scan should report for it.
struct PlacedFile {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string ext;
    uint64_t expectedLength;
    uint64_t start { 0 };
};

std::vector<PlacedFile> realFiles()
{
    std::vector<PlacedFile> files;
    for (auto [name, ext] : std::initializer_list<std::pair<const char*, const char*>> {
             { "gradient.png", "png" }, { "palette.png", "png" }, { "gradient.gif", "gif" }, { "animated.gif", "gif" },
             { "v3.bmp", "bmp" }, { "v5.bmp", "bmp" }, { "os2.bmp", "bmp" }, { "little-endian.tif", "tif" },
             { "big-endian.tif", "tif" }, { "tiled.tif", "tif" }, { "tiny.heic", "heic" }, { "tiny.avif", "avif" },
             { "tiny.mp4", "mp4" }, { "fragmented.mp4", "mp4" }, { "tiny.mov", "mov" }, { "tiny.3gp", "3gp" }, { "tiny.m4a", "m4a" } }) {
        auto bytes = imageFile(name);
        files.push_back({ name, bytes, ext, bytes.size() });
    }
    if (samplesFolder().empty())
        return files;
    struct Sample {
        const char* name;
        const char* ext;
        uint64_t unreferencedTail; // trailing bytes no structure reaches (see the TIFF carver's tests)
    };
    for (auto [name, ext, tail] : std::initializer_list<Sample> {
             { "exiftool_CanonRaw.cr2", "cr2", 18 }, { "exiftool_Nikon.nef", "nef", 0 }, { "exiftool_DNG.dng", "dng", 0 },
             { "photoprism_canon_eos_6d.dng", "dng", 1 }, { "exiftool_CanonRaw.cr3", "cr3", 0 },
             { "mei_iPhone8_IMG_1034.heic", "heic", 0 }, { "mei_itunes.m4a", "m4a", 0 }, { "mei_with-gps.mp4", "mp4", 0 },
             { "mei_sample.3gp", "3gp", 0 } }) {
        auto bytes = readWholeFile(samplesFolder() / name);
        files.push_back({ name, bytes, ext, bytes.size() - tail });
    }
    return files;
}

TEST(ImageFormatsScanTest, ScanFindsEveryRealFileWithItsExactLength)
{
    // Each file starts on a 512-byte boundary, with at least one sector of zeros before the next,
    // and 1 MiB chunks, so the larger files run across chunk ends.
    auto files = realFiles();
    ByteBuilder image;
    image.fill(4096);
    for (auto& file : files) {
        ASSERT_FALSE(file.bytes.empty()) << file.name;
        file.start = image.size();
        image.bytes(file.bytes).fill(512);
        image.padTo((image.size() + 511) / 512 * 512);
    }
    image.fill(4096);

    TemporaryFolder folder;
    CarveEngine::Config config { folder.path() / "scan", { kAllFormatCategories.begin(), kAllFormatCategories.end() },
        CarveEngine::Config::OutputMode::catalog, 0x10'0000, 512, 0 };
    CarveEngine engine(memorySource(image.build()), config);
    CarveReport report = engine.run();

    ASSERT_EQ(report.files.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        const CarvedFile& found = report.files[i];
        EXPECT_EQ(found.start, files[i].start);
        EXPECT_EQ(found.length, files[i].expectedLength);
        EXPECT_EQ(found.ext, files[i].ext);
        EXPECT_EQ(found.confidence, CarveConfidence::exact);
    }
}

}
}
