// Preview making per family of real files, and the browser model's work on the
// interface thread with 100,000 items.
//
//   brightfold_preview_bench --fixtures DIR [--files-per-family N] [--card IMAGE]... [benchmark flags]
//
// DIR holds the files scripts/make-preview-fixtures makes with real encoders:
// camera-sized JPEGs, 1080p videos, HEIC photos (with and without the thumbnail
// item phones write) and PDFs. Each family's files are laid out on sector
// boundaries in one in-memory card and previewed, N in all, through the real
// thumbnail worker: by one worker, and by one worker per core as a scan does.
// The baseline of the same run copies the same byte ranges into a file; for
// JPEG, the same files decoded in this process by the library alone give the
// ceiling any worker arrangement can reach.
//
// Each --card IMAGE is scanned as the application scans it, and then its files
// are previewed as the application previews them: the two times, and the
// scan's time at a UHS-I card's read speed, give how much later than the scan
// alone the review screen comes up.

#include "carve/CarvedFile.hpp"
#include "device/DeviceAccess.hpp"
#include "scan/ScanRunner.hpp"
#include "device/MemorySource.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/BrowserModel.hpp"
#include "workflow/PreviewBatch.hpp"
#include "workflow/PreviewMaker.hpp"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

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
    { "heic_no_thumbnail", "heic", FormatCategory::photos },
    { "pdf", "pdf", FormatCategory::documents },
};

std::filesystem::path g_fixtures;
int g_filesPerFamily = 20;

/// CPU seconds used so far by this process and by its ended (reaped) children,
/// the thumbnail workers. On a machine shared with other work, wall time says
/// more about the neighbours than about us; the CPU a preview costs does not.
double cpuSeconds()
{
    auto seconds = [](const rusage& usage) {
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    rusage self {};
    rusage children {};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self) + seconds(children);
}

/// The counters that turn CPU time into rates an idle machine would reach.
void reportCpu(benchmark::State& state, double cpu, size_t files)
{
    const double perFile = cpu / double(std::max<size_t>(files, 1));
    state.counters["cpu_ms_per_file"] = perFile * 1000;
    state.counters["files_per_s_idle_machine"] = double(PreviewBatch::defaultWorkerCount()) / perFile;
}

/// One family's fixtures on a card, and `count` carved files cycling through them.
struct FamilyCard {
    std::shared_ptr<MemorySource> source;
    std::vector<CarvedFile> files;
    uint64_t bytes { 0 };
};

/// A file the scan listed: where it lies and what kind it is, nothing else known yet.
CarvedFile listedFile(uint64_t start, uint64_t length, std::string ext, FormatCategory category)
{
    CarvedFile file;
    file.start = start;
    file.length = length;
    file.ext = std::move(ext);
    file.category = category;
    return file;
}

FamilyCard familyCard(const Family& family)
{
    std::vector<uint8_t> card;
    std::vector<CarvedFile> distinct;
    for (const auto& entry : std::filesystem::directory_iterator(g_fixtures / family.name)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        distinct.push_back(listedFile(card.size(), bytes.size(), family.ext, family.category));
        card.insert(card.end(), bytes.begin(), bytes.end());
        card.resize((card.size() + kSectorBytes - 1) / kSectorBytes * kSectorBytes);
    }
    FamilyCard result { std::make_shared<MemorySource>(std::move(card)), {}, 0 };
    for (int i = 0; !distinct.empty() && i < g_filesPerFamily; ++i) {
        result.files.push_back(distinct[size_t(i) % distinct.size()]);
        result.bytes += result.files.back().length;
    }
    return result;
}

/// Previews of the family's files by `workers` thumbnail workers at once.
void previews(benchmark::State& state, const Family& family, int workers)
{
    FamilyCard card = familyCard(family);
    if (card.files.empty()) {
        state.SkipWithError("no fixtures; run scripts/make-preview-fixtures");
        return;
    }
    int made = 0;
    double cpu = 0;
    for (auto _ : state) {
        QTemporaryDir session;
        const double before = cpuSeconds();
        {
            PreviewBatch batch(card.files, card.source, session.path(), workers);
            batch.run(std::nullopt);
            made += batch.made();
        } // the workers have ended and been reaped
        cpu += cpuSeconds() - before;
    }
    reportCpu(state, cpu, size_t(state.iterations()) * card.files.size());
    state.SetItemsProcessed(state.iterations() * int64_t(card.files.size()));
    state.SetBytesProcessed(state.iterations() * int64_t(card.bytes));
    state.counters["previews_made"] = benchmark::Counter(made, benchmark::Counter::kAvgIterations);
}

/// The baseline: the same ranges copied out of the card into a file.
void copyOnly(benchmark::State& state, const Family& family)
{
    FamilyCard card = familyCard(family);
    double cpu = 0;
    for (auto _ : state) {
        const double before = cpuSeconds();
        QTemporaryDir folder;
        for (const CarvedFile& file : card.files) {
            QFile out(folder.filePath("copy"));
            out.open(QIODevice::WriteOnly | QIODevice::Truncate);
            for (uint64_t at = file.start; at < file.start + file.length; at += PreviewMaker::kCopyPieceBytes) {
                auto bytes = card.source->read(at, int64_t(std::min(PreviewMaker::kCopyPieceBytes, file.start + file.length - at)));
                out.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
            }
        }
        cpu += cpuSeconds() - before;
    }
    reportCpu(state, cpu, size_t(state.iterations()) * card.files.size());
    state.SetItemsProcessed(state.iterations() * int64_t(card.files.size()));
    state.SetBytesProcessed(state.iterations() * int64_t(card.bytes));
}

/// The ceiling the format's library sets: each file decoded in this process, on
/// this thread, by the reader the worker uses (Qt's, on libjpeg-turbo), at the
/// preview's size, with no worker, pipe or copy around it.
void decodeAlone(benchmark::State& state, const Family& family)
{
    FamilyCard card = familyCard(family);
    if (card.files.empty()) {
        state.SkipWithError("no fixtures; run scripts/make-preview-fixtures");
        return;
    }
    const QSize target(PreviewMaker::kPreviewSide, PreviewMaker::kPreviewSide);
    double cpu = 0;
    int decoded = 0;
    for (auto _ : state) {
        const double before = cpuSeconds();
        for (const CarvedFile& file : card.files) {
            auto bytes = card.source->read(file.start, int64_t(file.length));
            QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
            QBuffer buffer(&view);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            reader.setAutoTransform(true);
            reader.setScaledSize(reader.size().scaled(target, Qt::KeepAspectRatio));
            decoded += reader.read().isNull() ? 0 : 1;
        }
        cpu += cpuSeconds() - before;
    }
    reportCpu(state, cpu, size_t(state.iterations()) * card.files.size());
    state.SetItemsProcessed(state.iterations() * int64_t(card.files.size()));
    state.counters["decoded"] = benchmark::Counter(decoded, benchmark::Counter::kAvgIterations);
}

constexpr double kUhs1BytesPerSecond = 90e6; // a UHS-I card's sustained read

std::vector<std::string> g_cards;

/// From "Start Recovery" to the review screen on a card image: the scan, then
/// the previews of the first screenful of what it found (the application shows
/// the results then), each timed on its own; and the time all previews took.
void cardToReview(benchmark::State& state, const std::string& image)
{
    double scanSeconds = 0;
    double previewSeconds = 0;
    double firstScreenSeconds = 0;
    double firstScreenCpu = 0;
    double previewCpu = 0;
    size_t files = 0;
    int made = 0;
    const double bytes = static_cast<double>(std::filesystem::file_size(image));
    for (auto _ : state) {
        QTemporaryDir folder;
        ScanRequest request { .sourcePath = image, .categories = { kAllFormatCategories.begin(), kAllFormatCategories.end() },
            .outputFolder = folder.filePath("scan").toStdString() };
        SystemDeviceAccess devices;
        ScanRunner scan(std::move(request), devices);
        QElapsedTimer timer;
        timer.start();
        const CarveReport report = scan.run();
        scanSeconds = double(timer.nsecsElapsed()) / 1e9;
        timer.restart();
        const double before = cpuSeconds();
        {
            const int firstScreenful = std::min<int>(AppModel::kFirstScreenful, static_cast<int>(report.files.size()));
            std::mutex lock;
            PreviewBatch batch(report.files, scan.source(), folder.path());
            batch.run(std::nullopt, [&](int tried, const CarvedFile&, bool) {
                if (tried != firstScreenful)
                    return;
                const std::lock_guard held(lock);
                firstScreenSeconds = double(timer.nsecsElapsed()) / 1e9;
                firstScreenCpu = cpuSeconds() - before;
            });
            made = batch.made();
        }
        previewSeconds = double(timer.nsecsElapsed()) / 1e9;
        previewCpu = cpuSeconds() - before;
        files = report.files.size();
        state.SetIterationTime(scanSeconds + firstScreenSeconds);
    }
    const double uhs1Scan = std::max(scanSeconds, bytes / kUhs1BytesPerSecond);
    state.counters["files"] = double(files);
    state.counters["previews_made"] = made;
    state.counters["scan_s"] = scanSeconds;
    state.counters["first_screen_s"] = firstScreenSeconds;
    state.counters["all_previews_s"] = previewSeconds;
    state.counters["uhs1_scan_s"] = uhs1Scan;
    state.counters["review_per_scan_uhs1"] = (uhs1Scan + firstScreenSeconds) / uhs1Scan;
    // The previews' CPU spread over the cores, as on a machine of our own.
    const double idleFirstScreen = firstScreenCpu / PreviewBatch::defaultWorkerCount();
    state.counters["first_screen_cpu_s"] = firstScreenCpu;
    state.counters["all_previews_cpu_s"] = previewCpu;
    state.counters["review_per_scan_uhs1_idle_machine"] = (uhs1Scan + idleFirstScreen) / uhs1Scan;
}

/// A stored scan that found 100,000 photos and videos (no previews on disk).
ScanSession bigSession()
{
    ScanSession session { SessionId::generate(), ScanSession::now(), "EOS_DIGITAL",
        ScanSession::Image { "/nowhere.img", 1 }, {} };
    for (int i = 0; i < kBrowserItems; ++i)
        session.report.files.push_back(listedFile(uint64_t(i) * 65536, 60000, i % 3 ? "jpg" : "mp4",
            i % 3 ? FormatCategory::photos : FormatCategory::video));
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
        else if (argument == "--card" && i + 1 < argc)
            g_cards.push_back(argv[++i]);
        else if (argument == "--files-per-family" && i + 1 < argc)
            g_filesPerFamily = std::stoi(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    if (!g_fixtures.empty()) {
        for (const Family& family : kFamilies) {
            benchmark::RegisterBenchmark(("copy_only/" + family.name).c_str(), copyOnly, family)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
            if (family.ext == "jpg")
                benchmark::RegisterBenchmark(("decode_alone_in_process/" + family.name).c_str(), decodeAlone, family)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
            benchmark::RegisterBenchmark(("previews_1_worker/" + family.name).c_str(), previews, family, 1)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
            const int cores = PreviewBatch::defaultWorkerCount();
            benchmark::RegisterBenchmark(("previews_" + std::to_string(cores) + "_workers/" + family.name).c_str(), previews, family, cores)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
        }
    }
    for (const std::string& card : g_cards)
        benchmark::RegisterBenchmark(("card_to_review/" + std::filesystem::path(card).filename().string()).c_str(), cardToReview, card)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
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
