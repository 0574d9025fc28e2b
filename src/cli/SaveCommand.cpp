#include "cli/Commands.hpp"
#include "cli/ExitStatus.hpp"
#include "cli/InterruptWatcher.hpp"

#include "carve/export/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteCount.hpp"
#include "device/SaveDestination.hpp"
#include "device/SourceOpener.hpp"
#include "scan/ScanStore.hpp"

#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>

namespace brightfold::cli {

namespace {

struct SaveOptions {
    std::string report;
    std::string session;
    std::string source;
    std::string to;
    std::string types;
};

std::string describe(const CarvedFile& file)
{
    return fmt::format("{} (offset {}, {})", file.originalPath().value_or(file.fileName()), file.start, formatByteCount(file.length));
}

void printResult(const CarveExporter::Result& result, size_t asked)
{
    if (result.cancelled)
        fmt::print("Interrupted: saved {} of {} files to {}.\n", result.saved.size(), asked, result.folder.string());
    else
        fmt::print("Saved {} files to {}.\n", result.saved.size(), result.folder.string());
    if (!result.changed.empty()) {
        fmt::print("{} files were not saved because the source changed since the scan:\n", result.changed.size());
        for (const auto& file : result.changed)
            fmt::print("  {}\n", describe(file));
    }
    if (!result.failed.empty()) {
        fmt::print("{} files could not be saved:\n", result.failed.size());
        for (const auto& failure : result.failed)
            fmt::print("  {}: {}\n", describe(failure.file), failure.reason);
    }
    if (result.reportError)
        fmt::print(stderr, "brightfold: {} No report of the saved files was written.\n", result.reportError->what());
    else if (result.reportFile)
        fmt::print("Report: {}\n", result.reportFile->string());
}

/// The scanned source, reopened, and the report of what was found on it.
struct SaveInput {
    CarveReport report;
    std::string sourcePath;
    ByteSourcePtr source;
};

SaveInput fromReportFile(const SaveOptions& options)
{
    if (options.source.empty())
        throw CommandError("Name the scanned disk image or device with --source, or save a stored scan with --session ID.");
    SaveInput input;
    try {
        input.report = CarveReport::readFile(options.report);
    } catch (const ReportFormatError& error) {
        throw CommandError(std::string(error.what()) + " (" + options.report + ")");
    }
    input.sourcePath = options.source;
    input.source = SourceOpener::open(options.source);
    if (input.source->size() != input.report.totalBytes)
        fmt::print(stderr, "Warning: {} is {}, but the scanned source was {}. Files whose start changed are skipped.\n",
            options.source, formatByteCount(input.source->size()), formatByteCount(input.report.totalBytes));
    else
        input.source->avoid(input.report.unreadableAreas);
    return input;
}

/// A stored scan's source is found again as the application finds it: the same
/// card (even under another device name) or the same, unchanged image file.
SaveInput fromSession(const SaveOptions& options)
{
    if (!options.source.empty())
        throw CommandError("A stored scan knows its source: give --session without --source.");
    ScanSession session = ScanStore::find(options.session);
    SystemDeviceAccess devices;
    std::string path = session.sourcePath(devices, DiskImages::included);
    return SaveInput {
        .report = std::move(session.report),
        .sourcePath = std::move(path),
        .source = session.openSource(devices, DiskImages::included),
    };
}

int runSave(const SaveOptions& options)
{
    CategorySet categories = parseCategoryList(options.types);
    if (options.report.empty() == options.session.empty())
        throw CommandError("Name either a scan report or a stored scan with --session ID (brightfold sessions lists them).");
    SaveInput input = options.session.empty() ? fromReportFile(options) : fromSession(options);
    std::vector<CarvedFile> files;
    for (const auto& file : input.report.files) {
        if (categories.contains(file.category))
            files.push_back(file);
    }
    // Entries that could lead outside the destination are not saved; the rest are.
    for (const auto& refusal : input.report.refusals)
        fmt::print(stderr, "brightfold: {}\n", refusal.text);
    if (files.empty())
        throw CommandError("The report lists no files of the chosen types to save.");
    SaveDestination::check(input.sourcePath, options.to);
    ByteSource* source = input.source.get();

    bool live = ::isatty(STDERR_FILENO);
    CarveExporter::Progress progress;
    if (live)
        progress = [](int64_t done, int64_t total) { fmt::print(stderr, "\r\033[KSaving {} of {}", done, total); };
    CarveExporter::Result result;
    int signal = 0;
    try {
        InterruptWatcher interrupt;
        result = CarveExporter().exportFiles(files, *source, options.to, progress, [&interrupt] { return interrupt.interrupted(); });
        signal = interrupt.signal();
    } catch (const std::filesystem::filesystem_error& error) {
        throw CommandError("Cannot create output folder " + options.to + ": " + error.code().message() + ".");
    }
    if (live)
        fmt::print(stderr, "\n");
    printResult(result, files.size());
    if (result.cancelled && signal != 0)
        return exitStatusForSignal(signal);
    const bool refusedSome = std::any_of(input.report.refusals.begin(), input.report.refusals.end(),
        [](const ReportRefusal& refusal) { return refusal.kind == ReportRefusal::Kind::leftOut; });
    if (refusedSome && result.outcome() == ExportOutcome::complete)
        return kPartlyDone;
    return exitStatusFor(result.outcome());
}

}

std::function<int()> addSaveCommand(CLI::App& app)
{
    auto options = std::make_shared<SaveOptions>();
    auto* command = app.add_subcommand("save",
        "Save the files listed in a scan report, or found by a stored scan, from the scanned source; each is checked against a "
        "sample of what the scan saw (its first and last 4 KiB and 4 KiB at every MiB) before it is named");
    command->add_option("report", options->report, "The scan's brightfold-report.json");
    command->add_option("--session", options->session, "Save from a stored scan instead (its id, as brightfold sessions lists it)");
    command->add_option("--source", options->source, "The disk image or device that was scanned (with a report)");
    command->add_option("--to", options->to, "Folder to save into, on another disk than the source (a card is refused)")->required();
    command->add_option("--types", options->types, "Comma-separated categories to save (default: all)");
    return [options] { return runSave(*options); };
}

}
