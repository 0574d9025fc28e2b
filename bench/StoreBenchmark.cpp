// The application's start with many stored scans, and opening a large one: what
// the interface thread waits for.
//
//   brightfold_store_bench [benchmark flags]      (QT_QPA_PLATFORM=offscreen without a display)
//
// A store of 300 scans of 1,000 files each and one of 100,000 files is written
// once into a temporary data folder. "first_window" is the time from making the
// model and the main window to the window being shown and its first events
// handled, for that store and (the baseline of the same run) for an empty one;
// its counter "stall_until_listed_ms" is the longest the interface thread then
// went without turning its event loop until the stored scans were listed and shown.
// "open_100k" is the longest the interface thread went without turning its event
// loop while the browser opened the large scan from the list (its record read
// and decoded in the background) until its items were in place.

#include "scan/ScanStore.hpp"
#include "ui/AppUpdater.hpp"
#include "ui/MainWindow.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/BrowserModel.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>

using namespace brightfold;

namespace {

constexpr int kStoredScans = 300;
constexpr int kFilesPerScan = 1'000;
constexpr int kLargeScanFiles = 100'000;

/// No disks at all: the start is measured, not lsblk.
struct NoDisks final : DeviceAccess {
    std::vector<ExternalDisk> externalDisks(DiskImages) override { return {}; }
    bool unmountDisk(const std::string&) override { return false; }
    ByteSourcePtr open(const std::string&) override { return nullptr; }
};

ScanSession storedScan(int files, std::chrono::seconds age)
{
    ScanSession session { SessionId::generate(), ScanSession::now() - age, "EOS_DIGITAL", ScanSession::Image { "/nowhere.img", 1 }, {} };
    for (int i = 0; i < files; ++i) {
        CarvedFile file;
        file.start = uint64_t(i) * 65536;
        file.length = 60000;
        file.ext = i % 3 ? "jpg" : "mp4";
        file.category = i % 3 ? FormatCategory::photos : FormatCategory::video;
        session.report.files.push_back(std::move(file));
    }
    return session;
}

struct Stores {
    QTemporaryDir empty;
    QTemporaryDir full;
    SessionId large;

    Stores()
    {
        qputenv("XDG_DATA_HOME", full.path().toUtf8());
        for (int i = 0; i < kStoredScans; ++i)
            ScanStore::save(storedScan(kFilesPerScan, std::chrono::hours(i + 1)));
        ScanSession big = storedScan(kLargeScanFiles, std::chrono::seconds(0));
        large = big.id;
        ScanStore::save(big);
    }
    void use(const QTemporaryDir& folder) const { qputenv("XDG_DATA_HOME", folder.path().toUtf8()); }
};

Stores& stores()
{
    static Stores made;
    return made;
}

/// Runs the event loop until `done` holds, recording the longest gap between two turns.
template<typename Done>
qint64 longestGapUntil(Done done)
{
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    sinceTick.start();
    ticker.start();
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return std::max(longestGap, sinceTick.elapsed());
}

void firstWindow(benchmark::State& state, bool full)
{
    Stores& made = stores();
    made.use(full ? made.full : made.empty);
    qint64 longestStall = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        AppModel model(AppSettings {}, std::make_shared<NoDisks>(), nullptr);
        bool listed = false;
        QObject::connect(&model, &AppModel::recentScansListed, [&] { listed = true; });
        AppUpdater updater(AppBundle {});
        MainWindow window(model, updater, AppSettings {});
        window.show();
        QCoreApplication::processEvents();
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        // The listing ends before the next start, so starts do not overlap; the
        // setup screen showing the list it brings is timed as a stall too.
        longestStall = std::max(longestStall, longestGapUntil([&] { return listed; }));
        QCoreApplication::processEvents();
    }
    state.counters["stall_until_listed_ms"] = double(longestStall);
}

void openLarge(benchmark::State& state)
{
    Stores& made = stores();
    made.use(made.full);
    ScanSummary summary = ScanStore::summaries().front();
    for (auto _ : state) {
        bool loaded = false;
        qint64 longestGap = 0;
        {
            BrowserModel model(BrowserMode::forStoredSession(made.large, summary), nullptr, DiskImages::excluded, nullptr);
            QObject::connect(&model, &BrowserModel::loaded, [&] { loaded = true; });
            longestGap = longestGapUntil([&] { return loaded; });
            if (model.items().size() != size_t(kLargeScanFiles))
                state.SkipWithError("the large scan did not load");
        }
        state.SetIterationTime(double(longestGap) / 1000.0);
    }
}

}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::RegisterBenchmark("first_window/empty_store", firstWindow, false)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
    benchmark::RegisterBenchmark("first_window/300_scans_and_one_of_100k", firstWindow, true)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
    benchmark::RegisterBenchmark("open_100k/longest_stall", openLarge)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
