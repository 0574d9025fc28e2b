#include "cli/Commands.hpp"
#include "cli/ExitStatus.hpp"
#include "cli/InterruptWatcher.hpp"

#include "carve/CarveExporter.hpp"
#include "carve/CarveReport.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteCount.hpp"
#include "device/SaveDestination.hpp"
#include "device/SourceOpener.hpp"

#include <fmt/core.h>
#include <unistd.h>

namespace brightfold::cli {

namespace {

struct SaveOptions {
    std::string report;
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
        fmt::print(stderr, "brightfold: {}\n", result.reportError->what());
    else if (result.reportFile)
        fmt::print("Report: {}\n", result.reportFile->string());
}

int runSave(const SaveOptions& options)
{
    CategorySet categories = parseCategoryList(options.types);
    CarveReport report;
    try {
        report = CarveReport::readFile(options.report);
    } catch (const ReportFormatError& error) {
        throw CommandError(std::string(error.what()) + " (" + options.report + ")");
    }
    std::vector<CarvedFile> files;
    for (const auto& file : report.files) {
        if (categories.contains(file.category))
            files.push_back(file);
    }
    if (files.empty())
        throw CommandError("The report lists no files of the chosen types to save.");

    SaveDestination::check(options.source, options.to);
    ByteSourcePtr source = SourceOpener::open(options.source);
    if (source->size() != report.totalBytes)
        fmt::print(stderr, "Warning: {} is {}, but the scanned source was {}. Files whose start changed are skipped.\n",
            options.source, formatByteCount(source->size()), formatByteCount(report.totalBytes));

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
    return exitStatusFor(result.outcome());
}

}

std::function<int()> addSaveCommand(CLI::App& app)
{
    auto options = std::make_shared<SaveOptions>();
    auto* command = app.add_subcommand("save", "Save the files listed in a scan report from the scanned source");
    command->add_option("report", options->report, "The scan's brightfold-report.json")->required();
    command->add_option("--source", options->source, "The disk image or device that was scanned")->required();
    command->add_option("--to", options->to, "Folder to save into, on another disk than the source (a card is refused)")->required();
    command->add_option("--types", options->types, "Comma-separated categories to save (default: all)");
    return [options] { return runSave(*options); };
}

}
