#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "device/FileSource.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// One extension the scanner reports, with the category it must come with,
/// and the confidence where the format settles it whatever the file.
struct Kind {
    const char* ext;
    FormatCategory category;
    std::optional<CarveConfidence> confidence;
};

constexpr auto kExact = CarveConfidence::exact;
constexpr auto kHeuristic = CarveConfidence::heuristic;

const Kind kKinds[] = {
    { "jpg", FormatCategory::photos, {} },
    { "png", FormatCategory::photos, kExact },
    { "gif", FormatCategory::photos, kExact },
    { "bmp", FormatCategory::photos, kExact },
    { "tif", FormatCategory::photos, {} },
    { "cr2", FormatCategory::rawPhotos, {} },
    { "nef", FormatCategory::rawPhotos, {} },
    { "arw", FormatCategory::rawPhotos, {} },
    { "dng", FormatCategory::rawPhotos, {} },
    { "heic", FormatCategory::photos, {} },
    { "avif", FormatCategory::photos, {} },
    { "cr3", FormatCategory::rawPhotos, {} },
    { "mp4", FormatCategory::video, {} },
    { "mov", FormatCategory::video, {} },
    { "m4v", FormatCategory::video, {} },
    { "3gp", FormatCategory::video, {} },
    { "m4a", FormatCategory::audio, {} },
    { "wav", FormatCategory::audio, kExact },
    { "avi", FormatCategory::video, kExact },
    { "webp", FormatCategory::photos, kExact },
    { "aiff", FormatCategory::audio, kExact },
    { "mp3", FormatCategory::audio, kHeuristic },
    { "pdf", FormatCategory::documents, kExact },
    { "zip", FormatCategory::archives, kExact },
    { "docx", FormatCategory::documents, kExact },
    { "xlsx", FormatCategory::documents, kExact },
    { "pptx", FormatCategory::documents, kExact },
    { "epub", FormatCategory::documents, kExact },
    { "doc", FormatCategory::documents, kHeuristic },
    { "xls", FormatCategory::documents, kHeuristic },
    { "ppt", FormatCategory::documents, kHeuristic },
};

/// Real files that carry bytes after the end their own structure gives, which no
/// carver can know to belong to them: how many.
const std::map<std::string, size_t> kBytesAfterStructure {
    { "exiftool_CanonRaw.cr2", 18 }, // ExifTool's test file ends in the text "Non-TIFF data test"
};

std::filesystem::path dataFolder() { return BRIGHTFOLD_TEST_DATA_DIR; }

/// The folders searched for a real file of each extension, in order.
std::vector<std::filesystem::path> fileFolders()
{
    std::filesystem::path projectRoot = dataFolder().parent_path().parent_path();
    return { dataFolder() / "images", dataFolder() / "audio", dataFolder() / "documents", dataFolder() / "card",
        projectRoot / "sample" / "files", samplesFolder() };
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

/// The first file, by name, of the first folder that has one with this extension.
std::optional<std::filesystem::path> realFileWithExtension(const std::string& ext)
{
    for (const auto& folder : fileFolders()) {
        if (folder.empty() || !std::filesystem::is_directory(folder))
            continue;
        std::vector<std::filesystem::path> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.is_regular_file() && lowerCase(entry.path().extension().string()) == "." + ext)
                names.push_back(entry.path());
        }
        if (!names.empty())
            return *std::min_element(names.begin(), names.end());
    }
    return std::nullopt;
}

std::string shellQuoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

/// mkfs.vfat lives in sbin, which an ordinary user's PATH may lack.
const std::string kShellPrefix = "PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1; export PATH MTOOLS_SKIP_CHECK; ";

bool toolsPresent()
{
    return std::system((kShellPrefix + "(command -v mkfs.vfat && command -v mcopy && command -v mdel && command -v mmd && command -v mshowfat) >/dev/null 2>&1").c_str()) == 0;
}

/// Runs a shell command; its output, or no value when it failed.
std::optional<std::string> run(const std::string& command)
{
    FILE* pipe = ::popen((kShellPrefix + command + " 2>&1").c_str(), "r");
    if (!pipe)
        return std::nullopt;
    std::string output;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    return ::pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}

/// Where a file's first cluster lies in a FAT32 image: from the boot sector's
/// geometry (bytes per sector, sectors per cluster, reserved sectors, FATs, FAT size).
uint64_t clusterOffset(const std::vector<uint8_t>& bootSector, uint64_t cluster)
{
    auto u16 = [&](size_t at) { return uint64_t(bootSector[at]) | uint64_t(bootSector[at + 1]) << 8; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    uint64_t bytesPerSector = u16(11);
    uint64_t sectorsPerCluster = bootSector[13];
    uint64_t dataStart = (u16(14) + bootSector[16] * u32(36)) * bytesPerSector;
    return dataStart + (cluster - 2) * sectorsPerCluster * bytesPerSector;
}

struct PlacedFile {
    const Kind* kind;
    std::filesystem::path original;
    std::string cardPath;
    bool deleted;
    uint64_t offset { 0 };
};

std::string cardFolder(FormatCategory category)
{
    switch (category) {
    case FormatCategory::audio:
        return "/MUSIC";
    case FormatCategory::documents:
    case FormatCategory::archives:
        return "/DOCUMENTS";
    default:
        return "/DCIM/100BRGHT";
    }
}

}

// A card as a person leaves it: one real file of every kind the scanner knows,
// copied onto a FAT32 file system, every other one deleted again. The scan must
// list each at its first cluster with the right extension and category, and a
// saved copy of every exact one must be the original, byte for byte.
TEST(CardImageScanTest, FindsEveryKindOfFileOnAFat32CardAndSavesExactOnesByteIdentical)
{
    if (!toolsPresent())
        GTEST_SKIP() << "mkfs.vfat and mtools are needed to build the card image";
    if (samplesFolder().empty())
        GTEST_SKIP() << "the shared samples folder is absent";

    std::vector<PlacedFile> placed;
    std::vector<std::string> missing;
    for (const Kind& kind : kKinds) {
        auto original = realFileWithExtension(kind.ext);
        if (!original) {
            missing.push_back(kind.ext);
            continue;
        }
        std::string name = std::to_string(placed.size() + 10) + "_" + original->filename().string();
        placed.push_back({ &kind, *original, cardFolder(kind.category) + "/" + name, placed.size() % 2 == 1 });
    }
    EXPECT_TRUE(missing.empty()) << "no real file for: " << testing::PrintToString(missing);

    // mtools refuses FAT32 on small images; a sparse file of 320 MiB costs nothing.
    TemporaryFolder work;
    std::string image = (work.path() / "card.img").string();
    std::ofstream(image).close();
    std::filesystem::resize_file(image, 320ull * 1024 * 1024);
    ASSERT_TRUE(run("mkfs.vfat -F 32 -n BRIGHTFOLD " + shellQuoted(image)));
    ASSERT_TRUE(run("mmd -i " + shellQuoted(image) + " ::/DCIM ::/DCIM/100BRGHT ::/MUSIC ::/DOCUMENTS"));
    std::string showFat = "mshowfat -i " + shellQuoted(image);
    for (const auto& file : placed) {
        ASSERT_TRUE(run("mcopy -i " + shellQuoted(image) + " " + shellQuoted(file.original.string()) + " " + shellQuoted("::" + file.cardPath)));
        showFat += " " + shellQuoted("::" + file.cardPath);
    }

    // Where each file landed, read from its cluster chain before any is deleted.
    auto chains = run(showFat);
    ASSERT_TRUE(chains);
    std::map<std::string, uint64_t> firstClusters;
    std::istringstream lines(*chains);
    for (std::string line; std::getline(lines, line);) {
        // "::/MUSIC/20_tone.wav <13-14>": one run of clusters, the file is not fragmented.
        size_t runs = line.rfind(" <");
        if (!line.starts_with("::") || runs == std::string::npos || line.find('<', runs + 2) != std::string::npos)
            continue;
        firstClusters[line.substr(2, runs - 2)] = std::stoull(line.substr(runs + 2));
    }
    {
        auto source = std::make_shared<FileSource>(image);
        auto bootSector = source->read(0, 512);
        for (auto& file : placed) {
            SCOPED_TRACE(file.cardPath);
            ASSERT_TRUE(firstClusters.contains(file.cardPath)) << *chains;
            file.offset = clusterOffset(bootSector, firstClusters[file.cardPath]);
            auto bytes = readWholeFile(file.original);
            ASSERT_EQ(source->read(file.offset, int64_t(bytes.size())), bytes);
        }
    }
    for (const auto& file : placed) {
        if (file.deleted) {
            ASSERT_TRUE(run("mdel -i " + shellQuoted(image) + " " + shellQuoted("::" + file.cardPath)));
        }
    }

    auto source = std::make_shared<FileSource>(image);
    CategorySet everything(kAllFormatCategories.begin(), kAllFormatCategories.end());
    CarveEngine engine(source, { work.path() / "scan", everything, CarveEngine::Config::OutputMode::catalog, 16 * 1024 * 1024, 512, 0.3 });
    CarveReport report = engine.run();

    std::vector<CarvedFile> found;
    std::map<uint64_t, const PlacedFile*> byStart;
    for (const auto& file : placed) {
        SCOPED_TRACE(file.cardPath);
        auto carved = std::find_if(report.files.begin(), report.files.end(), [&](const CarvedFile& c) { return c.start == file.offset; });
        if (carved == report.files.end()) {
            ADD_FAILURE() << file.kind->ext << ": nothing found at " << file.offset;
            continue;
        }
        EXPECT_EQ(carved->ext, file.kind->ext);
        EXPECT_EQ(carved->category, file.kind->category);
        if (file.kind->confidence) {
            EXPECT_EQ(carved->confidence, *file.kind->confidence);
        }
        found.push_back(*carved);
        byStart[carved->start] = &file;
    }

    auto saved = CarveExporter().exportFiles(found, *source, work.path() / "saved");
    EXPECT_EQ(saved.saved.size(), found.size());
    for (const auto& carved : saved.saved) {
        const PlacedFile& file = *byStart.at(carved.start);
        SCOPED_TRACE(file.cardPath);
        std::string folder = carved.ext;
        std::transform(folder.begin(), folder.end(), folder.begin(), [](unsigned char c) { return std::toupper(c); });
        auto copy = readWholeFile(work.path() / "saved" / folder / carved.fileName());
        auto original = readWholeFile(file.original);
        if (auto extra = kBytesAfterStructure.find(file.original.filename().string()); extra != kBytesAfterStructure.end())
            original.resize(original.size() - std::min(extra->second, original.size()));
        if (carved.confidence == CarveConfidence::exact) {
            EXPECT_TRUE(copy == original) << carved.ext << ": copy of " << copy.size() << " bytes, original of " << original.size();
        } else {
            // An estimated end may fall short of the file or run past it; what is there must be the file.
            size_t common = std::min(copy.size(), original.size());
            EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + std::ptrdiff_t(common), original.begin()))
                << carved.ext << ": the copy's first " << common << " bytes differ from the original";
        }
    }
}
