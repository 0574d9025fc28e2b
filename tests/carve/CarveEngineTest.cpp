#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveExporter.hpp"
#include "carve/CarveError.hpp"
#include "device/DeviceError.hpp"

#include <gtest/gtest.h>

#include <functional>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// A carver whose answer the test decides: by default an exact file of `length` bytes.
class FakeCarver final : public FormatCarver {
public:
    FakeCarver(std::string id, Signature signature, uint64_t length, CarveConfidence confidence = CarveConfidence::exact,
        FormatCategory category = FormatCategory::photos, int64_t signatureOffset = 0)
        : FormatCarver(id, { category, FormatCategory::documents }, { std::move(signature) }, signatureOffset, { 0, 0 })
        , m_match { length, id, category, confidence }
    {
    }

    std::optional<CarveMatch> carve(uint64_t at, ReadContext&) const override
    {
        calls.push_back(at);
        if (onCarve)
            return onCarve(at);
        return m_match;
    }

    mutable std::vector<uint64_t> calls;
    std::function<std::optional<CarveMatch>(uint64_t)> onCarve;

private:
    CarveMatch m_match;
};

/// A source whose chunk reads can fail or come back empty, for the engine's error paths.
class ScriptedSource final : public ByteSource {
public:
    explicit ScriptedSource(std::vector<uint8_t> bytes, uint64_t claimedSize = 0)
        : m_inner(std::move(bytes)), m_claimedSize(claimedSize) { }
    uint64_t size() const override { return m_claimedSize ? m_claimedSize : m_inner.size(); }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "scripted"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (failAt && offset == *failAt)
            throw DeviceError::readFailed(offset, EIO);
        return m_inner.readInto(offset, buffer);
    }
    bool allowsConcurrentReads() const override { return concurrent; }
    std::optional<uint64_t> failAt;
    bool concurrent { false };

private:
    MemorySource m_inner;
    uint64_t m_claimedSize;
};

const Signature kAlpha { 0xA1, 0xA2, 0xA3 };
const Signature kBeta { 0xB1, 0xB2 };

struct EngineFixture {
    TemporaryFolder folder;

    CarveEngine::Config config(int64_t chunkSize = 4096, double interval = 0,
        CarveEngine::Config::OutputMode mode = CarveEngine::Config::OutputMode::catalog)
    {
        return { folder.path() / "out", { kAllFormatCategories.begin(), kAllFormatCategories.end() }, mode, chunkSize, 512, interval };
    }
};

std::vector<uint64_t> startsOf(const CarveReport& report)
{
    std::vector<uint64_t> starts;
    for (const auto& file : report.files)
        starts.push_back(file.start);
    return starts;
}

std::vector<uint8_t> imageWith(size_t size, std::initializer_list<std::pair<size_t, Signature>> placed)
{
    ByteBuilder builder;
    builder.fill(size, 0x00);
    for (const auto& [at, signature] : placed)
        builder.place(at, signature);
    return builder.build();
}

}

TEST(CarveEngineTest, EmptySourceThrowsBeforeCreatingAnything)
{
    EngineFixture fixture;
    CarveEngine engine(memorySource({}), fixture.config());
    try {
        engine.run();
        FAIL() << "scanned an empty source";
    } catch (const CarveError& error) {
        EXPECT_EQ(error.kind(), CarveError::Kind::emptySource);
        EXPECT_STREQ(error.what(), "The selected source reports a size of zero bytes.");
    }
    EXPECT_FALSE(std::filesystem::exists(fixture.folder.path() / "out"));
}

TEST(CarveEngineTest, OneByteSourceGivesAnEmptyReport)
{
    EngineFixture fixture;
    CarveEngine engine(memorySource({ 0x42 }), fixture.config());
    CarveReport report = engine.run();
    EXPECT_TRUE(report.files.empty());
    EXPECT_EQ(report.scannedBytes, 1u);
    EXPECT_EQ(report.totalBytes, 1u);
    EXPECT_FALSE(report.cancelled);
    EXPECT_EQ(CarveReport::readFile(fixture.folder.path() / "out" / CarveReport::kFileName), report);
}

TEST(CarveEngineTest, OnlyGridPositionsAreCandidates)
{
    EngineFixture fixture;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 400);
    CarveEngine engine(memorySource(imageWith(2048, { { 0, kAlpha }, { 513, kAlpha }, { 1024, kAlpha } })), fixture.config(), { carver });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 0, 1024 }));
}

TEST(CarveEngineTest, ExactFileHidesWhatIsInsideAndScanResumesAtItsRoundedEnd)
{
    EngineFixture fixture;
    auto outer = std::make_shared<FakeCarver>("alpha", kAlpha, 10'000);
    auto inner = std::make_shared<FakeCarver>("beta", kBeta, 100);
    auto bytes = imageWith(16384, { { 0, kAlpha }, { 4096, kBeta }, { 10240, kBeta } });
    CarveEngine engine(memorySource(bytes), fixture.config(16384), { outer, inner });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 0, 10240 }));
    EXPECT_EQ(inner->calls, (std::vector<uint64_t> { 10240 }));
}

TEST(CarveEngineTest, HeuristicFileHidesNothing)
{
    EngineFixture fixture;
    auto outer = std::make_shared<FakeCarver>("alpha", kAlpha, 10'000, CarveConfidence::heuristic);
    auto inner = std::make_shared<FakeCarver>("beta", kBeta, 100);
    CarveEngine engine(memorySource(imageWith(16384, { { 0, kAlpha }, { 4096, kBeta } })), fixture.config(16384), { outer, inner });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 0, 4096 }));
}

TEST(CarveEngineTest, LengthPastTheEndIsClippedAndHeuristic)
{
    EngineFixture fixture;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 1024 + 100);
    CarveEngine engine(memorySource(imageWith(2048, { { 1024, kAlpha } })), fixture.config(), { carver });
    CarveReport report = engine.run();
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].length, 1024u);
    EXPECT_EQ(report.files[0].confidence, CarveConfidence::heuristic);
}

TEST(CarveEngineTest, MatchOfAnUnaskedCategoryIsSkippedButNotRecorded)
{
    EngineFixture fixture;
    auto zip = std::make_shared<FakeCarver>("zip", kAlpha, 3000, CarveConfidence::exact, FormatCategory::archives);
    auto inner = std::make_shared<FakeCarver>("beta", kBeta, 100, CarveConfidence::exact, FormatCategory::documents);
    auto config = fixture.config();
    config.enabledCategories = { FormatCategory::documents };
    CarveEngine engine(memorySource(imageWith(8192, { { 0, kAlpha }, { 1024, kBeta }, { 4096, kBeta } })), config, { zip, inner });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 4096 }));
}

TEST(CarveEngineTest, EarlierCarverWinsUnlessItDeclinesOrThrows)
{
    auto bytes = imageWith(4096, { { 0, kAlpha }, { 512, kAlpha }, { 1024, kAlpha } });
    for (int answer = 0; answer < 4; ++answer) {
        SCOPED_TRACE(answer);
        EngineFixture fixture;
        auto first = std::make_shared<FakeCarver>("first", kAlpha, 100);
        auto second = std::make_shared<FakeCarver>("second", kAlpha, 100);
        first->onCarve = [answer](uint64_t) -> std::optional<CarveMatch> {
            switch (answer) {
            case 0: return CarveMatch { 100, "first", FormatCategory::photos, CarveConfidence::exact };
            case 1: return std::nullopt;
            case 2: return CarveMatch { 0, "first", FormatCategory::photos, CarveConfidence::exact };
            default: throw DeviceError::readFailed(0, EIO);
            }
        };
        CarveEngine engine(memorySource(bytes), fixture.config(), { first, second });
        CarveReport report = engine.run();
        ASSERT_EQ(report.files.size(), 3u);
        EXPECT_EQ(report.files[0].ext, answer == 0 ? "first" : "second");
        EXPECT_EQ(second->calls.size(), answer == 0 ? 0u : 3u);
    }
}

TEST(CarveEngineTest, SignatureOffsetIsMatchedAfterTheCandidateStart)
{
    EngineFixture fixture;
    auto boxed = std::make_shared<FakeCarver>("boxed", kAlpha, 100, CarveConfidence::exact, FormatCategory::video, 4);
    CarveEngine engine(memorySource(imageWith(4096, { { 1024 + 4, kAlpha }, { 2048, kAlpha } })), fixture.config(), { boxed });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 1024 }));
}

TEST(CarveEngineTest, SignatureCrossingTheChunkEndIsNotSeen)
{
    EngineFixture fixture;
    auto boxed = std::make_shared<FakeCarver>("boxed", kAlpha, 100, CarveConfidence::exact, FormatCategory::video, 510);
    CarveEngine engine(memorySource(imageWith(4096, { { 1024 + 510, kAlpha }, { 3584 + 510, kAlpha } })), fixture.config(2048), { boxed });
    EXPECT_EQ(startsOf(engine.run()), (std::vector<uint64_t> { 1024 }));
}

TEST(CarveEngineTest, ExactFileEndingBeyondTheChunkStartsTheNextChunkThere)
{
    EngineFixture fixture;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 5000);
    std::vector<uint64_t> scanned;
    CarveEngine engine(memorySource(imageWith(16384, { { 1024, kAlpha }, { 6144, kAlpha }, { 12288, kAlpha } })), fixture.config(4096), { carver });
    engine.onProgress = [&](const CarveProgress& progress) { scanned.push_back(progress.bytesScanned); };
    CarveReport report = engine.run();
    // 1024 + 5000 = 6024, rounded up to 6144; that file ends at 11144 -> 11264.
    EXPECT_EQ(startsOf(report), (std::vector<uint64_t> { 1024, 6144, 12288 }));
    ASSERT_GE(scanned.size(), 2u);
    EXPECT_EQ(scanned[0], 6144u);
    EXPECT_EQ(scanned[1], 11264u);
    EXPECT_EQ(scanned.back(), 16384u);
}

TEST(CarveEngineTest, CancelDuringAChunkKeepsItsFilesAndReportsItsStart)
{
    constexpr size_t kMiB = 1024 * 1024;
    EngineFixture fixture;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 100);
    auto bytes = imageWith(16 * kMiB, { { kMiB, kAlpha }, { 8 * kMiB + 512, kAlpha }, { 10 * kMiB, kAlpha }, { 13 * kMiB, kAlpha } });
    std::unique_ptr<CarveEngine> engine;
    carver->onCarve = [&](uint64_t at) -> std::optional<CarveMatch> {
        if (at == 8 * kMiB + 512)
            engine->cancel();
        return CarveMatch { 100, "alpha", FormatCategory::photos, CarveConfidence::exact };
    };
    // The cancel arrives in the second 8 MiB chunk and is noticed at its 4 MiB check.
    engine = std::make_unique<CarveEngine>(memorySource(bytes), fixture.config(8 * kMiB), std::vector<FormatCarverPtr> { carver });
    CarveReport report = engine->run();
    EXPECT_TRUE(report.cancelled);
    EXPECT_EQ(report.scannedBytes, 8 * kMiB);
    EXPECT_EQ(startsOf(report), (std::vector<uint64_t> { kMiB, 8 * kMiB + 512, 10 * kMiB }));
    EXPECT_TRUE(CarveReport::readFile(fixture.folder.path() / "out" / CarveReport::kFileName).cancelled);
}

TEST(CarveEngineTest, CancelBeforeRunStopsAtOnceAndStillWritesTheReport)
{
    EngineFixture fixture;
    CarveEngine engine(memorySource(imageWith(4096, { { 0, kAlpha } })), fixture.config(),
        { std::make_shared<FakeCarver>("alpha", kAlpha, 100) });
    engine.cancel();
    CarveReport report = engine.run();
    EXPECT_TRUE(report.cancelled);
    EXPECT_EQ(report.scannedBytes, 0u);
    EXPECT_TRUE(report.files.empty());
    EXPECT_TRUE(std::filesystem::exists(fixture.folder.path() / "out" / CarveReport::kFileName));
}

TEST(CarveEngineTest, SnapshotsAfterTheFirstChunkAndAtTheEnd)
{
    EngineFixture fixture;
    CarveEngine engine(memorySource(std::vector<uint8_t>(16384)), fixture.config(4096, 3600), {});
    std::vector<CarveProgress> snapshots;
    engine.onProgress = [&](const CarveProgress& progress) { snapshots.push_back(progress); };
    engine.run();
    ASSERT_EQ(snapshots.size(), 2u);
    EXPECT_EQ(snapshots[0].bytesScanned, 4096u);
    EXPECT_EQ(snapshots[1].bytesScanned, 16384u);
    EXPECT_EQ(snapshots[1].totalBytes, 16384u);
}

TEST(CarveEngineTest, HeadDigestCoversTheFirstBytesOfEachFile)
{
    EngineFixture fixture;
    auto bytes = imageWith(16384, { { 0, kAlpha }, { 8192, kAlpha } });
    bytes[100] = 0x55;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 6000);
    CarveEngine engine(memorySource(bytes), fixture.config(), { carver });
    CarveReport report = engine.run();
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[0].headDigest, CarvedFile::headDigestOf(std::span(bytes).subspan(0, 4096)));
    EXPECT_EQ(report.files[1].headDigest, CarvedFile::headDigestOf(std::span(bytes).subspan(8192, 4096)));
    EXPECT_NE(report.files[0].headDigest, report.files[1].headDigest);
}

TEST(CarveEngineTest, SampleDigestsTakenAcrossChunksAreTheOnesASaveChecks)
{
    // Guards against a card written to past a file's head after the scan being saved as recovered.
    constexpr size_t kMiB = 1024 * 1024;
    EngineFixture fixture;
    auto bytes = imageWith(8 * kMiB, { { 0, kAlpha }, { 4 * kMiB, kAlpha } });
    CarveEngine engine(memorySource(bytes), fixture.config(kMiB), { std::make_shared<FakeCarver>("alpha", kAlpha, 3 * kMiB + 1000) });
    CarveReport report = engine.run();
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[1].sampleDigests->size(), 4u); // at 1, 2 and 3 MiB, and the last 4 KiB
    EXPECT_EQ(CarveReport::readFile(fixture.folder.path() / "out" / CarveReport::kFileName), report);

    std::fill_n(bytes.begin() + 4 * kMiB + kMiB / 2, kMiB, uint8_t { 0xE5 }); // a new photo over the second file's middle
    MemorySource card(bytes);
    auto result = CarveExporter().exportFiles(report.files, card, fixture.folder.path() / "saved");
    EXPECT_EQ(result.saved, (std::vector<CarvedFile> { report.files[0] }));
    EXPECT_EQ(result.changed, (std::vector<CarvedFile> { report.files[1] }));
}

TEST(CarveEngineTest, ChunkReadErrorLeavesRunWithoutAReportFile)
{
    EngineFixture fixture;
    auto source = std::make_shared<ScriptedSource>(std::vector<uint8_t>(16384));
    source->failAt = 8192;
    CarveEngine engine(source, fixture.config(4096), {});
    EXPECT_THROW(engine.run(), DeviceError);
    EXPECT_FALSE(std::filesystem::exists(fixture.folder.path() / "out" / CarveReport::kFileName));
}

TEST(CarveEngineTest, SourceThatReturnsNothingBelowItsSizeEndsTheScan)
{
    // A device that claims more bytes than it delivers must not make the engine spin.
    EngineFixture fixture;
    auto source = std::make_shared<ScriptedSource>(std::vector<uint8_t>(8192), 1 << 20);
    CarveEngine engine(source, fixture.config(4096), {});
    CarveReport report = engine.run();
    EXPECT_EQ(report.scannedBytes, 8192u);
    EXPECT_EQ(report.totalBytes, 1u << 20);
}

TEST(CarveEngineTest, OutputFolderThatCannotBeWrittenIsRefused)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root can write anywhere";
    EngineFixture fixture;
    std::filesystem::create_directories(fixture.folder.path() / "out");
    std::filesystem::permissions(fixture.folder.path() / "out", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    CarveEngine engine(memorySource({ 1 }), fixture.config(), {});
    EXPECT_THROW(engine.run(), CarveError);
}

TEST(CarveEngineTest, FilesModeCopiesEachRecordedFileIntoItsExtensionFolder)
{
    EngineFixture fixture;
    auto bytes = imageWith(2 * 1024 * 1024, { { 1'048'576, kAlpha } });
    for (size_t i = 1'048'576 + 3; i < 1'048'576 + 700; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    auto carver = std::make_shared<FakeCarver>("png", kAlpha, 700);
    CarveEngine engine(memorySource(bytes), fixture.config(512 * 1024, 0, CarveEngine::Config::OutputMode::files), { carver });
    CarveReport report = engine.run();
    ASSERT_EQ(report.files.size(), 1u);
    auto expected = std::filesystem::absolute(fixture.folder.path() / "out" / "PNG" / "f2048.png");
    EXPECT_EQ(report.files[0].outputPath, expected.string());
    EXPECT_EQ(readWholeFile(expected), std::vector<uint8_t>(bytes.begin() + 1'048'576, bytes.begin() + 1'048'576 + 700));
}

TEST(CarveEngineTest, ReadAheadThatTheScanJumpsOverIsDroppedWithItsError)
{
    // The chunk after the first is read ahead and fails, but an exact file spans it.
    EngineFixture fixture;
    auto source = std::make_shared<ScriptedSource>(imageWith(32768, { { 1024, kAlpha }, { 20480, kAlpha } }));
    source->failAt = 4096;
    source->concurrent = true;
    auto carver = std::make_shared<FakeCarver>("alpha", kAlpha, 12000);
    CarveEngine engine(source, fixture.config(4096), { carver });
    CarveReport report = engine.run();
    EXPECT_EQ(startsOf(report), (std::vector<uint64_t> { 1024, 20480 }));
    EXPECT_EQ(report.scannedBytes, 32768u);
}

TEST(CarveEngineTest, ReadAheadGivesTheSameFilesAsPlainReads)
{
    auto bytes = imageWith(64 * 1024, { { 0, kAlpha }, { 3584, kBeta }, { 9216, kAlpha }, { 30720, kAlpha }, { 40960, kBeta }, { 61440, kAlpha } });
    std::vector<std::vector<uint64_t>> results;
    for (bool concurrent : { false, true }) {
        SCOPED_TRACE(concurrent);
        EngineFixture fixture;
        auto source = std::make_shared<ScriptedSource>(bytes);
        source->concurrent = concurrent;
        auto exact = std::make_shared<FakeCarver>("alpha", kAlpha, 7000);
        auto heuristic = std::make_shared<FakeCarver>("beta", kBeta, 20000, CarveConfidence::heuristic);
        CarveEngine engine(source, fixture.config(4096), { exact, heuristic });
        results.push_back(startsOf(engine.run()));
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], (std::vector<uint64_t> { 0, 9216, 30720, 40960, 61440 }));
}
