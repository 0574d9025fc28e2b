#include "carve/CarveExporter.hpp"

#include "carve/CarveError.hpp"
#include "carve/CarveReport.hpp"
#include "carve/RangeCopier.hpp"

#include <unistd.h>

#include <algorithm>

namespace brightfold {

namespace {

enum class Outcome { saved, changed, failed };

Outcome exportOne(const CarvedFile& file, ByteSource& source, const std::filesystem::path& folder, std::vector<uint8_t>& buffer)
{
    try {
        // A range outside the source (a report of a larger card, or a source that
        // shrank) can be neither verified nor copied.
        if (file.start >= source.size() || file.length > source.size() - file.start)
            return Outcome::failed;
        if (file.headDigest) {
            const int64_t unreadableBefore = source.badReads();
            auto head = source.read(file.start, static_cast<int64_t>(std::min(file.length, CarvedFile::kHeadDigestBytes)));
            // A head that came back partly as zeros for unreadable blocks was not
            // verified; the card need not have changed.
            if (source.badReads() != unreadableBefore)
                return Outcome::failed;
            if (CarvedFile::headDigestOf(head) != *file.headDigest)
                return Outcome::changed;
        }
        std::filesystem::path extFolder = folder / file.folderName();
        std::filesystem::create_directories(extFolder);
        std::filesystem::path target = CarveExporter::uniqueURL(extFolder / file.fileName());
        uint64_t copied = RangeCopier::copy(target, file.start, file.length, [&](uint64_t at, uint64_t count) {
            buffer.resize(static_cast<size_t>(count));
            return std::span<const uint8_t>(buffer.data(), source.readInto(at, buffer));
        });
        // A source that ends inside the range has shrunk or gone since the scan:
        // the copy is incomplete, so it is not reported as saved (it stays on disk).
        return copied == file.length ? Outcome::saved : Outcome::failed;
    } catch (const std::exception&) {
        return Outcome::failed;
    }
}

}

CarveExporter::Result CarveExporter::exportFiles(const std::vector<CarvedFile>& files, ByteSource& source,
    const std::filesystem::path& folder, const Progress& progress, const CancelTest& isCancelled) const
{
    std::filesystem::create_directories(folder);
    if (::access(folder.c_str(), W_OK) != 0)
        throw CarveError::outputNotWritable(folder.string());

    Result result;
    result.folder = folder;
    const auto total = static_cast<int64_t>(files.size());
    std::vector<uint8_t> buffer;
    buffer.reserve(RangeCopier::kPieceSize);
    for (size_t index = 0; index < files.size(); ++index) {
        if (isCancelled && isCancelled())
            break;
        if (progress)
            progress(static_cast<int64_t>(index), total);
        const CarvedFile& file = files[index];
        switch (exportOne(file, source, folder, buffer)) {
        case Outcome::saved:
            result.saved.push_back(file);
            break;
        case Outcome::changed:
            result.changed.push_back(file);
            break;
        case Outcome::failed:
            result.failed.push_back(file);
            break;
        }
    }
    if (progress)
        progress(total, total);

    CarveReport report;
    report.sourceDescription = source.descriptionForReport();
    report.totalBytes = source.size();
    report.scannedBytes = source.size();
    report.badReads = source.badReads();
    report.files = result.saved;
    report.writeFile(folder);
    return result;
}

std::filesystem::path CarveExporter::uniqueURL(const std::filesystem::path& location)
{
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(location, error)))
        return location;
    std::filesystem::path folder = location.parent_path();
    std::string base = location.stem().string();
    std::string extension = location.extension().string();
    for (uint64_t n = 1;; ++n) {
        auto candidate = folder / (base + "-" + std::to_string(n) + extension);
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, error)))
            return candidate;
    }
}

}
