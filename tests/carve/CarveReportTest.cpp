#include "TestSupport.hpp"

#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

CarveReport sampleReport()
{
    CarveReport report { "/dev/sdb", 2'000'000'000'000, 1'500'000'000'000, 12.5, 3, true, {} };
    report.files.push_back({ 1'048'576, 53'542, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "9a3f0c1d2e4b5a67" });
    report.files.push_back({ 1'999'999'999'488, 512, "cr2", FormatCategory::rawPhotos, CarveConfidence::heuristic, "/out/CR2/f3906249999.cr2", std::nullopt });
    return report;
}

/// Decoding must fail with a ReportFormatError whose message names `expected` and can be shown as it is.
void expectRejected(std::string_view text, std::string_view expected)
{
    try {
        CarveReport::fromJson(text);
        ADD_FAILURE() << "accepted";
    } catch (const ReportFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).find_first_of("\xC0\xC3\xED\xEF\xFF"), std::string::npos) << error.what();
    }
}

TEST(CarveReportTest, RoundTripsWithEscapedSlashesAndNoAbsentDigest)
{
    const std::string text = sampleReport().toJson();
    EXPECT_EQ(CarveReport::fromJson(text), sampleReport());
    EXPECT_NE(text.find("\\/dev\\/sdb"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_LT(text.find("\"badReads\""), text.find("\"totalBytes\"")) << "sorted keys";
    TemporaryFolder folder;
    ASSERT_TRUE(sampleReport().writeFile(folder.path()));
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), sampleReport());
    EXPECT_THROW(CarveReport::readFile(folder.path()), ReportFormatError) << "a folder in place of the file";
}

TEST(CarveReportTest, BadMembersAreNamedInTheError)
{
    // Guards against nlohmann's silent conversions: a string, fraction or overflowing number read as a size.
    const std::string text = sampleReport().toJson();
    const std::pair<std::string, std::string> edits[] {
        { "\"totalBytes\": 2000000000000", "\"totalBytes\": \"2000000000000\"" }, { "\"totalBytes\": 2000000000000", "\"totalBytes\": 18446744073709551616" },
        { "\"scannedBytes\": 1500000000000", "\"scannedBytes\": 1.5e12" }, { "\"badReads\": 3", "\"badReads\": 3.5" },
        { "\"badReads\": 3", "\"badReads\": 9223372036854775808" }, { "\"duration\": 12.5", "\"duration\": \"12.5\"" },
        { "\"cancelled\": true", "\"cancelled\": 1" }, { "\"sourceDescription\": \"\\/dev\\/sdb\"", "\"sourceDescription\": null" },
        { "\"start\": 1048576", "\"start\": -1048576" }, { "\"length\": 53542", "\"length\": 1e30" }, { "\"ext\": \"jpg\"", "\"ext\": 7" },
        { "\"category\": \"photos\"", "\"category\": \"Photos\"" }, { "\"confidence\": \"exact\"", "\"confidence\": \"maybe\"" },
        { "\"headDigest\": \"9a3f0c1d2e4b5a67\"", "\"headDigest\": null" }, { "\"outputPath\": \"\"", "\"outputPath\": {}" },
        { "\"totalBytes\"", "\"unknown\"" }, { "\"files\": [", "\"files\": {\"a\": 1}, \"x\": [" },
    };
    for (const auto& [from, to] : edits) {
        SCOPED_TRACE(to);
        auto at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        std::string member = from.substr(1, from.find('"', 1) - 1);
        expectRejected(std::string(text).replace(at, from.size(), to), member);
    }
    auto extremes = CarveReport::fromJson(R"({"badReads":-9223372036854775808,"cancelled":false,"duration":1,"files":[],"scannedBytes":1,"sourceDescription":"/a","totalBytes":18446744073709551615})");
    EXPECT_EQ(std::tuple(extremes.badReads, extremes.totalBytes, extremes.sourceDescription), std::tuple(INT64_MIN, UINT64_MAX, "/a")) << "plain slashes and the types' extremes";
}

TEST(CarveReportTest, BrokenTextIsAShowableFormatError)
{
    // Guards against a report cut short by a full disk being read as a shorter one, a
    // hostile one exhausting the stack, and the parser quoting bytes a screen cannot show.
    const std::string text = sampleReport().toJson();
    std::vector<std::string> broken { std::string(100'000, '['), "\xEF\xBB\xBF\xFF" + text };
    for (size_t cut = 0; cut < text.rfind('}'); ++cut)
        broken.push_back(text.substr(0, cut));
    for (const char* bytes : { "\xFF", "\xC3", "\xED\xA0\x80", "\xC0\xAF" })
        broken.push_back(std::string(text).replace(text.find("sdb"), 3, bytes));
    for (const auto& bad : broken) {
        SCOPED_TRACE(testing::PrintToString(bad.substr(0, 40)));
        expectRejected(bad, "report");
    }
}

}
}
