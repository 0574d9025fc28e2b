#include "scan/ScanStore.hpp"

#include "scan/ScanSessionError.hpp"

#include "device/UniqueFd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace brightfold {

namespace {

// A record larger than this is not one of ours (a scan of a large card with
// 100,000 files makes about 25 MB).
constexpr std::uintmax_t kLargestRecordBytes = 512ull * 1024 * 1024;

ScanSession loadSession(const std::filesystem::path& folder)
{
    std::filesystem::path record = folder / ScanStore::kRecordName;
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(record, error);
    if (error || size > kLargestRecordBytes)
        throw ScanSessionError::badRecord("The stored scan has no readable " + std::string(ScanStore::kRecordName) + ".");
    std::ifstream in(record, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in)
        throw ScanSessionError::badRecord("The stored scan cannot be read.");
    ScanSession session = ScanSession::fromJson(text.str());
    if (session.idText() != folder.filename().string())
        throw ScanSessionError::badRecord("The stored scan belongs to another folder.");
    return session;
}

std::optional<ScanSession> readSession(const std::filesystem::path& folder)
{
    try {
        return loadSession(folder);
    } catch (const ScanSessionError&) {
        return std::nullopt;
    }
}

/// Writes all of `text` to `fd`, retrying interrupted and short writes; false with errno set on failure.
bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

/// `text` into `target` through a temporary file in the same folder, flushed to the
/// disk and renamed over the target, so that the target is either the old or the
/// new text, never half of one. Throws storeFailed with the system's reason.
void replaceFile(const std::filesystem::path& target, std::string_view text)
{
    std::string temporary = target.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    auto fail = [&](int error) {
        if (fd)
            ::unlink(temporary.c_str());
        throw ScanSessionError::storeFailed(target.parent_path().string(), std::strerror(error));
    };
    if (!fd)
        fail(errno);
    if (::fchmod(fd.get(), 0644) != 0 || !writeAll(fd.get(), text) || ::fsync(fd.get()) != 0)
        fail(errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        fail(errno);
}

/// The size and modification time (nanoseconds) that tie a summary to its record.
std::optional<std::pair<uint64_t, int64_t>> recordVersion(const std::filesystem::path& folder)
{
    std::error_code error;
    const std::filesystem::path record = folder / ScanStore::kRecordName;
    const uint64_t size = std::filesystem::file_size(record, error);
    if (error)
        return std::nullopt;
    const auto modified = std::filesystem::last_write_time(record, error);
    if (error)
        return std::nullopt;
    return std::pair { size, static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count()) };
}

/// The summary beside the record, tied to the record's version it was made from
/// (taken before the record was read, so a record replaced meanwhile makes it
/// stale); failures are ignored.
void writeSummary(const std::filesystem::path& folder, const ScanSummary& summary, std::optional<std::pair<uint64_t, int64_t>> version)
{
    if (!version)
        return;
    try {
        replaceFile(folder / ScanStore::kSummaryName, summary.toJson(version->first, version->second));
    } catch (const ScanSessionError&) {
        // A store that cannot be written to still lists: from the records.
    }
}

/// The folder's summary when it was made from the record as it is now, else one
/// made from the record (and stored); no value when the record cannot be used.
std::optional<ScanSummary> readSummary(const std::filesystem::path& folder)
{
    std::optional<std::pair<uint64_t, int64_t>> version = recordVersion(folder);
    if (!version)
        return std::nullopt;
    {
        std::ifstream in(folder / ScanStore::kSummaryName, std::ios::binary);
        std::ostringstream text;
        if (in && text << in.rdbuf()) {
            std::optional<ScanSummary> summary = ScanSummary::fromJson(text.str(), version->first, version->second);
            if (summary && summary->idText() == folder.filename().string())
                return summary;
        }
    }
    std::optional<ScanSession> session = readSession(folder);
    if (!session)
        return std::nullopt;
    ScanSummary summary = ScanSummary::of(*session);
    writeSummary(folder, summary, version);
    return summary;
}

}

std::filesystem::path ScanStore::root()
{
    // The XDG base directory rule: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path data;
    if (dataHome && dataHome[0] == '/') {
        data = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        data = std::filesystem::path(home ? home : "/") / ".local" / "share";
    }
    return data / "Brightfold Recover" / "Scans";
}

std::filesystem::path ScanStore::folder(const SessionId& id)
{
    return root() / id.text();
}

void ScanStore::save(const ScanSession& session)
{
    std::filesystem::path target = folder(session);
    std::error_code error;
    std::filesystem::create_directories(target, error);
    if (error)
        throw ScanSessionError::storeFailed(target.string(), error.message());
    replaceFile(target / kRecordName, session.toJson());
    writeSummary(target, ScanSummary::of(session), recordVersion(target));
}

std::vector<ScanSession> ScanStore::all()
{
    std::vector<ScanSession> sessions;
    std::error_code error;
    std::filesystem::directory_iterator entries(root(), error);
    if (error)
        return sessions;
    // Stepping with an error code: a folder that vanishes mid-listing ends the
    // listing instead of throwing.
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::error_code kindError;
        if (!entries->is_directory(kindError))
            continue;
        std::optional<ScanSession> session = readSession(entries->path());
        if (session && !session->report.files.empty())
            sessions.push_back(std::move(*session));
    }
    std::stable_sort(sessions.begin(), sessions.end(),
        [](const ScanSession& a, const ScanSession& b) { return a.createdAt > b.createdAt; });
    return sessions;
}

ScanSession ScanStore::find(const std::string& idText)
{
    // Parsed first, so that only a well-formed id ever becomes a path.
    std::optional<SessionId> id = SessionId::parse(idText);
    if (!id)
        throw ScanSessionError::badRecord("\"" + idText + "\" is not the id of a stored scan; ids look like 0F6B2A5E-3C1D-4E8F-9A7B-112233445566.");
    std::filesystem::path folder = root() / id->text();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw ScanSessionError::badRecord("There is no stored scan with the id " + idText + " in " + root().string() + ".");
    return loadSession(folder);
}

ScanSession ScanStore::saveFinished(ScanSession started, CarveReport report)
{
    started.createdAt = ScanSession::now();
    started.report = std::move(report);
    save(started);
    return started;
}

std::vector<ScanSummary> ScanStore::summaries()
{
    std::vector<ScanSummary> listed;
    std::error_code error;
    std::filesystem::directory_iterator entries(root(), error);
    if (error)
        return listed;
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::error_code kindError;
        if (!entries->is_directory(kindError))
            continue;
        std::optional<ScanSummary> summary = readSummary(entries->path());
        if (summary && summary->filesFound > 0)
            listed.push_back(std::move(*summary));
    }
    std::stable_sort(listed.begin(), listed.end(), [](const ScanSummary& a, const ScanSummary& b) { return a.createdAt > b.createdAt; });
    return listed;
}

void ScanStore::remove(const SessionId& id)
{
    std::error_code ignored;
    std::filesystem::remove_all(folder(id), ignored);
}

}
