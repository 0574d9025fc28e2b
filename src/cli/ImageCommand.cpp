#include "cli/Commands.hpp"
#include "cli/ExitStatus.hpp"
#include "cli/InterruptWatcher.hpp"

#include "device/ByteCount.hpp"
#include "carve/export/ImageCopier.hpp"

#include <fmt/core.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace brightfold::cli {

namespace {

// Unreadable areas listed at the end, at most; the map holds them all.
constexpr size_t kAreasListed = 20;

struct ImageOptions {
    std::string source;
    std::string image;
    std::optional<double> badAreaSeconds;
    int tries { 3 };
};

std::string_view passName(RescuePass pass)
{
    switch (pass) {
    case RescuePass::copying:
        return "copying";
    case RescuePass::trimming:
        return "trimming bad areas";
    case RescuePass::scraping:
        return "scraping bad areas";
    }
    return "";
}

void printProgress(const ImageProgress& progress)
{
    fmt::print(stderr, "\r\033[KRead {} of {} · unreadable so far {} · {} · {}/s · {} failed reads", formatByteCount(progress.bytesRead),
        formatByteCount(progress.totalBytes), formatByteCount(progress.bytesUnreadable), passName(progress.pass),
        formatByteCount(static_cast<uint64_t>(progress.bytesPerSecond)), progress.failedReads);
}

int runImage(const ImageOptions& options)
{
    ImageCopier copier(options.source, options.image);
    if (copier.startMap().bytesIn(AreaState::read) > 0)
        fmt::print(stderr, "Going on from {}: {} of {} read before.\n", ImageCopier::mapFile(options.image).string(),
            formatByteCount(copier.startMap().bytesIn(AreaState::read)), formatByteCount(copier.startMap().size()));
    const bool live = ::isatty(STDERR_FILENO);
    auto lastPrint = std::chrono::steady_clock::time_point();
    auto onProgress = [&](const ImageProgress& progress) {
        if (!live || std::chrono::steady_clock::now() - lastPrint < std::chrono::milliseconds(300))
            return;
        lastPrint = std::chrono::steady_clock::now();
        printProgress(progress);
    };

    std::atomic<bool> stop { false };
    RescueOutcome outcome;
    int signal = 0;
    {
        InterruptWatcher interrupt([&stop] { stop = true; });
        outcome = copier.run({ .maxTries = options.tries, .budget = options.badAreaSeconds, .isCancelled = [&stop] { return stop.load(); } }, onProgress);
        signal = interrupt.signal();
    }
    const ImageProgress progress = copier.progress();
    if (live) {
        printProgress(progress);
        fmt::print(stderr, "\n");
    }

    const auto unread = copier.unreadAreas();
    fmt::print("Read {} of {} into {} in {:.1f} s ({} failed reads).\n", formatByteCount(progress.bytesRead), formatByteCount(progress.totalBytes),
        options.image, progress.elapsed, progress.failedReads);
    if (progress.edgesReadAfter)
        fmt::print("Everything that reads at full speed was read after {:.1f} s; the rest went to the failing areas.\n", *progress.edgesReadAfter);
    if (!unread.empty()) {
        fmt::print("Not read ({} in {} area{}; zeros in the image):\n", formatByteCount(progress.totalBytes - progress.bytesRead), unread.size(),
            unread.size() == 1 ? "" : "s");
        fmt::print("{:>15} {:>15}\n", "Offset", "Length");
        for (size_t i = 0; i < std::min(unread.size(), kAreasListed); ++i)
            fmt::print("{:>15} {:>15}\n", unread[i].start, unread[i].length);
        if (unread.size() > kAreasListed)
            fmt::print("… and {} more, listed in {}.\n", unread.size() - kAreasListed, ImageCopier::mapFile(options.image).string());
    }
    switch (outcome) {
    case RescueOutcome::complete:
        break;
    case RescueOutcome::budgetSpent:
        fmt::print(stderr, "The time for the bad areas is spent; run the same command again to try them longer.\n");
        break;
    case RescueOutcome::cancelled:
        fmt::print(stderr, "Stopped. Run the same command again to go on where it stopped.\n");
        break;
    case RescueOutcome::deviceGone:
        fmt::print(stderr, "brightfold: {} stopped answering (was the card removed?). What was read is kept; run the same command again to go on.\n", options.source);
        return kPartlyDone;
    }
    fmt::print(stderr, "Map: {}\n", ImageCopier::mapFile(options.image).string());
    if (signal != 0)
        return exitStatusForSignal(signal);
    if (outcome == RescueOutcome::cancelled)
        return kInterrupted;
    return unread.empty() ? kAllDone : kPartlyDone;
}

}

std::function<int()> addImageCommand(CLI::App& app)
{
    auto options = std::make_shared<ImageOptions>();
    auto* command = app.add_subcommand("image", "Copy a card (or an image) into an image file, every readable byte first, then scan and save from the copy");
    command->add_option("source", options->source, "Card or image to copy (read-only)")->required();
    command->add_option("image", options->image,
               "Image file to write; IMAGE.map beside it records what was read, and running the same command again goes on from it")
        ->required();
    command->add_option("--bad-area-time", options->badAreaSeconds, "Seconds to spend on the areas that failed, after the rest is copied (default: no limit; Ctrl-C stops and keeps what was read)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--tries", options->tries, "Reads of one failing block before it is given up (default: 3)")->check(CLI::Range(1, 100));
    return [options] { return runImage(*options); };
}

}
