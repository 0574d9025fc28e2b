#include "workflow/ScanStore.hpp"

#include "workflow/ScanSessionError.hpp"

#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace brightfold {

namespace {

Q_LOGGING_CATEGORY(storeLog, "brightfold.store")

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
    } catch (const ScanSessionError& failure) {
        qCWarning(storeLog) << "Skipping" << folder.c_str() << "-" << failure.what();
        return std::nullopt;
    }
}

}

std::filesystem::path ScanStore::root()
{
    std::filesystem::path data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    return data / "Brightfold Recover" / "Scans";
}

std::filesystem::path ScanStore::folder(const ScanSession& session)
{
    return root() / session.idText();
}

void ScanStore::save(const ScanSession& session)
{
    std::filesystem::path target = folder(session);
    std::error_code error;
    std::filesystem::create_directories(target, error);
    if (error)
        throw ScanSessionError::storeFailed(target.string(), error.message());
    std::string text = session.toJson();
    QSaveFile file(QString::fromStdString((target / kRecordName).string()));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())
        || !file.commit())
        throw ScanSessionError::storeFailed(target.string(), file.errorString().toStdString());
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
    QUuid id = QUuid::fromString(QString::fromStdString(idText));
    if (idText.size() != 36 || id.isNull())
        throw ScanSessionError::badRecord("\"" + idText + "\" is not the id of a stored scan; ids look like 0F6B2A5E-3C1D-4E8F-9A7B-112233445566.");
    std::filesystem::path folder = root() / id.toString(QUuid::WithoutBraces).toUpper().toStdString();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw ScanSessionError::badRecord("There is no stored scan with the id " + idText + " in " + root().string() + ".");
    return loadSession(folder);
}

void ScanStore::remove(const ScanSession& session)
{
    std::error_code ignored;
    std::filesystem::remove_all(folder(session), ignored);
}

}
