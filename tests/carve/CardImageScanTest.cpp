#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/export/CarveExporter.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

/// A real file from a real encoder, and what a scan must report for it: its extension and category,
/// whether its end is exact, and its length when that is not the file's size.
struct RealFile {
    std::filesystem::path path;
    std::string ext;
    FormatCategory category;
    CarveConfidence confidence { CarveConfidence::exact };
    uint64_t length { 0 };
};

/// Every file in tests/data (see the READMEs there) and two from the sample card.
std::vector<RealFile> projectFiles()
{
    using enum FormatCategory;
    const auto heuristic = CarveConfidence::heuristic;
    std::vector<RealFile> files { { "images/gradient.png", "png", photos }, { "images/palette.png", "png", photos }, { "images/gradient.gif", "gif", photos },
        { "images/animated.gif", "gif", photos }, { "images/v3.bmp", "bmp", photos }, { "images/v5.bmp", "bmp", photos }, { "images/os2.bmp", "bmp", photos },
        { "images/little-endian.tif", "tif", photos }, { "images/big-endian.tif", "tif", photos }, { "images/tiled.tif", "tif", photos }, { "card/tiny.arw", "arw", rawPhotos },
        { "images/tiny.heic", "heic", photos }, { "images/tiny.avif", "avif", photos }, { "images/tiny.mp4", "mp4", video }, { "images/fragmented.mp4", "mp4", video },
        { "images/tiny.mov", "mov", video }, { "images/tiny.3gp", "3gp", video }, { "images/tiny.m4a", "m4a", audio }, { "card/tiny.m4v", "m4v", video },
        { "audio/tone.wav", "wav", audio }, { "audio/tone.aiff", "aiff", audio }, { "audio/tone.mp3", "mp3", audio, heuristic }, { "audio/chirp.mp3", "mp3", audio, heuristic },
        { "documents/sample.pdf", "pdf", documents }, { "documents/sample.zip", "zip", archives }, { "documents/sample.docx", "docx", documents },
        { "documents/sample.xlsx", "xlsx", documents }, { "documents/sample.pptx", "pptx", documents }, { "documents/sample.epub", "epub", documents },
        { "documents/sample.odt", "odt", documents }, { "documents/sample.ods", "ods", documents }, { "documents/sample.odp", "odp", documents },
        { "archives/sample.7z", "7z", archives }, { "archives/sample.md.gz", "gz", archives }, { "archives/sample.tar.gz", "tar.gz", archives }, { "archives/two-members.gz", "gz", archives },
        { "documents/sample.doc", "doc", documents }, { "documents/sample.xls", "xls", documents }, { "documents/sample.ppt", "ppt", documents }, { "../../sample/files/IMG_0001.JPG", "jpg", photos }, { "../../sample/files/IMG_0005.JPG", "jpg", photos } };
    const std::vector<RealFile> media { { "media/tiny.ts", "ts", video }, { "media/tiny.mts", "mts", video }, { "media/tiny.mpg", "mpg", video },
        { "media/tiny.mkv", "mkv", video }, { "media/tiny.webm", "webm", video }, { "media/tiny.wmv", "wmv", video }, { "media/tiny.flv", "flv", video },
        { "media/tone.wma", "wma", audio }, { "media/tone.flac", "flac", audio }, { "media/tone.ogg", "ogg", audio }, { "media/tone.opus", "opus", audio },
        { "media/tone.aac", "aac", audio } };
    files.insert(files.end(), media.begin(), media.end());
    for (auto& file : files)
        file.path = dataFile(file.path);
    return files;
}

/// Real camera and phone files of kinds no Debian encoder writes, from the shared folder (the RW2
/// and MRW there, stripped of their raw data, run on past their ends and are left to their carvers' tests).
std::vector<RealFile> sampleFiles()
{
    using enum FormatCategory;
    // ExifTool's CR2 ends in the 18 bytes "Non-TIFF data test", appended after its last strip; the Canon DNG's zero pad byte after its last tile is its own.
    std::vector<RealFile> samples { { "exiftool_CanonRaw.cr2", "cr2", rawPhotos, CarveConfidence::exact, 18 }, { "exiftool_Nikon.nef", "nef", rawPhotos },
        { "exiftool_DNG.dng", "dng", rawPhotos }, { "photoprism_canon_eos_6d.dng", "dng", rawPhotos }, { "exiftool_CanonRaw.cr3", "cr3", rawPhotos },
        { "mei_iPhone8_IMG_1034.heic", "heic", photos }, { "mei_itunes.m4a", "m4a", audio }, { "mei_with-gps.mp4", "mp4", video }, { "mei_sample.3gp", "3gp", video },
        { "mei_Kodak_100_0306.avi", "avi", video }, { "mei_photo1.webp", "webp", photos }, { "mei_Canon_EOS_20D.jpg", "jpg", photos },
        // ExifTool appended data of its own after the CRW's heap and the PSD's image data.
        { "exiftool_FujiFilm.raf", "raf", rawPhotos }, { "exiftool_CanonRaw.crw", "crw", rawPhotos, CarveConfidence::exact, 560 }, { "exiftool_Sigma.x3f", "x3f", rawPhotos },
        { "exiftool_Photoshop.psd", "psd", photos, CarveConfidence::exact, 75 } };
    for (auto& sample : samples) {
        sample.path = samplesFolder() / sample.path;
        sample.length = std::filesystem::file_size(sample.path) - sample.length; // here: the bytes no structure reaches
    }
    return samples;
}

/// Scans `source` and checks that each file is listed at its start as expected, and that its saved copy is the file (or starts it, for an estimated end).
void expectFound(const std::shared_ptr<ByteSource>& source, const std::vector<RealFile>& files, const std::vector<uint64_t>& starts, const std::filesystem::path& work, int64_t chunkSize)
{
    auto report = CarveEngine(source, { work / "scan", { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::catalog, chunkSize, 512, 0 }).run();
    std::vector<CarvedFile> found;
    for (size_t i = 0; i < files.size(); ++i) {
        auto file = std::find_if(report.files.begin(), report.files.end(), [&](const CarvedFile& f) { return f.start == starts[i]; });
        ASSERT_NE(file, report.files.end()) << files[i].path;
        const uint64_t length = files[i].length ? files[i].length : std::filesystem::file_size(files[i].path);
        EXPECT_EQ(std::tuple(file->ext, file->category, file->confidence, file->length), std::tuple(files[i].ext, files[i].category, files[i].confidence, length)) << files[i].path;
        found.push_back(*file);
    }
    auto saved = CarveExporter().exportFiles(found, *source, work / "saved");
    ASSERT_EQ(saved.saved, found);
    for (size_t i = 0; i < found.size(); ++i) {
        auto copy = readWholeFile(work / "saved" / found[i].folderName() / found[i].fileName()), original = readWholeFile(files[i].path);
        EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + std::ptrdiff_t(std::min(copy.size(), original.size())), original.begin())) << files[i].path;
    }
}

/// Lays `files` end to end, each on a 512-byte boundary (the larger ones run across the
/// 1 MiB chunks' ends), and checks that a scan finds each with its end.
void expectFoundEndToEnd(const std::vector<RealFile>& files)
{
    ByteBuilder image;
    std::vector<uint64_t> starts;
    for (const auto& file : files)
        starts.push_back(image.padTo((image.size() + 4095) / 512 * 512).bytes(readWholeFile(file.path)).size() - std::filesystem::file_size(file.path));
    TemporaryFolder work;
    expectFound(sourceOf(image.build(), 600'000), files, starts, work.path(), 1024 * 1024);
}

TEST(CardImageScanTest, EveryRealFileLaidEndToEndIsFoundWithItsEnd)
{
    expectFoundEndToEnd(projectFiles());
}

TEST(CardImageScanTest, EveryCameraSampleLaidEndToEndIsFoundWithItsEnd)
{
    if (!std::filesystem::is_directory(samplesFolder()))
        SKIP_WITHOUT_CAPABILITY("the shared sample files are not in " << samplesFolder());
    expectFoundEndToEnd(sampleFiles());
}

}
}
