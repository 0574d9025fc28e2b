#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/ChildProcess.hpp"
#include "device/FileSource.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace brightfold::test {
namespace {

/// A real file from a real encoder (see the READMEs beside them), and what a scan must report for it.
struct RealFile {
    std::filesystem::path path;
    std::string ext;
    CarveConfidence confidence { CarveConfidence::exact };
    uint64_t length { 0 }; ///< the file's size unless given
};

/// "jpg" for a/b/IMG_0001.JPG.
std::string extOf(const std::filesystem::path& path)
{
    std::string ext = path.extension().string().substr(1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

/// Every real file, and the samples of kinds no Debian encoder writes when the shared folder is there.
std::vector<RealFile> realFiles()
{
    std::vector<RealFile> files;
    for (const char* name : { "images/gradient.png", "images/palette.png", "images/gradient.gif", "images/animated.gif", "images/v3.bmp", "images/v5.bmp",
             "images/os2.bmp", "images/little-endian.tif", "images/big-endian.tif", "images/tiled.tif", "card/tiny.arw", "images/tiny.heic", "images/tiny.avif",
             "images/tiny.mp4", "images/fragmented.mp4", "images/tiny.mov", "images/tiny.3gp", "images/tiny.m4a", "card/tiny.m4v", "audio/tone.wav",
             "audio/tone.aiff", "documents/sample.pdf", "documents/sample.zip", "documents/sample.docx", "documents/sample.xlsx", "documents/sample.pptx",
             "documents/sample.epub", "../../sample/files/IMG_0001.JPG", "../../sample/files/IMG_0005.JPG" })
        files.push_back({ dataFile(name), extOf(name) });
    // An MPEG audio file's end is where its frames end; a compound file's is estimated from its allocation table.
    for (auto [name, length] : { std::pair<const char*, uint64_t> { "audio/tone.mp3", 0 }, { "audio/chirp.mp3", 0 }, { "documents/sample.doc", 512 + 128 * 512 },
             { "documents/sample.xls", 512 + 128 * 512 }, { "documents/sample.ppt", 512 + 7 * 128 * 512 } })
        files.push_back({ dataFile(name), extOf(name), CarveConfidence::heuristic, length });
    if (samplesFolder().empty())
        return files;
    // ExifTool's CR2 ends in the 18 bytes "Non-TIFF data test", appended after its last strip; the Canon DNG in one zero byte after its last tile.
    for (auto [name, tail] : { std::pair<const char*, uint64_t> { "exiftool_CanonRaw.cr2", 18 }, { "exiftool_Nikon.nef", 0 }, { "exiftool_DNG.dng", 0 },
             { "photoprism_canon_eos_6d.dng", 1 }, { "exiftool_CanonRaw.cr3", 0 }, { "mei_iPhone8_IMG_1034.heic", 0 }, { "mei_itunes.m4a", 0 },
             { "mei_with-gps.mp4", 0 }, { "mei_sample.3gp", 0 }, { "mei_Kodak_100_0306.avi", 0 }, { "mei_photo1.webp", 0 }, { "mei_Canon_EOS_20D.jpg", 0 } })
        files.push_back({ samplesFolder() / name, extOf(name), CarveConfidence::exact, std::filesystem::file_size(samplesFolder() / name) - tail });
    return files;
}

/// Checks that the scan of `source` lists each file at its start with its extension, category and end, and that saved copies are the files.
void expectFound(const std::shared_ptr<ByteSource>& source, const std::vector<RealFile>& files, const std::vector<uint64_t>& starts, const std::filesystem::path& work, int64_t chunkSize)
{
    const std::map<std::string, FormatCategory> categories { { "cr2", FormatCategory::rawPhotos }, { "nef", FormatCategory::rawPhotos }, { "arw", FormatCategory::rawPhotos },
        { "dng", FormatCategory::rawPhotos }, { "cr3", FormatCategory::rawPhotos }, { "mp4", FormatCategory::video }, { "mov", FormatCategory::video },
        { "m4v", FormatCategory::video }, { "3gp", FormatCategory::video }, { "avi", FormatCategory::video }, { "m4a", FormatCategory::audio },
        { "wav", FormatCategory::audio }, { "aiff", FormatCategory::audio }, { "mp3", FormatCategory::audio }, { "zip", FormatCategory::archives } };
    CarveEngine engine(source, { work / "scan", { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::catalog, chunkSize, 512, 0 });
    auto report = engine.run();
    std::vector<CarvedFile> found;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].path.filename().string());
        auto file = std::find_if(report.files.begin(), report.files.end(), [&](const CarvedFile& f) { return f.start == starts[i]; });
        ASSERT_NE(file, report.files.end());
        const bool document = std::string("pdf docx xlsx pptx epub doc xls ppt").find(files[i].ext) != std::string::npos;
        EXPECT_EQ(file->ext, files[i].ext);
        EXPECT_EQ(file->category, categories.contains(file->ext) ? categories.at(file->ext) : document ? FormatCategory::documents : FormatCategory::photos);
        EXPECT_EQ(file->length, files[i].length ? files[i].length : std::filesystem::file_size(files[i].path));
        EXPECT_EQ(file->confidence, files[i].confidence);
        found.push_back(*file);
    }
    auto saved = CarveExporter().exportFiles(found, *source, work / "saved");
    ASSERT_EQ(saved.saved, found);
    for (size_t i = 0; i < found.size(); ++i) {
        auto copy = readWholeFile(work / "saved" / found[i].folderName() / found[i].fileName()), original = readWholeFile(files[i].path);
        const size_t common = std::min(copy.size(), original.size());
        EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + std::ptrdiff_t(common), original.begin())) << found[i].fileName() << " is not " << files[i].path;
    }
}

TEST(CardImageScanTest, EveryRealFileLaidEndToEndIsFoundWithItsEnd)
{
    // Each file starts on a 512-byte boundary; the larger ones run across the 1 MiB chunks' ends.
    auto files = realFiles();
    ByteBuilder image;
    std::vector<uint64_t> starts;
    for (const auto& file : files) {
        starts.push_back(image.padTo((image.size() + 4095) / 512 * 512).size());
        image.bytes(readWholeFile(file.path));
    }
    TemporaryFolder work;
    expectFound(memorySource(image.padTo(image.size() + 600'000).build()), files, starts, work.path(), 1024 * 1024);
}

// A card as a person leaves it: the real files copied onto a FAT32 file system, every
// other one deleted again; each is found at its first cluster.
TEST(CardImageScanTest, FilesOnAFat32CardAreFoundAtTheirClusters)
{
    auto run = [](std::vector<std::string> command) -> std::optional<std::string> {
        command.front() = ChildProcess::findProgram(command.front()).value_or(command.front());
        auto result = ChildProcess::run(command);
        return result && result->exitStatus == 0 ? std::optional(result->output) : std::nullopt;
    };
    if (!ChildProcess::findProgram("mkfs.vfat") || !ChildProcess::findProgram("mshowfat"))
        GTEST_SKIP() << "needs mkfs.vfat and mtools";
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    TemporaryFolder work;
    const std::string image = (work.path() / "card.img").string();
    writeWholeFile(image, {});
    std::filesystem::resize_file(image, 320ull * 1024 * 1024); // mtools refuses FAT32 on smaller images
    ASSERT_TRUE(run({ "mkfs.vfat", "-F", "32", image }));
    auto files = realFiles();
    std::vector<std::string> showFat { "mshowfat", "-i", image };
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(run({ "mcopy", "-i", image, files[i].path.string(), "::" + std::to_string(i) + "." + files[i].ext }));
        showFat.push_back("::" + std::to_string(i) + "." + files[i].ext);
    }
    auto chains = run(showFat); // "::/3.bmp <13-14>": one run of clusters, the file is not fragmented
    ASSERT_TRUE(chains);
    auto boot = FileSource(image).read(0, 512);
    auto u16 = [&](size_t at) { return uint64_t(boot[at]) | uint64_t(boot[at + 1]) << 8; };
    const uint64_t dataStart = (u16(14) + boot[16] * (u16(36) | u16(38) << 16)) * u16(11), cluster = boot[13] * u16(11);
    std::vector<uint64_t> starts(files.size());
    std::istringstream lines(*chains);
    for (std::string line; std::getline(lines, line);) {
        size_t name = line.find('/'), runs = line.rfind(" <");
        if (name == std::string::npos || runs == std::string::npos || line.find('<', runs + 2) != std::string::npos)
            continue;
        const size_t index = std::stoul(line.substr(name + 1));
        starts[index] = dataStart + (std::stoull(line.substr(runs + 2)) - 2) * cluster;
        if (index % 2 == 1) {
            ASSERT_TRUE(run({ "mdel", "-i", image, line.substr(0, runs) }));
        }
    }
    ASSERT_EQ(std::count(starts.begin(), starts.end(), 0), 0) << *chains;
    expectFound(std::make_shared<FileSource>(image), files, starts, work.path(), 16 * 1024 * 1024);
}

}
}
