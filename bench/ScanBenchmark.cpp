// Scan throughput measured against the raw sequential read of the same image,
// in the same run, so the ratio holds on a shared and noisy machine.
//
//   brightfold_bench --image PATH [--size-mb N] [--files DIR] [--card PATH] [--count PATH]... [benchmark flags]
//   brightfold_bench --count PATH...
//
// With --card, a FAT or exFAT card image is scanned too, with and without reading
// its file system, each against the raw read of that image: reading the
// directories and reassembling what they describe may cost at most a tenth.
//
// Every image (the scan image, the card, each --count image) is also scanned once
// through a source that counts what the scan reads: each byte should be read
// once, so the total may be at most 1.05 times the image.
//
// The image is made once (and remade when its size differs): real files from
// DIR placed on sector boundaries between runs of pseudo-random bytes, zeros and
// text, as on a used card. It is read once to bring it into the page cache.

#include "carve/CarveEngine.hpp"
#include "device/FileSource.hpp"
#include "device/MemorySource.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

using namespace brightfold;

namespace {

constexpr size_t kReadSize = 16 * 1024 * 1024; // the raw read's, as dd bs=16M
constexpr int64_t kStride = 512;

std::string g_imagePath;
uint64_t g_imageSize = 0;

void makeImage(const std::string& path, uint64_t size, const std::filesystem::path& filesFolder)
{
    std::vector<std::vector<char>> files;
    if (std::filesystem::is_directory(filesFolder)) {
        for (const auto& entry : std::filesystem::directory_iterator(filesFolder)) {
            if (!entry.is_regular_file() || entry.path().extension() == ".tsv" || entry.path().extension() == ".md")
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    std::mt19937_64 random(42);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> filler(1024 * 1024);
    uint64_t written = 0;
    size_t next = 0;
    while (written < size) {
        // A file, then a gap of filler rounded to whole sectors.
        if (!files.empty()) {
            const auto& file = files[next++ % files.size()];
            uint64_t count = std::min<uint64_t>(file.size(), size - written);
            out.write(file.data(), static_cast<std::streamsize>(count));
            written += count;
        }
        uint64_t gap = 512 - written % 512 + 512 * (random() % 64); // mostly files, as on a used card
        int kind = static_cast<int>(random() % 3);
        while (gap > 0 && written < size) {
            uint64_t count = std::min<uint64_t>({ gap, filler.size(), size - written });
            if (kind == 0) {
                for (size_t i = 0; i < count; i += 8) {
                    uint64_t value = random();
                    std::memcpy(filler.data() + i, &value, std::min<size_t>(8, count - i));
                }
            } else {
                std::fill_n(filler.begin(), count, kind == 1 ? '\0' : 'e');
            }
            out.write(filler.data(), static_cast<std::streamsize>(count));
            written += count;
            gap -= count;
        }
    }
}

void warmCache(const std::string& path)
{
    FileSource source(path);
    std::vector<uint8_t> buffer(kReadSize);
    for (uint64_t offset = 0; offset < source.size(); offset += kReadSize)
        source.readInto(offset, buffer);
}

void rawRead(benchmark::State& state, const std::string& path, uint64_t size)
{
    std::vector<uint8_t> buffer(kReadSize);
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        uint64_t total = 0;
        for (;;) {
            ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(total));
            if (got <= 0)
                break;
            total += static_cast<uint64_t>(got);
        }
        ::close(fd);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

CarveEngine::Config scanConfig()
{
    auto folder = std::filesystem::temp_directory_path() / "brightfold-bench-scan";
    return { .outputDirectory = folder, .enabledCategories = { kAllFormatCategories.begin(), kAllFormatCategories.end() },
        .stride = kStride }; // the engine's own chunk size, as the command's
}

void fullScan(benchmark::State& state, const std::string& path, uint64_t size, CarveEngine::Config::FileSystems fileSystems)
{
    size_t files = 0;
    size_t named = 0;
    for (auto _ : state) {
        std::filesystem::remove(scanConfig().outputDirectory / CarveReport::kFileName); // a report is never written over
        auto source = std::make_shared<FileSource>(path);
        CarveEngine::Config config = scanConfig();
        config.fileSystems = fileSystems;
        CarveEngine engine(source, config);
        auto report = engine.run();
        files = report.files.size();
        named = static_cast<size_t>(std::count_if(report.files.begin(), report.files.end(), [](const CarvedFile& file) { return file.name.has_value(); }));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["files"] = static_cast<double>(files);
    state.counters["named"] = static_cast<double>(named);
}

/// A source that hands back its buffer untouched: the scan of it costs only the
/// engine's loop over grid positions, with no copying and no candidates.
class BlankSource final : public ByteSource {
public:
    explicit BlankSource(uint64_t size) : m_size(size) { }
    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "blank"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        return static_cast<size_t>(std::min<uint64_t>(buffer.size(), m_size - offset));
    }

private:
    uint64_t m_size;
};

void hotLoop(benchmark::State& state)
{
    constexpr uint64_t kSize = 4ull * 1024 * 1024 * 1024;
    for (auto _ : state) {
        std::filesystem::remove(scanConfig().outputDirectory / CarveReport::kFileName);
        CarveEngine engine(std::make_shared<BlankSource>(kSize), scanConfig());
        benchmark::DoNotOptimize(engine.run());
    }
    state.counters["ns_per_position"] = benchmark::Counter(static_cast<double>(state.iterations() * (kSize / kStride)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/// A file source that counts the bytes it delivers, however they are asked for.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(const std::string& path) : m_file(path) { }
    uint64_t size() const override { return m_file.size(); }
    int64_t badReads() const override { return m_file.badReads(); }
    std::string descriptionForReport() const override { return m_file.descriptionForReport(); }
    bool allowsConcurrentReads() const override { return m_file.allowsConcurrentReads(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override { return counted(m_file.readInto(offset, buffer)); }
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override
    {
        return counted(m_file.readIntoUncounted(offset, buffer, unreadable));
    }

    uint64_t bytesRead() const { return m_bytes; }
    uint64_t reads() const { return m_reads; }

private:
    size_t counted(size_t delivered)
    {
        m_bytes += delivered; // read-ahead runs on another thread
        m_reads += 1;
        return delivered;
    }

    FileSource m_file;
    std::atomic<uint64_t> m_bytes { 0 };
    std::atomic<uint64_t> m_reads { 0 };
};

/// Scans `path` once through a counting source and prints what was read, with
/// and without reading the card's file system.
void countReads(const std::string& path)
{
    for (auto fileSystems : { CarveEngine::Config::FileSystems::ignore, CarveEngine::Config::FileSystems::read }) {
        std::filesystem::remove(scanConfig().outputDirectory / CarveReport::kFileName);
        auto source = std::make_shared<CountingSource>(path);
        CarveEngine::Config config = scanConfig();
        config.fileSystems = fileSystems;
        CarveEngine engine(source, config);
        auto report = engine.run();
        const double size = static_cast<double>(source->size());
        std::printf("Bytes read: %6.3f x the image, %s (%llu reads, %zu files) %s (%.0f MiB)  (target: at most 1.05)\n",
            static_cast<double>(source->bytesRead()) / size, fileSystems == CarveEngine::Config::FileSystems::read ? "with its file system" : "carving only        ",
            static_cast<unsigned long long>(source->reads()), report.files.size(), path.c_str(), size / (1 << 20));
    }
}

/// Keeps the median bytes per second of each benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.aggregate_name == "median" && run.counters.count("bytes_per_second"))
                medians[run.run_name.function_name] = run.counters.at("bytes_per_second");
            const std::string& name = run.run_name.function_name;
            if (run.aggregate_name.empty() && name.starts_with("card_") && run.counters.count("bytes_per_second"))
                turns[name.substr(0, name.find('/'))].push_back(run.counters.at("bytes_per_second"));
        }
    }
    std::map<std::string, double> medians;
    std::map<std::string, std::vector<double>> turns; ///< the card runs' bytes per second, by benchmark
};

}

int main(int argc, char** argv)
{
    uint64_t sizeMb = 1024;
    std::filesystem::path filesFolder = std::filesystem::path(BRIGHTFOLD_SOURCE_DIR) / "sample" / "files";
    std::string cardPath;
    std::vector<std::string> countPaths;
    std::vector<char*> rest { argv[0] };
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--image" && i + 1 < argc)
            g_imagePath = argv[++i];
        else if (argument == "--size-mb" && i + 1 < argc)
            sizeMb = std::stoull(argv[++i]);
        else if (argument == "--files" && i + 1 < argc)
            filesFolder = argv[++i];
        else if (argument == "--card" && i + 1 < argc)
            cardPath = argv[++i];
        else if (argument == "--count" && i + 1 < argc)
            countPaths.push_back(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    if (g_imagePath.empty() && !countPaths.empty()) {
        // Counting only: what a scan of each image reads.
        for (const auto& path : countPaths)
            countReads(path);
        return 0;
    }
    if (g_imagePath.empty()) {
        std::fprintf(stderr, "usage: brightfold_bench --image PATH [--size-mb N] [--files DIR] [--card PATH] [--count PATH]... [benchmark flags]\n"
                             "       brightfold_bench --count PATH...\n");
        return 2;
    }
    uint64_t size = sizeMb * 1024 * 1024;
    std::error_code error;
    if (std::filesystem::file_size(g_imagePath, error) != size || error) {
        std::fprintf(stderr, "Making a %llu MiB scan image at %s ...\n", static_cast<unsigned long long>(sizeMb), g_imagePath.c_str());
        makeImage(g_imagePath, size, filesFolder);
    }
    g_imageSize = size;
    warmCache(g_imagePath);

    using FileSystems = CarveEngine::Config::FileSystems;
    benchmark::RegisterBenchmark("raw_read", rawRead, g_imagePath, size)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
    benchmark::RegisterBenchmark("full_scan", fullScan, g_imagePath, size, FileSystems::read)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
    uint64_t cardSize = 0;
    if (!cardPath.empty()) {
        cardSize = std::filesystem::file_size(cardPath);
        warmCache(cardPath);
        // In turns, so a burst of load on the machine falls on all three.
        for (int turn = 0; turn < 5; ++turn) {
            auto name = [&](const char* what) { return std::string(what) + "/" + std::to_string(turn); };
            benchmark::RegisterBenchmark(name("card_raw_read").c_str(), rawRead, cardPath, cardSize)->Unit(benchmark::kMillisecond)->UseRealTime();
            benchmark::RegisterBenchmark(name("card_scan_carving_only").c_str(), fullScan, cardPath, cardSize, FileSystems::ignore)->Unit(benchmark::kMillisecond)->UseRealTime();
            benchmark::RegisterBenchmark(name("card_scan").c_str(), fullScan, cardPath, cardSize, FileSystems::read)->Unit(benchmark::kMillisecond)->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("hot_loop", hotLoop)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    double raw = reporter.medians["raw_read"];
    double scan = reporter.medians["full_scan"];
    std::printf("\nImage: %s (%llu MiB)\n", g_imagePath.c_str(), static_cast<unsigned long long>(sizeMb));
    std::printf("Raw sequential read: %8.1f MB/s (median)\n", raw / 1e6);
    std::printf("Full scan:           %8.1f MB/s (median)\n", scan / 1e6);
    if (raw > 0)
        std::printf("Scan / raw read:     %8.1f %%  (target: at least 90 %%)\n", 100.0 * scan / raw);
    if (!cardPath.empty()) {
        auto median = [&](const char* what) {
            std::vector<double> speeds = reporter.turns[what];
            std::sort(speeds.begin(), speeds.end());
            return speeds.empty() ? 0.0 : speeds[speeds.size() / 2];
        };
        const double cardRaw = median("card_raw_read"), carvingOnly = median("card_scan_carving_only"), withFileSystem = median("card_scan");
        std::printf("\nCard: %s (%.0f MiB)\n", cardPath.c_str(), static_cast<double>(cardSize) / (1 << 20));
        std::printf("Raw sequential read:          %8.1f MB/s (median of 5 turns)\n", cardRaw / 1e6);
        std::printf("Scan, carving only:           %8.1f MB/s, %5.1f %% of the raw read\n", carvingOnly / 1e6, 100.0 * carvingOnly / cardRaw);
        std::printf("Scan with its file system:    %8.1f MB/s, %5.1f %% of the raw read\n", withFileSystem / 1e6, 100.0 * withFileSystem / cardRaw);
        if (withFileSystem > 0)
            std::printf("Scan time grows by:           %8.1f %%  (target: at most 10 %%)\n", 100.0 * (carvingOnly / withFileSystem - 1));
    }
    std::printf("\n");
    countReads(g_imagePath);
    if (!cardPath.empty())
        countReads(cardPath);
    for (const auto& path : countPaths)
        countReads(path);
    std::printf("Peak memory:         %8.1f MB   (target: under 100 MB)\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    benchmark::Shutdown();
    return 0;
}
