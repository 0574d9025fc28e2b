// Preview making per family of real files, and the browser model's work on the
// interface thread with 100,000 items.
//
//   brightfold_preview_bench --fixtures DIR [--files-per-family N] [benchmark flags]
//
// DIR holds the files scripts/make-preview-fixtures makes with real encoders:
// camera-sized JPEGs, 1080p videos, HEIC photos and PDFs. Each family's files are
// laid out on sector boundaries in one in-memory card and previewed in turn, N in
// all, through the real thumbnail worker. The baseline of the same run copies the
// same byte ranges into a file, the part of the work that does not decode.

#include "carve/CarvedFile.hpp"
#include "device/MemorySource.hpp"
#include "workflow/BrowserModel.hpp"
#include "workflow/PreviewMaker.hpp"
#include "workflow/ThumbnailService.hpp"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using namespace brightfold;

namespace {

constexpr uint64_t kSectorBytes = 512;
constexpr int kBrowserItems = 100'000;

struct Family {
    std::string name;
    std::string ext;
    FormatCategory category;
};

const Family kFamilies[] = {
    { "camera_jpeg_12mp", "jpg", FormatCategory::photos },
    { "video_1080p", "mp4", FormatCategory::video },
    { "heic", "heic", FormatCategory::photos },
    { "pdf", "pdf", FormatCategory::documents },
};

std::filesystem::path g_fixtures;
int g_filesPerFamily = 20;

/// One family's fixtures on a card, and `count` carved files cycling through them.
struct FamilyCard {
    std::shared_ptr<MemorySource> source;
    std::vector<CarvedFile> files;
    uint64_t bytes { 0 };
};

FamilyCard familyCard(const Family& family)
{
    std::vector<uint8_t> card;
    std::vector<CarvedFile> distinct;
    for (const auto& entry : std::filesystem::directory_iterator(g_fixtures / family.name)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        CarvedFile file { card.size(), bytes.size(), family.ext, family.category };
        card.insert(card.end(), bytes.begin(), bytes.end());
        card.resize((card.size() + kSectorBytes - 1) / kSectorBytes * kSectorBytes);
        distinct.push_back(file);
    }
    FamilyCard result { std::make_shared<MemorySource>(std::move(card)), {}, 0 };
    for (int i = 0; !distinct.empty() && i < g_filesPerFamily; ++i) {
        result.files.push_back(distinct[size_t(i) % distinct.size()]);
        result.bytes += result.files.back().length;
    }
    return result;
}

void previews(benchmark::State& state, const Family& family)
{
    FamilyCard card = familyCard(family);
    if (card.files.empty()) {
        state.SkipWithError("no fixtures; run scripts/make-preview-fixtures");
        return;
    }
    ThumbnailService service;
    int made = 0;
    for (auto _ : state) {
        QTemporaryDir session;
        for (const CarvedFile& file : card.files)
            made += PreviewMaker::make(file, *card.source, session.path(), service) ? 1 : 0;
    }
    state.SetItemsProcessed(state.iterations() * int64_t(card.files.size()));
    state.SetBytesProcessed(state.iterations() * int64_t(card.bytes));
    state.counters["previews_made"] = benchmark::Counter(made, benchmark::Counter::kAvgIterations);
    state.counters["worker_failures"] = service.failedFiles();
}

/// The baseline: the same ranges copied out of the card into a file.
void copyOnly(benchmark::State& state, const Family& family)
{
    FamilyCard card = familyCard(family);
    for (auto _ : state) {
        QTemporaryDir folder;
        for (const CarvedFile& file : card.files) {
            QFile out(folder.filePath("copy"));
            out.open(QIODevice::WriteOnly | QIODevice::Truncate);
            for (uint64_t at = file.start; at < file.start + file.length; at += PreviewMaker::kCopyPieceBytes) {
                auto bytes = card.source->read(at, int64_t(std::min(PreviewMaker::kCopyPieceBytes, file.start + file.length - at)));
                out.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(card.files.size()));
    state.SetBytesProcessed(state.iterations() * int64_t(card.bytes));
}

/// A stored scan that found 100,000 photos and videos (no previews on disk).
ScanSession bigSession()
{
    ScanSession session { QUuid::createUuid(), QDateTime::currentDateTimeUtc(), "EOS_DIGITAL",
        ScanSession::Image { "/nowhere.img", 1 }, {} };
    for (int i = 0; i < kBrowserItems; ++i)
        session.report.files.push_back({ uint64_t(i) * 65536, 60000, i % 3 ? "jpg" : "mp4",
            i % 3 ? FormatCategory::photos : FormatCategory::video });
    return session;
}

/// The longest the interface thread went without turning its event loop while
/// the model loaded 100,000 items in the background and took them in.
void browserLoad(benchmark::State& state)
{
    const ScanSession session = bigSession();
    for (auto _ : state) {
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer ticker;
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
        });
        BrowserModel model(BrowserMode::forSession(session), nullptr, DiskImages::excluded, nullptr);
        bool loaded = false;
        QObject::connect(&model, &BrowserModel::loaded, [&] { loaded = true; });
        sinceTick.start();
        ticker.start();
        while (!loaded)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        longestGap = std::max(longestGap, sinceTick.elapsed());
        state.SetIterationTime(double(longestGap) / 1000.0);
    }
}

/// One interface-thread operation on 100,000 loaded items, timed alone.
template<typename Operation>
void browserOperation(benchmark::State& state, Operation operation)
{
    BrowserModel model(BrowserMode::forSession(bigSession()), nullptr, DiskImages::excluded, nullptr);
    bool loaded = false;
    QObject::connect(&model, &BrowserModel::loaded, [&] { loaded = true; });
    while (!loaded)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        operation(model);
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        model.setFilter(std::nullopt);
        model.setSelected({});
    }
}

}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<char*> rest { argv[0] };
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--fixtures" && i + 1 < argc)
            g_fixtures = argv[++i];
        else if (argument == "--files-per-family" && i + 1 < argc)
            g_filesPerFamily = std::stoi(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    if (!g_fixtures.empty()) {
        for (const Family& family : kFamilies) {
            benchmark::RegisterBenchmark(("copy_only/" + family.name).c_str(), copyOnly, family)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
            benchmark::RegisterBenchmark(("previews/" + family.name).c_str(), previews, family)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("browser_100k/load_longest_stall", browserLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
    benchmark::RegisterBenchmark("browser_100k/filter", browserOperation<void (*)(BrowserModel&)>,
        [](BrowserModel& model) { model.setFilter(FormatCategory::video); })->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
    benchmark::RegisterBenchmark("browser_100k/select_all_visible", browserOperation<void (*)(BrowserModel&)>,
        [](BrowserModel& model) { model.selectAllVisible(); })->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
    benchmark::RegisterBenchmark("browser_100k/select_all_then_filter", browserOperation<void (*)(BrowserModel&)>,
        [](BrowserModel& model) { model.selectAllVisible(); model.setFilter(FormatCategory::photos); })->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
