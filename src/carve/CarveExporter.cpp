#include "carve/CarveExporter.hpp"

#include "carve/CarveError.hpp"
#include "carve/PendingFile.hpp"
#include "carve/RangeCopier.hpp"
#include "carve/SampleDigests.hpp"
#include "device/ByteCount.hpp"

#include <unistd.h>

#include <algorithm>
#include <variant>

namespace brightfold {

namespace {

namespace fs = std::filesystem;

struct Saved {
    fs::path path;
};
struct Changed { };
struct Failed {
    std::string reason;
};
struct Interrupted { };
using Outcome = std::variant<Saved, Changed, Failed, Interrupted>;

/// Bytes read from the source that differ from the scan's digests are a changed
/// card, unless the source zero-filled unreadable blocks meanwhile: then they
/// could not be checked, which is a failure to read, not a change.
Outcome differs(ByteSource& source, int64_t unreadableBefore)
{
    if (source.badReads() != unreadableBefore)
        return Failed { "Part of it could not be read from the source, so it could not be checked against the scan." };
    return Changed {};
}

class FileExport {
public:
    FileExport(const CarvedFile& file, ByteSource& source, std::vector<uint8_t>& buffer, const CarveExporter::CancelTest& isCancelled)
        : m_file(file), m_source(source), m_buffer(buffer), m_isCancelled(isCancelled) { }

    Outcome run(const fs::path& folder)
    {
        const uint64_t size = m_source.size();
        // A range outside the source (a report of a larger card, or a source that
        // shrank) can be neither verified nor copied.
        if (m_file.start >= size || m_file.length > size - m_file.start)
            return Failed { "It lies beyond the end of the source (" + formatByteCount(size) + "), which is not the one scanned or has shrunk." };
        const int64_t unreadableBefore = m_source.badReads();
        try {
            if (m_file.headDigest) {
                auto head = m_source.read(m_file.start, static_cast<int64_t>(std::min(m_file.length, CarvedFile::kHeadDigestBytes)));
                if (m_source.badReads() != unreadableBefore)
                    return Failed { "Its first bytes could not be read from the source." };
                if (CarvedFile::headDigestOf(head) != *m_file.headDigest)
                    return Changed {};
            }
        } catch (const std::exception& error) {
            return Failed { error.what() };
        }
        return place(folder / m_file.folderName(), unreadableBefore);
    }

private:
    Outcome place(const fs::path& extFolder, int64_t unreadableBefore)
    {
        std::error_code error;
        bool madeFolder = fs::create_directories(extFolder, error);
        if (error)
            return Failed { "Could not create the folder " + extFolder.string() + ": " + error.message() + "." };
        Outcome outcome = copy(extFolder, unreadableBefore);
        // A folder made for a file that was not saved would be all it left behind.
        if (madeFolder && !std::holds_alternative<Saved>(outcome))
            fs::remove(extFolder, error);
        return outcome;
    }

    Outcome copy(const fs::path& extFolder, int64_t unreadableBefore)
    {
        try {
            PendingFile target(extFolder);
            std::optional<SampleDigests> samples;
            if (m_file.sampleDigests)
                samples.emplace(m_file.length);
            std::string head;
            bool interrupted = false;
            std::optional<std::string> readError;
            uint64_t copied = RangeCopier::copy(m_file.start, m_file.length,
                [&](uint64_t at, uint64_t count) -> std::span<const uint8_t> {
                    // Asked just before the file; then between its pieces.
                    if (at != m_file.start && m_isCancelled && m_isCancelled()) {
                        interrupted = true;
                        return {};
                    }
                    m_buffer.resize(static_cast<size_t>(count));
                    try {
                        return { m_buffer.data(), m_source.readInto(at, m_buffer) };
                    } catch (const std::exception& error) {
                        readError = error.what();
                        return {};
                    }
                },
                [&](uint64_t at, std::span<const uint8_t> piece) {
                    target.write(piece);
                    uint64_t offset = at - m_file.start;
                    if (offset == 0)
                        head = CarvedFile::headDigestOf(piece.first(std::min<size_t>(piece.size(), CarvedFile::kHeadDigestBytes)));
                    if (samples)
                        samples->add(offset, piece);
                });
            if (interrupted)
                return Interrupted {};
            if (readError)
                return Failed { *readError };
            if (copied != m_file.length)
                return Failed { "The source ended " + formatByteCount(copied) + " into it, before its end." };
            if ((m_file.headDigest && head != *m_file.headDigest) || (samples && samples->digests() != *m_file.sampleDigests))
                return differs(m_source, unreadableBefore);
            return Saved { target.publishUnique(extFolder / m_file.fileName()) };
        } catch (const std::system_error& error) {
            return Failed { error.code().message() };
        }
    }

    const CarvedFile& m_file;
    ByteSource& m_source;
    std::vector<uint8_t>& m_buffer;
    const CarveExporter::CancelTest& m_isCancelled;
};

}

ExportOutcome CarveExporter::Result::outcome() const
{
    if (cancelled)
        return ExportOutcome::cancelled;
    if (changed.empty() && failed.empty() && !reportError)
        return ExportOutcome::complete;
    return saved.empty() ? ExportOutcome::nothingSaved : ExportOutcome::partial;
}

std::vector<CarvedFile> CarveExporter::Result::failedFiles() const
{
    std::vector<CarvedFile> files;
    for (const auto& failure : failed)
        files.push_back(failure.file);
    return files;
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
    for (size_t index = 0; index < files.size() && !result.cancelled; ++index) {
        if (isCancelled && isCancelled()) {
            result.cancelled = true;
            break;
        }
        if (progress)
            progress(static_cast<int64_t>(index), total);
        const CarvedFile& file = files[index];
        Outcome outcome = FileExport(file, source, buffer, isCancelled).run(folder);
        if (auto* saved = std::get_if<Saved>(&outcome)) {
            result.saved.push_back(file);
            result.savedPaths.push_back(saved->path);
        } else if (std::holds_alternative<Changed>(outcome)) {
            result.changed.push_back(file);
        } else if (auto* failed = std::get_if<Failed>(&outcome)) {
            result.failed.push_back({ file, failed->reason });
        } else {
            result.cancelled = true;
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
    try {
        result.reportFile = report.writeFile(folder, ReportNaming::firstFree);
    } catch (const ReportWriteError& error) {
        result.reportError = error;
    }
    return result;
}

std::filesystem::path CarveExporter::uniqueURL(const std::filesystem::path& location)
{
    return firstFreePath(location);
}

}
