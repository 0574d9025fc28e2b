// Fuzzes a whole scan: every carver over one source, with small chunks and
// strides so that files and reads cross chunk ends. The scan must finish, and
// its report must be sound: files in ascending order of start, each of positive
// length inside the source, of an enabled category, with the head digest of its
// own bytes; the scanned bytes reach the end of the source; the report survives
// its JSON form. In files mode every copy holds exactly the file's bytes.
//
// Input: flags, chunk size, stride, categories, then the source's bytes.
//   flags & 1   files mode instead of catalog mode (with a stride of 512 or 1024)
//   flags & 2   the source claims 1 MiB more than it holds and ends early there
//   flags & 4   the source allows concurrent reads, so the engine reads ahead
//   flags & 8   reads past the bytes held throw DeviceError instead of ending early

#include "FuzzSource.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveError.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

const std::filesystem::path& outputFolder()
{
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "brightfold-fuzz-engine-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            propertyFailed("cannot make a temporary folder");
        return std::filesystem::path(pattern);
    }();
    return folder;
}

std::vector<uint8_t> readWhole(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    InputReader reader({ input, inputSize });
    const uint8_t flags = reader.u8();
    const int64_t chunkSize = 1 + reader.u16() % 8192;
    const uint16_t rawStride = reader.u16();
    const uint8_t categoryBits = reader.u8();
    const std::vector<uint8_t> data(reader.rest().begin(), reader.rest().end());
    const uint64_t n = data.size();
    const bool filesMode = flags & 1;
    // Copies are named by sector, so files mode keeps to whole-sector strides, as
    // the application does; catalog mode takes any stride.
    const int64_t stride = filesMode ? 512 * (1 + rawStride % 2) : 1 + rawStride % 1024;
    const uint64_t size = flags & 2 ? n + 0x100000 : n;

    CategorySet categories;
    for (size_t i = 0; i < kAllFormatCategories.size(); ++i) {
        if (categoryBits & (1u << i))
            categories.insert(kAllFormatCategories[i]);
    }

    const auto& folder = outputFolder();
    if (filesMode) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    const GapBehaviour gaps = flags & 8 ? GapBehaviour::throws : GapBehaviour::endsEarly;
    auto source = std::make_shared<LayoutSource>(size, std::vector<LayoutSource::Run> { { 0, n, data.data() } }, gaps, flags & 4);
    CarveEngine engine(source,
        { .outputDirectory = folder, .enabledCategories = categories,
            .output = filesMode ? CarveEngine::Config::OutputMode::files : CarveEngine::Config::OutputMode::catalog,
            .chunkSize = chunkSize, .stride = stride, .progressInterval = 0.0 });
    CarveReport report;
    try {
        report = engine.run();
    } catch (const CarveError& error) {
        if (size == 0 && error.kind() == CarveError::Kind::emptySource)
            return 0;
        throw;
    } catch (const DeviceError&) {
        // A chunk the source could not read ends the scan with its error; only a
        // source that throws past its bytes may do that.
        if (gaps != GapBehaviour::throws || size == n)
            propertyFailed("a chunk read failed on a source that cannot fail");
        return 0;
    }

    if (report.totalBytes != size || report.scannedBytes > size || report.cancelled)
        propertyFailed("the report's totals do not fit the source", report.totalBytes, report.scannedBytes);
    if (report.scannedBytes < n)
        propertyFailed("the scan stopped before the end of the bytes it could read", report.scannedBytes, n);
    for (size_t i = 0; i < report.files.size(); ++i) {
        const CarvedFile& file = report.files[i];
        if (i > 0 && file.start <= report.files[i - 1].start)
            propertyFailed("files out of order", report.files[i - 1].start, file.start);
        if (file.length == 0 || file.start >= size || file.length > size - file.start)
            propertyFailed("a file outside the source", file.start, file.length);
        if (file.start % static_cast<uint64_t>(stride) != 0)
            propertyFailed("a file off the stride grid", file.start, static_cast<uint64_t>(stride));
        if (!categories.contains(file.category))
            propertyFailed("a file of a category that was not enabled", file.start);
        if (file.start < n) {
            uint64_t headLength = std::min({ file.length, CarvedFile::kHeadDigestBytes, n - file.start });
            if (!file.headDigest || *file.headDigest != CarvedFile::headDigestOf(std::span(data).subspan(file.start, headLength)))
                propertyFailed("a head digest that is not that of the file's first bytes", file.start);
        }
        if (filesMode) {
            auto copy = readWhole(file.outputPath);
            uint64_t held = file.start < n ? std::min(file.length, n - file.start) : 0;
            if (copy.size() != held || !std::equal(copy.begin(), copy.end(), data.begin() + static_cast<std::ptrdiff_t>(file.start)))
                propertyFailed("a copy that does not hold the file's bytes", file.start, copy.size());
        }
    }
    if (!(CarveReport::fromJson(report.toJson()) == report))
        propertyFailed("the report changed on its way through its JSON form");
    return 0;
}
