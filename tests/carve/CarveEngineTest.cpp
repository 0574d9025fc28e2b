#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveError.hpp"
#include "carve/SampleDigests.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace brightfold::test {
namespace {

/// A carver whose answer the test decides: by default a file of `length` bytes.
class FakeCarver final : public FormatCarver {
public:
    FakeCarver(Signature signature, uint64_t length, CarveConfidence confidence = CarveConfidence::exact, FormatCategory category = FormatCategory::photos, int64_t offset = 0)
        : FormatCarver("fake", { category }, { std::move(signature) }, offset, { 0, 0 }), m_match { length, "fake", category, confidence } { }
    std::optional<CarveMatch> carve(uint64_t at, ReadContext&) const override { return onCarve ? onCarve(at) : m_match; }
    bool provesWholeBody() const override { return wholeBody; }

    std::function<std::optional<CarveMatch>(uint64_t)> onCarve;
    bool wholeBody { false };

private:
    CarveMatch m_match;
};

const Signature kAlpha { 0xA1, 0xA2, 0xA3 }, kBeta { 0xB1, 0xB2 };
using Starts = std::vector<uint64_t>;

/// A source of `size` zeros with the signatures at the given offsets.
std::shared_ptr<SparseSource> imageWith(uint64_t size, std::initializer_list<std::pair<uint64_t, Signature>> placed)
{
    auto source = std::make_shared<SparseSource>(size);
    for (const auto& [at, signature] : placed)
        source->place(at, signature);
    return source;
}

CarveReport run(ByteSourcePtr source, std::vector<FormatCarverPtr> carvers, const TemporaryFolder& folder, int64_t chunkSize = 4096, int64_t stride = 512,
    CategorySet categories = { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode mode = CarveEngine::Config::OutputMode::catalog)
{
    return CarveEngine(std::move(source), { folder.path() / "out", categories, mode, chunkSize, stride, 0 }, std::move(carvers)).run();
}

/// The starts of the files a scan lists.
Starts scan(ByteSourcePtr source, std::vector<FormatCarverPtr> carvers, int64_t chunkSize = 4096, int64_t stride = 512, CategorySet categories = { kAllFormatCategories.begin(), kAllFormatCategories.end() })
{
    TemporaryFolder folder;
    auto files = run(std::move(source), std::move(carvers), folder, chunkSize, stride, categories).files;
    Starts starts(files.size());
    std::transform(files.begin(), files.end(), starts.begin(), [](const CarvedFile& file) { return file.start; });
    return starts;
}

FormatCarverPtr exact(uint64_t length, int64_t offset = 0) { return std::make_shared<FakeCarver>(kAlpha, length, CarveConfidence::exact, FormatCategory::photos, offset); }
/// An exact file whose carver checked every byte of it: the scan skips its body.
std::shared_ptr<FakeCarver> checked(std::shared_ptr<FakeCarver> carver)
{
    carver->wholeBody = true;
    return carver;
}

TEST(CarveEngineTest, CandidatesAndSkips)
{
    auto inner = std::make_shared<FakeCarver>(kBeta, 100), heuristic = std::make_shared<FakeCarver>(kAlpha, 10'000, CarveConfidence::heuristic);
    auto archive = checked(std::make_shared<FakeCarver>(kAlpha, 3000, CarveConfidence::exact, FormatCategory::archives)), document = std::make_shared<FakeCarver>(kBeta, 100, CarveConfidence::exact, FormatCategory::documents);
    auto threeFiles = imageWith(16384, { { 0, kAlpha }, { 4096, kBeta }, { 10240, kBeta } });
    EXPECT_EQ(scan(imageWith(2048, { { 0, kAlpha }, { 513, kAlpha }, { 1024, kAlpha } }), { exact(400) }), (Starts { 0, 1024 })) << "grid positions only";
    EXPECT_EQ(scan(threeFiles, { heuristic, inner }, 16384), (Starts { 0, 4096, 10240 })) << "a heuristic file hides nothing";
    auto proven = checked(std::make_shared<FakeCarver>(kAlpha, 5000));
    EXPECT_EQ(scan(threeFiles, { heuristic, proven, inner }, 16384), (Starts { 0, 10240 })) << "a later carver's exact match wins over a guess";
    EXPECT_EQ(scan(imageWith(8192, { { 0, kAlpha }, { 1024, kBeta }, { 4096, kBeta } }), { archive, document }, 4096, 512, { FormatCategory::documents }), (Starts { 4096 }))
        << "a file of an unasked category is skipped, not listed";
    EXPECT_EQ(scan(imageWith(4096, { { 1028, kAlpha }, { 2048, kAlpha } }), { exact(100, 4) }), (Starts { 1024 })) << "signature offset";
    EXPECT_EQ(scan(imageWith(4096, { { 1534, kAlpha }, { 4094, kAlpha } }), { exact(100, 510) }, 2048), (Starts { 1024 })) << "signature across the chunk end";
    // Regressions from fuzzing: chunks that are no multiple of the stride lost the grid, and a
    // short file at the start of an off-grid chunk sent the scan back to it for ever.
    auto offGrid = imageWith(16384, { { 4608, kAlpha }, { 8192, kAlpha }, { 12800, kAlpha } }), onGrid = imageWith(16384, { { 5120, kAlpha }, { 9216, kAlpha } });
    EXPECT_EQ(scan(offGrid, { exact(1400) }, 1536, 1024), (Starts { 8192 }));
    EXPECT_EQ(scan(offGrid, { exact(1400) }, 1536, 512), (Starts { 4608, 8192, 12800 }));
    EXPECT_EQ(scan(onGrid, { exact(100) }, 1536, 1024), (Starts { 5120, 9216 }));
    EXPECT_EQ(scan(onGrid, { exact(100) }, 1000, 1024), (Starts { 5120, 9216 }));
}

TEST(CarveEngineTest, OnlyAFileWhoseWholeBodyIsProvenHidesWhatLiesInsideIt)
{
    using Listed = std::vector<std::pair<uint64_t, CarveConfidence>>;
    constexpr auto kExact = CarveConfidence::exact, kGuess = CarveConfidence::heuristic;
    struct Row {
        const char* name;
        bool outerWholeBody;
        CarveConfidence inner;
        uint64_t innerLength;
        Listed listed;
    };
    const Row rows[] = {
        { "a checked body hides what lies inside it", true, kExact, 100, { { 0, kExact }, { 10240, kExact } } },
        { "a proven file inside an opaque body is listed and the body doubted", false, kExact, 100,
            { { 0, kGuess }, { 4096, kExact }, { 10240, kExact } } },
        { "a guess inside an opaque body is dropped", false, kGuess, 100, { { 0, kExact }, { 10240, kExact } } },
        { "a body inside a body ends first; a find after it doubts only the outer one", false, kExact, 2000,
            { { 0, kGuess }, { 4096, kExact }, { 8192, kExact }, { 10240, kExact } } },
    };
    for (const Row& row : rows) {
        auto outer = std::make_shared<FakeCarver>(kAlpha, 10'000);
        outer->wholeBody = row.outerWholeBody;
        auto inner = std::make_shared<FakeCarver>(kBeta, row.innerLength, row.inner);
        auto beyond = std::make_shared<FakeCarver>(Signature { 0xC1, 0xC2 }, 500);
        inner->onCarve = [&](uint64_t at) { return at == 10240 ? CarveMatch { 100, "fake", FormatCategory::photos, kExact } : CarveMatch { row.innerLength, "fake", FormatCategory::photos, row.inner }; };
        auto source = imageWith(16384, { { 0, kAlpha }, { 4096, kBeta }, { 10240, kBeta } });
        if (row.innerLength > 100)
            source->place(8192, Signature { 0xC1, 0xC2 }); // past the nested body's end, inside the outer one
        TemporaryFolder folder;
        Listed listed;
        for (const auto& file : run(source, { outer, inner, beyond }, folder, 16384).files)
            listed.emplace_back(file.start, file.confidence);
        EXPECT_EQ(listed, row.listed) << row.name;
    }
}

TEST(CarveEngineTest, ClippingDigestsAndCopies)
{
    TemporaryFolder folder;
    auto source = sourceOf(patterned(2 * 1024 * 1024));
    source->place(0, kAlpha).place(1024 * 1024, kAlpha).place(2 * 1024 * 1024 - 1024, kAlpha);
    auto report = run(source, { exact(6000) }, folder, 512 * 1024, 512, { kAllFormatCategories.begin(), kAllFormatCategories.end() }, CarveEngine::Config::OutputMode::files);
    ASSERT_EQ(report.files.size(), 3u);
    EXPECT_EQ(report.files[1].headDigest, CarvedFile::headDigestOf(source->read(1024 * 1024, 4096)));
    EXPECT_EQ(std::pair(report.files[2].length, report.files[2].confidence), std::pair(uint64_t { 1024 }, CarveConfidence::heuristic)) << "a length past the source is clipped";
    EXPECT_EQ(readWholeFile(report.files[1].outputPath), source->read(1024 * 1024, 6000)) << "files mode copies each file as it is found";
}

TEST(CarveEngineTest, SampleDigestsTakenAcrossChunksAreTheOnesASaveChecks)
{
    // Guards against a card written to past a file's head after the scan being saved as recovered.
    TemporaryFolder folder;
    auto source = sourceOf(patterned(8 << 20));
    source->place(4 << 20, kAlpha);
    auto report = run(source, { exact((3 << 20) + 1000) }, folder, 1 << 20);
    ASSERT_EQ(report.files.size(), 1u);
    std::vector<std::string> expected;
    for (const auto& range : SampleDigests::ranges(report.files[0].length))
        expected.push_back(SampleDigests::digestOf(source->read((4 << 20) + range.offset, static_cast<int64_t>(range.count))));
    EXPECT_EQ(report.files[0].sampleDigests, expected) << "at 1, 2 and 3 MiB, and the last 4 KiB";
    EXPECT_EQ(CarveReport::readFile(folder.path() / "out" / CarveReport::kFileName), report);
}

TEST(CarveEngineTest, CancelDuringAChunkKeepsItsFilesAndReportsItsStart)
{
    constexpr uint64_t kMiB = 1024 * 1024;
    TemporaryFolder folder;
    auto carver = std::make_shared<FakeCarver>(kAlpha, 100);
    std::unique_ptr<CarveEngine> engine;
    carver->onCarve = [&](uint64_t at) -> std::optional<CarveMatch> {
        if (at == 8 * kMiB + 512)
            engine->cancel(); // in the second 8 MiB chunk, noticed at its 4 MiB check
        return CarveMatch { 100, "fake" };
    };
    auto source = imageWith(16 * kMiB, { { kMiB, kAlpha }, { 8 * kMiB + 512, kAlpha }, { 10 * kMiB, kAlpha }, { 13 * kMiB, kAlpha } });
    engine = std::make_unique<CarveEngine>(source, CarveEngine::Config { folder.path() / "out", { FormatCategory::photos }, CarveEngine::Config::OutputMode::catalog, 8 * kMiB, 512, 0 }, std::vector<FormatCarverPtr> { carver });
    CarveReport report = engine->run();
    EXPECT_EQ(std::tuple(report.cancelled, report.scannedBytes, report.files.size(), report.files.back().start), std::tuple(true, 8 * kMiB, size_t { 3 }, 10 * kMiB));
    EXPECT_TRUE(CarveReport::readFile(folder.path() / "out" / CarveReport::kFileName).cancelled);
}

/// A carver whose file ends at the first `marker` after its signature, searched
/// for as far as `reach`: a guess that no marker within reach refutes.
class SearchingCarver final : public FormatCarver {
public:
    SearchingCarver(Signature marker, uint64_t reach, CarveConfidence confidence = CarveConfidence::heuristic)
        : FormatCarver("search", { FormatCategory::documents }, { kAlpha }, 0, { reach, reach + ReadContext::kSearchOverrun }), m_marker(std::move(marker)), m_reach(reach), m_confidence(confidence) { }
    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override
    {
        auto end = context.find(m_marker, at + kAlpha.size(), m_reach, ReadContext::kSearchChunk);
        if (!end)
            return std::nullopt;
        return CarveMatch { *end + m_marker.size() - at, "search", FormatCategory::documents, m_confidence };
    }

private:
    Signature m_marker;
    uint64_t m_reach;
    CarveConfidence m_confidence;
};

TEST(CarveEngineTest, WalksAheadOfTheScanReadEachByteOnce)
{
    // Guards against carvers re-reading from the source what the scan holds or will hold, and
    // against every junk header of a run searching the same bytes again.
    constexpr uint64_t kMiB = 1024 * 1024, kChunk = 4 * kMiB;
    struct Row {
        const char* name;
        std::vector<uint64_t> headers;
        uint64_t marker;
        bool concurrent;
        uint64_t size = 16 * kMiB;
    };
    const Row rows[] = {
        { "a marker two chunks ahead", { 512 }, 2 * kChunk + 100, false },
        { "read ahead on a second thread", { 512 }, 2 * kChunk + 100, true },
        { "a run of headers before one far marker", { 512, 1 * kMiB, 5 * kMiB, 5 * kMiB + 4096, 9 * kMiB }, 11 * kMiB, false },
        { "headers whose search finds nothing", { 512, 3 * kMiB, 6 * kMiB, 13 * kMiB }, 40 * kMiB, false },
        { "a marker past the chunks held: the search waits for the scan", { 512, 3 * kMiB }, 40 * kMiB, false, 48 * kMiB },
        { "headers whose search waits and finds nothing", { 512, 6 * kMiB, 30 * kMiB }, 64 * kMiB, true, 48 * kMiB },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto source = std::make_shared<SparseSource>(row.size);
        for (uint64_t at : row.headers)
            source->place(at, kAlpha);
        if (row.marker < source->size())
            source->place(row.marker, { 0xEE, 0xE0, 0xEF });
        source->concurrent = row.concurrent;
        TemporaryFolder folder;
        CarveEngine engine(source, { .outputDirectory = folder.path(), .enabledCategories = { FormatCategory::documents }, .chunkSize = static_cast<int64_t>(kChunk),
            .fileSystems = CarveEngine::Config::FileSystems::ignore }, { std::make_shared<SearchingCarver>(Signature { 0xEE, 0xE0, 0xEF }, 64 * kMiB) });
        EXPECT_EQ(engine.run().files.size(), row.marker < source->size() ? row.headers.size() : 0);
        EXPECT_GE(source->delivered, source->size());
        // A file decided behind the scan reads its digests there (4 KiB, 4 KiB a MiB and
        // its last 4 KiB), and its search a few bytes up to the chunk scanned.
        const uint64_t digests = row.headers.size() * (2 * 4096 + row.marker / kMiB * 4096 + 64);
        EXPECT_LE(source->delivered, source->size() + digests);
    }
}

TEST(CarveEngineTest, ACandidateWaitingForTheScanIsDecidedAsIfNothingWaited)
{
    // Guards against a search that waits for the scan changing what is listed: the
    // same files, confidences and lengths as when the chunks hold the whole source.
    constexpr uint64_t kMiB = 1024 * 1024;
    constexpr auto kExact = CarveConfidence::exact, kGuess = CarveConfidence::heuristic;
    const Signature kMarker { 0xEE, 0xE0, 0xEF }, kGamma { 0xC1, 0xC2 };
    using Listed = std::vector<std::tuple<uint64_t, uint64_t, CarveConfidence>>;
    enum class Other { none, guessBefore, guessAfter, provenAfter, wholeBodyAfter };
    struct Row {
        const char* name;
        CarveConfidence searched; ///< what the searching carver calls the file up to the marker
        bool marker;
        Other other;              ///< another carver of the same signature
        CarveConfidence inside;   ///< a file inside, at 8 MiB
        Listed listed;
    };
    const uint64_t kEnd = 40 * kMiB + 3 - 512; // the searched file's length, from 512 to past the marker
    const Row rows[] = {
        { "an exact file hides the guesses inside it", kExact, true, Other::none, kGuess, { { 512, kEnd, kExact } } },
        { "a file proven inside doubts it", kExact, true, Other::none, kExact, { { 512, kEnd, kGuess }, { 8 * kMiB, 100, kExact } } },
        { "a guess hides nothing", kGuess, true, Other::none, kGuess, { { 512, kEnd, kGuess }, { 8 * kMiB, 100, kGuess } } },
        { "no marker: a later carver's guess", kExact, false, Other::guessAfter, kGuess, { { 512, 100, kGuess }, { 8 * kMiB, 100, kGuess } } },
        { "an earlier guess yields to the exact file", kExact, true, Other::guessBefore, kGuess, { { 512, kEnd, kExact } } },
        { "an earlier guess wins over a later one", kGuess, true, Other::guessBefore, kGuess, { { 512, 100, kGuess }, { 8 * kMiB, 100, kGuess } } },
        { "a later proof asks the waiting carver at once", kExact, true, Other::provenAfter, kGuess, { { 512, kEnd, kExact } } },
        { "a later proof wins over a guess", kGuess, true, Other::wholeBodyAfter, kGuess, { { 512, 12 * kMiB, kExact } } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto listedWith = [&](uint64_t chunkSize, uint64_t* delivered) {
            auto source = imageWith(64 * kMiB, { { 512, kAlpha }, { 8 * kMiB, kGamma } });
            if (row.marker)
                source->place(40 * kMiB, kMarker);
            std::vector<FormatCarverPtr> carvers;
            auto other = std::make_shared<FakeCarver>(kAlpha, 100, row.other == Other::guessBefore || row.other == Other::guessAfter ? kGuess : kExact, FormatCategory::documents);
            if (row.other == Other::wholeBodyAfter) {
                other = std::make_shared<FakeCarver>(kAlpha, 12 * kMiB, kExact, FormatCategory::documents);
                other->wholeBody = true;
            }
            if (row.other == Other::guessBefore)
                carvers.push_back(other);
            carvers.push_back(std::make_shared<SearchingCarver>(kMarker, 64 * kMiB, row.searched));
            if (row.other != Other::none && row.other != Other::guessBefore)
                carvers.push_back(other);
            carvers.push_back(std::make_shared<FakeCarver>(kGamma, 100, row.inside, FormatCategory::documents));
            TemporaryFolder folder;
            CarveEngine engine(source, { .outputDirectory = folder.path(), .enabledCategories = { FormatCategory::documents }, .chunkSize = static_cast<int64_t>(chunkSize),
                .fileSystems = CarveEngine::Config::FileSystems::ignore }, carvers);
            Listed listed;
            for (const auto& file : engine.run().files)
                listed.emplace_back(file.start, file.length, file.confidence);
            *delivered = source->delivered;
            return listed;
        };
        uint64_t whole = 0, waiting = 0;
        EXPECT_EQ(listedWith(64 * kMiB, &whole), row.listed) << "one chunk: nothing waits";
        EXPECT_EQ(listedWith(4 * kMiB, &waiting), row.listed) << "16 MiB held: the search waits";
        // Each byte once, but for the digests of the file decided behind the scan, and
        // the search carved at once when a later carver proves a file at its start.
        const bool carvedAtOnce = row.other == Other::provenAfter || row.other == Other::wholeBodyAfter;
        EXPECT_LT(waiting, 65 * kMiB + (carvedAtOnce ? 26 * kMiB : 0)); // 16 to 40 MiB, in 1 MiB pieces
    }
}

TEST(CarveEngineTest, ACancelledScanDecidesWhatWaitsWithoutReadingOn)
{
    // Guards against a cancelled scan reading on for a candidate still waiting, or losing it.
    constexpr uint64_t kMiB = 1024 * 1024;
    const Signature kMarker { 0xEE, 0xE0, 0xEF }, kGamma { 0xC1, 0xC2 };
    auto source = imageWith(64 * kMiB, { { 512, kAlpha }, { 8 * kMiB, kGamma } });
    source->place(40 * kMiB, kMarker);
    std::unique_ptr<CarveEngine> engine;
    auto canceller = std::make_shared<FakeCarver>(kGamma, 100, CarveConfidence::exact, FormatCategory::documents);
    canceller->onCarve = [&](uint64_t) -> std::optional<CarveMatch> {
        engine->cancel();
        return std::nullopt;
    };
    TemporaryFolder folder;
    engine = std::make_unique<CarveEngine>(source, CarveEngine::Config { .outputDirectory = folder.path(), .enabledCategories = { FormatCategory::documents }, .chunkSize = static_cast<int64_t>(4 * kMiB),
        .fileSystems = CarveEngine::Config::FileSystems::ignore }, std::vector<FormatCarverPtr> { std::make_shared<SearchingCarver>(kMarker, 64 * kMiB, CarveConfidence::exact),
        std::make_shared<FakeCarver>(kAlpha, 100, CarveConfidence::heuristic, FormatCategory::documents), canceller });
    CarveReport report = engine->run();
    EXPECT_TRUE(report.cancelled);
    ASSERT_EQ(report.files.size(), 1u) << "the guess of the carver after the waiting one";
    EXPECT_EQ(std::tuple(report.files[0].start, report.files[0].length, report.files[0].confidence), std::tuple(uint64_t { 512 }, uint64_t { 100 }, CarveConfidence::heuristic));
    EXPECT_LT(source->delivered, 16 * kMiB);
}

TEST(CarveEngineTest, SourceFaults)
{
    TemporaryFolder folder;
    EXPECT_THROW(run(sourceOf({}), {}, folder), CarveError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "out")) << "an empty source creates nothing";
    auto failing = std::make_shared<SparseSource>(16384);
    failing->failFrom = 8192;
    EXPECT_THROW(run(failing, {}, folder), DeviceError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "out" / CarveReport::kFileName));
    auto shrunk = std::make_shared<SparseSource>(1 << 20); // a device that claims more than it delivers must not make the engine spin
    shrunk->endsAt = 8192;
    EXPECT_EQ(run(shrunk, {}, folder).scannedBytes, 8192u);
    // Regression from fuzzing: a chunk read ahead that fails, but that an exact file spans, is dropped with its error.
    auto readAhead = imageWith(32768, { { 1024, kAlpha }, { 20480, kAlpha } });
    std::tie(readAhead->failFrom, readAhead->failTo, readAhead->concurrent) = std::tuple(4096, 4097, true);
    EXPECT_EQ(scan(readAhead, { checked(std::make_shared<FakeCarver>(kAlpha, 12000)) }), (Starts { 1024, 20480 }));
}

}
}
