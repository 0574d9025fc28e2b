// Fuzzes what a report's path-bearing fields (extension, name, folder) can make a
// save do. The input's fields become a report's files; the report is decoded as a
// save decodes it, and its files are saved into a fresh folder. Whatever the
// fields hold, nothing may appear outside that folder, nothing there may be a
// hidden file or a link, and every file decoded must name a plain place.

#include "FuzzSource.hpp"

#include "carve/export/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "device/MemorySource.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxFiles = 4;
constexpr size_t kMaxFieldBytes = 64;
constexpr uint64_t kSourceBytes = 64 * 1024;

std::string field(InputReader& input)
{
    auto bytes = input.take(input.u8() % kMaxFieldBytes);
    return { bytes.begin(), bytes.end() };
}

/// A fresh working folder per run, holding the destination and nothing else.
const fs::path& workFolder()
{
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "brightfold-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return fs::path(pattern);
    }();
    return folder;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InputReader input({ data, size });
    nlohmann::json files = nlohmann::json::array();
    const size_t count = input.u8() % (kMaxFiles + 1);
    for (size_t i = 0; i < count; ++i) {
        nlohmann::json file { { "start", (input.u16() % (kSourceBytes / 512)) * 512 }, { "length", 1 + input.u16() % 4096 },
            { "category", "photos" }, { "confidence", "exact" }, { "outputPath", "" }, { "ext", field(input) } };
        const uint8_t present = input.u8();
        if (present & 1)
            file["name"] = field(input);
        if (present & 2)
            file["folder"] = field(input);
        files.push_back(file);
    }
    nlohmann::json root { { "badReads", 0 }, { "cancelled", false }, { "duration", 0 }, { "files", files }, { "scannedBytes", kSourceBytes },
        { "sourceDescription", "fuzz" }, { "totalBytes", kSourceBytes } };
    CarveReport report;
    try {
        report = CarveReport::fromJson(root.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const ReportFormatError&) {
        return 0;
    }
    for (const CarvedFile& file : report.files) {
        if (CarvedFile::extensionProblem(file.ext))
            propertyFailed("a file with an unusable extension was loaded");
        if (file.name && CarvedFile::pathComponentProblem(*file.name))
            propertyFailed("a file with an unusable name was loaded");
        for (const auto& component : CarveExporter::placeOf(file))
            if (component == ".." || component == "." || component.string().starts_with('.'))
                propertyFailed("a loaded file's place leaves its folder or hides");
    }

    const fs::path destination = workFolder() / "saved";
    fs::remove_all(destination);
    MemorySource source(std::vector<uint8_t>(kSourceBytes, 0x5A));
    (void)CarveExporter().exportFiles(report.files, source, destination);
    for (const auto& entry : fs::directory_iterator(workFolder())) {
        if (entry.path() != destination)
            propertyFailed("a save wrote outside its destination");
    }
    for (const auto& entry : fs::recursive_directory_iterator(destination)) {
        if (entry.is_symlink() || entry.path().filename().string().starts_with('.'))
            propertyFailed("a save left a link or a hidden file");
    }
    return 0;
}
