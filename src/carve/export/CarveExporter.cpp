#include "carve/export/CarveExporter.hpp"

#include "carve/CarveError.hpp"
#include "carve/PendingFile.hpp"
#include "carve/RangeCopier.hpp"
#include "carve/RunSource.hpp"
#include "carve/SampleDigests.hpp"
#include "device/ByteCount.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>

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
    bool destinationFault { false };
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

/// Where a file goes inside the destination: its folders, then its name.
struct Place {
    std::vector<std::string> folders;
    std::string name;
};

/// The folder of the file's kind and its sector name (JPG/f2048.jpg).
Place sectorPlace(const CarvedFile& file)
{
    return { { file.folderName() }, file.fileName() };
}

/// The file's original folders and name when it has them and each can be a name
/// on the user's disk; no value otherwise.
std::optional<Place> originalPlace(const CarvedFile& file)
{
    if (!file.name || CarvedFile::pathComponentProblem(*file.name))
        return std::nullopt;
    Place place { {}, *file.name };
    const std::string folders = file.folder.value_or("");
    std::string_view rest = folders;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (CarvedFile::pathComponentProblem(component))
            return std::nullopt;
        place.folders.emplace_back(component);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return place;
}

/// Whether the place's whole path would be longer than other programs can open.
bool tooLong(const fs::path& destination, const Place& place)
{
    size_t length = destination.string().size() + place.name.size() + 1;
    for (const auto& folder : place.folders)
        length += folder.size() + 1;
    return length >= PATH_MAX;
}

/// The modification time "YYYY-MM-DDTHH:MM:SS" in local time, or with
/// "+HH:MM"/"-HH:MM" at that offset from UTC; no value when it does not parse.
std::optional<std::time_t> parseModified(const std::optional<std::string>& modified)
{
    if (!modified)
        return std::nullopt;
    std::tm when {};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
    char sign = 0, tail = 0;
    const int fields = std::sscanf(modified->c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d%c", &year, &month, &day, &hour, &minute, &second,
        &sign, &zoneHours, &zoneMinutes, &tail);
    const bool zoned = fields == 9 && (sign == '+' || sign == '-');
    if (fields != 6 && !zoned)
        return std::nullopt;
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    std::time_t seconds = zoned ? ::timegm(&when) : std::mktime(&when);
    if (seconds == -1)
        return std::nullopt;
    if (zoned)
        seconds -= (sign == '-' ? -1 : 1) * (zoneHours * 3600 + zoneMinutes * 60);
    return seconds;
}

/// Whether every run of `file` lies inside a source of `size` bytes.
bool liesInside(const CarvedFile& file, uint64_t size)
{
    const auto pieces = file.pieces();
    return std::all_of(pieces.begin(), pieces.end(), [&](const SourceRun& run) { return run.offset < size && run.length <= size - run.offset; });
}

class FileExport {
public:
    /// `bytes` holds the file from `from` on: the source itself, or a view of the
    /// file's runs in order (from 0).
    FileExport(const CarvedFile& file, ByteSource& bytes, uint64_t from, std::vector<uint8_t>& buffer, const CarveExporter::CancelTest& isCancelled)
        : m_file(file), m_source(bytes), m_from(from), m_buffer(buffer), m_isCancelled(isCancelled) { }

    Outcome run(const WriteFolder& destination)
    {
        const int64_t unreadableBefore = m_source.badReads();
        if (auto problem = CarvedFile::extensionProblem(m_file.ext))
            return Failed { "It cannot be named: " + *problem + "." };
        try {
            if (m_file.headDigest) {
                auto head = m_source.read(m_from, static_cast<int64_t>(std::min(m_file.length, CarvedFile::kHeadDigestBytes)));
                if (m_source.badReads() != unreadableBefore)
                    return Failed { "Its first bytes could not be read from the source." };
                if (CarvedFile::headDigestOf(head) != *m_file.headDigest)
                    return Changed {};
            }
        } catch (const std::exception& error) {
            return Failed { error.what() };
        }
        // A file keeps its folders and name where they can be made; else it goes
        // into the folder of its kind under its sector name, as unnamed files do.
        std::optional<Place> original = originalPlace(m_file);
        if (original && !tooLong(destination.path(), *original)) {
            Outcome outcome = place(destination, *original, unreadableBefore);
            if (!m_foldersFailed)
                return outcome;
        }
        return place(destination, sectorPlace(m_file), unreadableBefore);
    }

private:
    /// Makes the place's folders beneath the destination and copies the file there.
    /// Folders made for a file that was not saved are removed again.
    Outcome place(const WriteFolder& destination, const Place& place, int64_t unreadableBefore)
    {
        m_foldersFailed = false;
        std::vector<std::pair<WriteFolder, std::string>> made; // each made folder, by its parent
        std::optional<WriteFolder> folder;
        Outcome outcome;
        try {
            folder = destination.duplicate();
            for (const auto& name : place.folders) {
                bool madeNow = false;
                WriteFolder next = folder->child(name, &madeNow);
                if (madeNow)
                    made.emplace_back(std::move(*folder), name);
                folder = std::move(next);
            }
        } catch (const std::system_error& error) {
            m_foldersFailed = true;
            outcome = Failed { "Could not create its folder in " + destination.path().string() + ": " + error.code().message() + ".", true };
        }
        if (!m_foldersFailed)
            outcome = copy(*folder, place.name, unreadableBefore);
        if (!std::holds_alternative<Saved>(outcome)) {
            for (auto it = made.rbegin(); it != made.rend(); ++it)
                it->first.removeEmptyChild(it->second);
        }
        return outcome;
    }

    Outcome copy(const WriteFolder& folder, const std::string& name, int64_t unreadableBefore)
    {
        try {
            PendingFile target(folder);
            std::optional<SampleDigests> samples;
            if (m_file.sampleDigests)
                samples.emplace(m_file.length);
            std::string head;
            bool interrupted = false;
            std::optional<std::string> readError;
            uint64_t copied = RangeCopier::copy(m_from, m_file.length,
                [&](uint64_t at, uint64_t count) -> std::span<const uint8_t> {
                    // Asked just before the file; then between its pieces.
                    if (at != m_from && m_isCancelled && m_isCancelled()) {
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
                    uint64_t offset = at - m_from;
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
            if (auto modified = parseModified(m_file.modified))
                target.setModified(*modified);
            return Saved { target.publishUnique(name) };
        } catch (const std::system_error& error) {
            return Failed { error.code().message(), true };
        }
    }

    const CarvedFile& m_file;
    ByteSource& m_source;
    uint64_t m_from;
    bool m_foldersFailed { false }; ///< the last place()'s folders could not be made
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
    Result result = copyFiles(files, source, folder, progress, isCancelled);
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

CarveExporter::Result CarveExporter::copyFiles(const std::vector<CarvedFile>& files, ByteSource& source,
    const std::filesystem::path& folder, const Progress& progress, const CancelTest& isCancelled) const
{
    if (::access(folder.c_str(), W_OK) != 0)
        throw CarveError::outputNotWritable(folder.string());
    WriteFolder destination = [&] {
        try {
            return WriteFolder::open(folder);
        } catch (const std::system_error&) {
            throw CarveError::outputNotWritable(folder.string());
        }
    }();

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
        Outcome outcome;
        if (!liesInside(file, source.size())) {
            // A report of a larger card, or a source that shrank: nothing to verify or copy.
            outcome = Failed { "It lies beyond the end of the source (" + formatByteCount(source.size())
                + "), which is not the one scanned or has shrunk." };
        } else if (file.runs) {
            // A non-owning handle: the view lives no longer than this call.
            RunSource view(ByteSourcePtr(ByteSourcePtr(), &source), *file.runs);
            outcome = FileExport(file, view, 0, buffer, isCancelled).run(destination);
        } else {
            outcome = FileExport(file, source, file.start, buffer, isCancelled).run(destination);
        }
        if (auto* saved = std::get_if<Saved>(&outcome)) {
            result.saved.push_back(file);
            result.savedPaths.push_back(saved->path);
        } else if (std::holds_alternative<Changed>(outcome)) {
            result.changed.push_back(file);
        } else if (auto* failed = std::get_if<Failed>(&outcome)) {
            result.failed.push_back({ file, failed->reason, failed->destinationFault });
        } else {
            result.cancelled = true;
        }
    }
    if (progress)
        progress(total, total);
    return result;
}

std::filesystem::path CarveExporter::placeOf(const CarvedFile& file)
{
    Place place = originalPlace(file).value_or(sectorPlace(file));
    fs::path path;
    for (const auto& folder : place.folders)
        path /= folder;
    return path / place.name;
}

std::filesystem::path CarveExporter::sectorPlaceOf(const CarvedFile& file)
{
    return fs::path(file.folderName()) / file.fileName();
}

std::filesystem::path CarveExporter::uniqueURL(const std::filesystem::path& location)
{
    return firstFreePath(location);
}

}
