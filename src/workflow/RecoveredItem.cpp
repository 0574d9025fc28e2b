#include "workflow/RecoveredItem.hpp"

#include "carve/CarveReport.hpp"
#include "carve/FormatCatalogue.hpp"
#include "carve/export/CarveExporter.hpp"
#include "scan/ScanStore.hpp"
#include "workflow/PreviewMaker.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>

namespace brightfold {

namespace {

constexpr unsigned kSectorShift = 9; // 512-byte sectors

QString fromPath(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

/// A regular file found in a saved folder, or nothing for what the browser does not list.
std::optional<RecoveredItem> folderItem(const std::filesystem::directory_entry& entry)
{
    std::error_code error;
    // Links are not followed: the browser lists files, and trashing a link's
    // target would reach outside the folder.
    if (!entry.is_regular_file(error) || entry.is_symlink(error))
        return std::nullopt;
    const std::filesystem::path& path = entry.path();
    QString ext = fromPath(path.extension()).mid(1).toLower();
    if (ext == QLatin1String("json"))
        return std::nullopt;
    RecoveredItem item;
    item.id = fromPath(path);
    item.displayName = fromPath(path.filename());
    item.sector = RecoveredItem::sectorFromFileName(item.displayName);
    const uintmax_t size = entry.file_size(error);
    item.sizeBytes = error ? 0 : size;
    item.category = FormatCatalogue::categoryOfExtension(ext.toStdString());
    item.ext = std::move(ext);
    item.fileURL = item.id;
    return item;
}

}

uint64_t RecoveredItem::sectorFromFileName(const QString& fileName)
{
    // Everything before the first dot: a two-word extension ("f12.tar.gz") is the file's own.
    const std::string name = std::filesystem::path(fileName.toStdString()).filename().string();
    const std::string base = name.substr(0, name.find('.'));
    if (base.size() < 2 || base.front() != 'f')
        return 0;
    uint64_t sector = 0;
    const char* first = base.data() + 1;
    const char* last = base.data() + base.size();
    auto [end, error] = std::from_chars(first, last, sector);
    if (error != std::errc() || end != last)
        return 0;
    return sector;
}

std::vector<RecoveredItem> RecoveredItem::items(const ScanSession& session)
{
    std::vector<RecoveredItem> items;
    items.reserve(session.report.files.size());
    const QString sessionFolder = QString::fromStdString(ScanStore::folder(session).string());
    for (const CarvedFile& file : session.report.files) {
        RecoveredItem item;
        item.id = QString::number(file.start);
        // The name its file system kept, when one did; else its sector name.
        item.displayName = QString::fromStdString(file.name.value_or(file.fileName()));
        item.ext = QString::fromStdString(file.ext).toLower();
        item.sizeBytes = file.length;
        item.category = file.category;
        item.sector = file.start >> kSectorShift;
        if (auto preview = PreviewMaker::existingPreview(sessionFolder, file))
            item.previewURL = *preview;
        item.carved = file;
        items.push_back(std::move(item));
    }
    return items;
}

namespace {

/// Whether `name` is that of a report a save writes: brightfold-report.json, -1.json, …
bool isReportName(const std::string& name)
{
    constexpr std::string_view kStem = "brightfold-report", kExtension = ".json";
    if (!name.starts_with(kStem) || !name.ends_with(kExtension))
        return false;
    std::string_view middle = std::string_view(name).substr(kStem.size(), name.size() - kStem.size() - kExtension.size());
    if (middle.empty())
        return true;
    return middle.size() > 1 && middle.front() == '-' && std::all_of(middle.begin() + 1, middle.end(), [](char c) { return c >= '0' && c <= '9'; });
}

/// The reports a save wrote into `root`, side by side at its top.
std::vector<std::filesystem::path> reportsIn(const std::filesystem::path& root)
{
    std::vector<std::filesystem::path> reports;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        if (isReportName(entry.path().filename().string()) && entry.is_regular_file(error) && !entry.is_symlink(error))
            reports.push_back(entry.path());
    }
    return reports;
}

/// `relative` without the "-N" a save adds before the extension when a name is taken.
std::filesystem::path withoutNumber(const std::filesystem::path& relative)
{
    const std::string stem = relative.stem().string();
    const size_t dash = stem.rfind('-');
    if (dash == std::string::npos || dash + 1 == stem.size()
        || !std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(dash) + 1, stem.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return relative;
    return relative.parent_path() / (stem.substr(0, dash) + relative.extension().string());
}

}

bool RecoveredItem::isRecoveryFolder(const QString& folder)
{
    return !reportsIn(folder.toStdString()).empty();
}

std::vector<RecoveredItem> RecoveredItem::scanFolder(const QString& folder)
{
    std::vector<RecoveredItem> items;
    const std::filesystem::path root = folder.toStdString();
    std::set<std::filesystem::path> places;
    for (const auto& report : reportsIn(root)) {
        try {
            for (const CarvedFile& file : CarveReport::readFile(report).files) {
                places.insert(CarveExporter::placeOf(file));
                places.insert(CarveExporter::sectorPlaceOf(file));
            }
        } catch (const ReportFormatError&) {
            // A damaged report lists nothing.
        }
    }
    if (places.empty())
        return items;
    std::error_code error;
    std::filesystem::recursive_directory_iterator walk(folder.toStdString(),
        std::filesystem::directory_options::skip_permission_denied, error);
    const std::filesystem::recursive_directory_iterator end;
    // Folders that cannot be opened are passed over; a listing that breaks off
    // part-way keeps what it found.
    for (; !error && walk != end; walk.increment(error)) {
        const std::filesystem::path relative = walk->path().lexically_relative(root);
        if (!places.contains(relative) && !places.contains(withoutNumber(relative)))
            continue;
        if (auto item = folderItem(*walk))
            items.push_back(std::move(*item));
    }
    std::sort(items.begin(), items.end(), [](const RecoveredItem& a, const RecoveredItem& b) {
        if (a.sector != b.sector)
            return a.sector < b.sector;
        return a.id < b.id;
    });
    return items;
}

}
