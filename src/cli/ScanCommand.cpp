#include "cli/Commands.hpp"
#include "cli/ExitStatus.hpp"
#include "cli/InterruptWatcher.hpp"

#include "carve/FormatCatalogue.hpp"
#include "carve/export/FolderTimestamp.hpp"
#include "scan/ScanRunner.hpp"
#include "device/ByteCount.hpp"
#include "scan/ScanSessionError.hpp"
#include "scan/ScanStore.hpp"
#include "wording/Wording.hpp"

#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace brightfold::cli {

namespace {

struct ScanOptions {
    std::string source;
    std::string types;
    std::string out;
    bool copy { false };
    bool json { false };
    bool byFolder { false };
    bool unmount { false };
    bool store { false };
};

void printProgressLine(const CarveProgress& progress)
{
    if (progress.badAreaBytesLeft) {
        fmt::print(stderr, "\r\033[KReading the areas that failed again: {} left · {} files found", formatByteCount(*progress.badAreaBytesLeft),
            progress.filesFound);
        return;
    }
    double speed = progress.throughputBytesPerSec();
    std::string left = "";
    if (speed > 0 && progress.bytesScanned < progress.totalBytes)
        left = " · " + clockText(static_cast<double>(progress.totalBytes - progress.bytesScanned) / speed) + " left";
    fmt::print(stderr, "\r\033[KScanned {} of {} ({}%) · {}/s · {} found{}", formatByteCount(progress.bytesScanned),
        formatByteCount(progress.totalBytes), wholePercent(progress.bytesScanned, progress.totalBytes),
        formatByteCount(static_cast<uint64_t>(speed)), countText(progress.filesFound, "file"), left);
}

/// One row per file, named as its file system kept it ("DCIM/100CANON/IMG_0001.JPG")
/// or, when carving alone found it, by its sector ("f2048.jpg").
void printTable(const CarveReport& report)
{
    if (report.files.empty()) {
        fmt::print("No files found.\n");
        return;
    }
    constexpr size_t kWidestNameColumn = 60;
    size_t width = 22;
    for (const auto& file : report.files)
        width = std::max(width, std::min(kWidestNameColumn, file.originalPath().value_or(file.fileName()).size()));
    fmt::print("{:<{}} {:>15} {:>15}  {:<10} {}\n", "Name", width, "Offset", "Length", "Type", "Confidence");
    for (const auto& file : report.files)
        fmt::print("{:<{}} {:>15} {:>15}  {:<10} {}\n", file.originalPath().value_or(file.fileName()), width, file.start, file.length,
            rawValue(file.category), rawValue(file.confidence));
}

/// The areas of a failing card that could not be read, the first kAreasListed of them.
void printUnreadableAreas(const CarveReport& report)
{
    constexpr size_t kAreasListed = 20;
    const auto& areas = report.unreadableAreas;
    if (areas.empty())
        return;
    fmt::print(stderr, "Could not read {} in {} area{} (zero-filled; brightfold image copies the card and can try them longer):\n",
        formatByteCount(report.unreadableBytes()), areas.size(), areas.size() == 1 ? "" : "s");
    for (size_t i = 0; i < std::min(areas.size(), kAreasListed); ++i)
        fmt::print(stderr, "  {} bytes at offset {}\n", areas[i].length, areas[i].offset);
    if (areas.size() > kAreasListed)
        fmt::print(stderr, "  … and {} more, listed in the report.\n", areas.size() - kAreasListed);
}

std::filesystem::path outputFolder(const ScanOptions& options, const std::optional<ScanSession>& session)
{
    if (session)
        return ScanStore::folder(*session);
    if (!options.out.empty())
        return options.out;
    return std::filesystem::current_path() / ("Brightfold Scan " + folderTimestamp());
}

/// Stores the finished scan where the application lists it; false when it could not.
bool store(ScanSession started, CarveReport report)
{
    ScanSession session;
    try {
        session = ScanStore::saveFinished(std::move(started), std::move(report));
    } catch (const ScanSessionError& error) {
        fmt::print(stderr, "brightfold: {}\n", error.what());
        return false;
    }
    if (session.report.files.empty())
        fmt::print(stderr, "Stored as scan {}; stored scans that found nothing are not listed.\n", session.idText());
    else
        fmt::print(stderr, "Stored as scan {}: brightfold save --session {} --to FOLDER saves its files.\n", session.idText(), session.idText());
    return true;
}

/// The files under the folders their file system kept them in, each folder once,
/// then those carving alone found.
void printByFolder(const CarveReport& report)
{
    std::map<std::string, std::vector<const CarvedFile*>> byFolder;
    std::vector<const CarvedFile*> unnamed;
    for (const auto& file : report.files) {
        if (file.name)
            byFolder[file.folder.value_or("")].push_back(&file);
        else
            unnamed.push_back(&file);
    }
    auto row = [](const std::string& name, const CarvedFile& file) {
        fmt::print("  {:<34} {:>15}  {:<19}  {}{}\n", name, file.length, file.modified.value_or("-"), file.ext,
            file.runs ? fmt::format(" (in {} pieces)", file.runs->size()) : "");
    };
    for (const auto& [folder, files] : byFolder) {
        fmt::print("{}/\n", folder);
        for (const CarvedFile* file : files)
            row(*file->name, *file);
    }
    if (!unnamed.empty()) {
        fmt::print("{}\n", byFolder.empty() ? "Found by carving (no file system named them):" : "Found by carving alone:");
        for (const CarvedFile* file : unnamed)
            row(file->fileName(), *file);
    }
    if (report.files.empty())
        fmt::print("No files found.\n");
}

int runScan(const ScanOptions& options)
{
    SystemDeviceAccess devices;
    std::optional<ScanSession> session;
    if (options.store)
        session = ScanSession::forSource(options.source, devices);
    ScanRequest request {
        .sourcePath = options.source,
        .categories = parseCategoryList(options.types),
        .outputFolder = outputFolder(options, session),
        .folderRule = options.out.empty() && !session ? OutputFolderRule::freshFolder : OutputFolderRule::asGiven,
        .output = options.copy ? CarveEngine::Config::OutputMode::files : CarveEngine::Config::OutputMode::catalog,
        .unmount = options.unmount ? UnmountChoice::unmountFirst : UnmountChoice::leaveMounted,
    };
    ScanRunner scan(std::move(request), devices, [](const ScanNotice& notice) { fmt::print(stderr, "{}\n", notice.text); });
    CarveEngine& engine = scan.engine();
    bool live = ::isatty(STDERR_FILENO);
    if (live)
        engine.onProgress = printProgressLine;

    CarveReport report;
    int signal = 0;
    {
        InterruptWatcher interrupt([&engine] { engine.cancel(); });
        report = scan.run();
        signal = interrupt.signal();
    }
    if (live)
        fmt::print(stderr, "\n");

    if (options.json)
        fmt::print("{}", report.toJson());
    else if (options.byFolder)
        printByFolder(report);
    else
        printTable(report);

    std::string summary = fmt::format("{} files found in {} of {} scanned in {:.1f} s", report.files.size(),
        formatByteCount(report.scannedBytes), options.source, report.duration);
    if (report.badReads > 0)
        summary += fmt::format("; {} unreadable regions skipped and zero-filled", report.badReads);
    if (report.cancelled)
        summary += " (cancelled)";
    fmt::print(stderr, "{}.\n", summary);
    const auto& copyFailures = engine.copyFailures();
    for (const auto& failure : copyFailures)
        fmt::print(stderr, "Not copied: {} ({}): {}\n", failure.file.originalPath().value_or(failure.file.fileName()), failure.file.start,
            failure.reason);
    if (!copyFailures.empty())
        fmt::print(stderr, "{} of {} files could not be copied; the report lists them without a copy.\n", copyFailures.size(),
            report.files.size());
    if (auto healthy = engine.healthyPartSeconds())
        fmt::print(stderr, "Everything that reads at full speed was read after {:.1f} s; the rest went to the failing areas.\n", *healthy);
    printUnreadableAreas(report);
    if (const auto& failure = scan.reportWriteError())
        fmt::print(stderr, "brightfold: {} No report was written.\n", failure->what());
    else
        fmt::print(stderr, "Report: {}\n", scan.reportFile().string());
    bool stored = !session || store(std::move(*session), report);
    if (signal != 0)
        return exitStatusForSignal(signal);
    if (report.cancelled)
        return kInterrupted;
    return scan.reportWriteError() || !stored || !copyFailures.empty() ? kPartlyDone : kAllDone;
}

}

std::function<int()> addScanCommand(CLI::App& app)
{
    auto options = std::make_shared<ScanOptions>();
    auto* command = app.add_subcommand("scan", "Scan a disk image or card for recoverable files");
    command->add_option("source", options->source, "Disk image or device to scan (read-only)")->required();
    command->add_option("--types", options->types, "Comma-separated categories: " + FormatCatalogue::categoryChoices() + " (default: all)");
    command->add_option("--out", options->out, "Folder for the report, which must not hold one already (default: a new \"Brightfold Scan <time>\" folder here)");
    command->add_flag("--copy", options->copy,
        "Also copy every file found into the output folder, named as save names them (each written whole, checked, then named)");
    command->add_flag("--json", options->json, "Print the report as JSON instead of a table");
    command->add_flag("--by-folder", options->byFolder,
        "List the files under the folders and names a FAT or exFAT file system on the source kept for them (deleted files too), then those found by carving alone");
    command->add_flag("--unmount", options->unmount, "Unmount the card's volumes before scanning it (recommended)");
    command->add_flag("--store", options->store, "Keep the scan with the stored scans, where the application and brightfold sessions list it")
        ->excludes(command->get_option("--out"));
    return [options] { return runScan(*options); };
}

}
