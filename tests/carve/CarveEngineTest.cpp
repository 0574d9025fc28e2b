#include "TestSupport.hpp"

#include "carve/CarveEngine.hpp"
#include "carve/CarveError.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace brightfold::test {
namespace {

/// A carver whose answer the test decides: by default a file of `length` bytes.
class FakeCarver final : public FormatCarver {
public:
    FakeCarver(Signature signature, uint64_t length, CarveConfidence confidence = CarveConfidence::exact, FormatCategory category = FormatCategory::photos, int64_t offset = 0)
        : FormatCarver("fake", { category }, { std::move(signature) }, offset), m_match { length, "fake", category, confidence } { }
    std::optional<CarveMatch> carve(uint64_t at, ReadContext&) const override
    {
        calls.push_back(at);
        return onCarve ? onCarve(at) : m_match;
    }

    mutable std::vector<uint64_t> calls;
    std::function<std::optional<CarveMatch>(uint64_t)> onCarve;

private:
    CarveMatch m_match;
};

const Signature kAlpha { 0xA1, 0xA2, 0xA3 };
const Signature kBeta { 0xB1, 0xB2 };
using Starts = std::vector<uint64_t>;

std::vector<uint8_t> imageWith(size_t size, std::initializer_list<std::pair<size_t, Signature>> placed)
{
    ByteBuilder builder;
    builder.fill(size);
    for (const auto& [at, signature] : placed)
        builder.place(at, signature);
    return builder.build();
}

CarveEngine::Config config(const TemporaryFolder& folder, int64_t chunkSize = 4096, int64_t stride = 512, CategorySet categories = { kAllFormatCategories.begin(), kAllFormatCategories.end() })
{
    return { folder.path() / "out", categories, CarveEngine::Config::OutputMode::catalog, chunkSize, stride, 0 };
}

Starts startsOf(const CarveReport& report)
{
    Starts starts;
    for (const auto& file : report.files)
        starts.push_back(file.start);
    return starts;
}

Starts scan(ByteSourcePtr source, std::vector<FormatCarverPtr> carvers, int64_t chunkSize = 4096, int64_t stride = 512, CategorySet categories = { kAllFormatCategories.begin(), kAllFormatCategories.end() })
{
    TemporaryFolder folder;
    return startsOf(CarveEngine(std::move(source), config(folder, chunkSize, stride, categories), std::move(carvers)).run());
}

TEST(CarveEngineTest, CandidatesAndSkips)
{
    auto exact = [](uint64_t length, int64_t offset = 0) { return std::make_shared<FakeCarver>(kAlpha, length, CarveConfidence::exact, FormatCategory::photos, offset); };
    auto inner = std::make_shared<FakeCarver>(kBeta, 100), heuristic = std::make_shared<FakeCarver>(kAlpha, 10'000, CarveConfidence::heuristic);
    auto archive = std::make_shared<FakeCarver>(kAlpha, 3000, CarveConfidence::exact, FormatCategory::archives);
    auto document = std::make_shared<FakeCarver>(kBeta, 100, CarveConfidence::exact, FormatCategory::documents);
    auto threeFiles = imageWith(16384, { { 0, kAlpha }, { 4096, kBeta }, { 10240, kBeta } });
    EXPECT_EQ(scan(memorySource(imageWith(2048, { { 0, kAlpha }, { 513, kAlpha }, { 1024, kAlpha } })), { exact(400) }), (Starts { 0, 1024 })) << "grid positions only";
    EXPECT_EQ(scan(memorySource(threeFiles), { exact(10'000), inner }, 16384), (Starts { 0, 10240 })) << "an exact file hides what lies inside it";
    EXPECT_EQ(inner->calls, (Starts { 10240 }));
    EXPECT_EQ(scan(memorySource(threeFiles), { heuristic, inner }, 16384), (Starts { 0, 4096, 10240 })) << "a heuristic file hides nothing";
    EXPECT_EQ(scan(memorySource(imageWith(8192, { { 0, kAlpha }, { 1024, kBeta }, { 4096, kBeta } })), { archive, document }, 4096, 512, { FormatCategory::documents }),
        (Starts { 4096 })) << "a file of an unasked category is skipped, not listed";
    EXPECT_EQ(scan(memorySource(imageWith(4096, { { 1028, kAlpha }, { 2048, kAlpha } })), { exact(100, 4) }), (Starts { 1024 })) << "signature offset";
    EXPECT_EQ(scan(memorySource(imageWith(4096, { { 1534, kAlpha }, { 4094, kAlpha } })), { exact(100, 510) }, 2048), (Starts { 1024 })) << "signature across the chunk end";
    EXPECT_EQ(scan(memorySource(imageWith(16384, { { 1024, kAlpha }, { 6144, kAlpha }, { 12288, kAlpha } })), { exact(5000) }), (Starts { 1024, 6144, 12288 }))
        << "an exact file ending in a later chunk";
    // Regressions from fuzzing: chunks that are no multiple of the stride lost the grid, and a
    // short file at the start of an off-grid chunk sent the scan back to it for ever.
    auto offGrid = imageWith(16384, { { 4608, kAlpha }, { 8192, kAlpha }, { 12800, kAlpha } });
    EXPECT_EQ(scan(memorySource(offGrid), { exact(1400) }, 1536, 1024), (Starts { 8192 }));
    EXPECT_EQ(scan(memorySource(offGrid), { exact(1400) }, 1536, 512), (Starts { 4608, 8192, 12800 }));
    EXPECT_EQ(scan(memorySource(imageWith(16384, { { 5120, kAlpha }, { 9216, kAlpha } })), { exact(100) }, 1536, 1024), (Starts { 5120, 9216 }));
    EXPECT_EQ(scan(memorySource(imageWith(16384, { { 5120, kAlpha }, { 9216, kAlpha } })), { exact(100) }, 1000, 1024), (Starts { 5120, 9216 }));
}

TEST(CarveEngineTest, EarlierCarverWinsUnlessItDeclinesOrThrows)
{
    for (int answer = 0; answer < 4; ++answer) {
        SCOPED_TRACE(answer);
        auto first = std::make_shared<FakeCarver>(kAlpha, 100);
        auto second = std::make_shared<FakeCarver>(kAlpha, 100, CarveConfidence::heuristic);
        first->onCarve = [answer](uint64_t) -> std::optional<CarveMatch> {
            if (answer == 3)
                throw DeviceError::readFailed(0, EIO);
            return answer == 1 ? std::nullopt : std::optional(CarveMatch { answer == 0 ? 100u : 0u, "first" });
        };
        TemporaryFolder folder;
        auto report = CarveEngine(memorySource(imageWith(4096, { { 0, kAlpha }, { 1024, kAlpha } })), config(folder), { first, second }).run();
        EXPECT_EQ(report.files.size() == 2 ? report.files[0].ext : "", answer == 0 ? "first" : "fake");
    }
}

TEST(CarveEngineTest, ClippingDigestsAndCopies)
{
    TemporaryFolder folder;
    auto bytes = patterned(2 * 1024 * 1024);
    for (size_t at : { 0, 1024 * 1024, 2 * 1024 * 1024 - 1024 })
        std::copy(kAlpha.begin(), kAlpha.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    auto carver = std::make_shared<FakeCarver>(kAlpha, 6000);
    auto settings = config(folder, 512 * 1024);
    settings.output = CarveEngine::Config::OutputMode::files;
    auto report = CarveEngine(memorySource(bytes), settings, { carver }).run();
    ASSERT_EQ(startsOf(report), (Starts { 0, 1024 * 1024, 2 * 1024 * 1024 - 1024 }));
    EXPECT_EQ(report.files[1].headDigest, CarvedFile::headDigestOf(std::span(bytes).subspan(1024 * 1024, 4096)));
    EXPECT_EQ(std::pair(report.files[2].length, report.files[2].confidence), std::pair(uint64_t { 1024 }, CarveConfidence::heuristic)) << "a length past the source is clipped";
    auto copy = std::filesystem::absolute(folder.path() / "out" / "FAKE" / "f2048.fake");
    EXPECT_EQ(report.files[1].outputPath, copy.string());
    EXPECT_EQ(readWholeFile(copy), std::vector<uint8_t>(bytes.begin() + 1024 * 1024, bytes.begin() + 1024 * 1024 + 6000));
    EXPECT_EQ(CarveReport::readFile(folder.path() / "out" / CarveReport::kFileName), report);
}

TEST(CarveEngineTest, CancelDuringAChunkKeepsItsFilesAndReportsItsStart)
{
    constexpr size_t kMiB = 1024 * 1024;
    TemporaryFolder folder;
    auto carver = std::make_shared<FakeCarver>(kAlpha, 100);
    std::unique_ptr<CarveEngine> engine;
    carver->onCarve = [&](uint64_t at) -> std::optional<CarveMatch> {
        if (at == 8 * kMiB + 512)
            engine->cancel();
        return CarveMatch { 100, "fake" };
    };
    // The cancel arrives in the second 8 MiB chunk and is noticed at its 4 MiB check.
    auto bytes = imageWith(16 * kMiB, { { kMiB, kAlpha }, { 8 * kMiB + 512, kAlpha }, { 10 * kMiB, kAlpha }, { 13 * kMiB, kAlpha } });
    engine = std::make_unique<CarveEngine>(memorySource(bytes), config(folder, 8 * kMiB), std::vector<FormatCarverPtr> { carver });
    CarveReport report = engine->run();
    EXPECT_EQ(std::tuple(report.cancelled, report.scannedBytes, startsOf(report)), std::tuple(true, 8 * kMiB, Starts { kMiB, 8 * kMiB + 512, 10 * kMiB }));
    EXPECT_TRUE(CarveReport::readFile(folder.path() / "out" / CarveReport::kFileName).cancelled);
}

TEST(CarveEngineTest, SourceFaults)
{
    TemporaryFolder folder;
    EXPECT_THROW(CarveEngine(memorySource({}), config(folder), {}).run(), CarveError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "out")) << "an empty source creates nothing";
    auto failing = std::make_shared<FaultySource>(std::vector<uint8_t>(16384), 8192, 8193);
    EXPECT_THROW(CarveEngine(failing, config(folder), {}).run(), DeviceError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "out" / CarveReport::kFileName));
    // A device that claims more bytes than it delivers must not make the engine spin.
    auto shrunk = std::make_shared<FaultySource>(std::vector<uint8_t>(8192));
    shrunk->claimedSize = 1 << 20;
    EXPECT_EQ(CarveEngine(shrunk, config(folder), {}).run().scannedBytes, 8192u);
    // Regression from fuzzing: a chunk read ahead that fails, but that an exact file spans, is dropped with its error.
    auto readAhead = std::make_shared<FaultySource>(imageWith(32768, { { 1024, kAlpha }, { 20480, kAlpha } }), 4096, 4097);
    readAhead->concurrent = true;
    EXPECT_EQ(scan(readAhead, { std::make_shared<FakeCarver>(kAlpha, 12000) }), (Starts { 1024, 20480 }));
}

}
}
