#include "TestSupport.hpp"

#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {
namespace {

CarveReport sampleReport()
{
    CarveReport report { "/dev/sdb", 2'000'000'000'000, 1'500'000'000'000, 12.5, 3, true, {} };
    report.files.push_back({ 1'048'576, 53'542, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "9a3f0c1d2e4b5a67", std::vector<std::string> { "0123456789abcdef", "fedcba9876543210" } });
    report.files.push_back({ 1'999'999'999'488, 512, "cr2", FormatCategory::rawPhotos, CarveConfidence::heuristic, "/out/CR2/f3906249999.cr2", std::nullopt, {} });
    return report;
}

/// The sample report with a file that a file system named and reassembled.
CarveReport namedReport()
{
    CarveReport report = sampleReport();
    report.files[0].name = "Beach/\"day\" é.jpg";
    report.files[0].folder = "DCIM/100CANON";
    report.files[0].modified = "2024-05-01T12:34:56";
    report.files[0].runs = std::vector<SourceRun> { { 1'048'576, 32768 }, { 1'114'112, 20'774 } };
    return report;
}

TEST(CarveReportTest, RoundTripsWithEscapedSlashesAndNoAbsentDigest)
{
    const std::string text = sampleReport().toJson();
    EXPECT_EQ(CarveReport::fromJson(text), sampleReport());
    EXPECT_NE(text.find("\\/dev\\/sdb"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_LT(text.find("\"badReads\""), text.find("\"totalBytes\"")) << "sorted keys";
    auto extremes = CarveReport::fromJson(R"({"badReads":-9223372036854775808,"cancelled":false,"duration":1,"files":[],"scannedBytes":1,"sourceDescription":"/a","totalBytes":18446744073709551615})");
    EXPECT_EQ(std::tuple(extremes.badReads, extremes.totalBytes, extremes.sourceDescription), std::tuple(INT64_MIN, UINT64_MAX, "/a")) << "plain slashes and the types' extremes";
    TemporaryFolder folder;
    EXPECT_EQ(sampleReport().writeFile(folder.path()), folder.path() / CarveReport::kFileName);
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), sampleReport());
    // A later scan or save never replaces a report: it is refused, or takes the next free name.
    CarveReport later { "/dev/sdc", 1, 1, 1, 0, false, {} };
    EXPECT_THROW(later.writeFile(folder.path()), ReportWriteError);
    EXPECT_EQ(later.writeFile(folder.path(), ReportNaming::firstFree), folder.path() / "brightfold-report-1.json");
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), sampleReport());
    EXPECT_THROW(sampleReport().writeFile(folder.path() / "missing" / "folder"), ReportWriteError);
    EXPECT_THROW(CarveReport::readFile(folder.path()), ReportFormatError) << "a folder in place of the file";
}

TEST(CarveReportTest, NamesFoldersTimesAndRunsAreWrittenOnlyWhenPresent)
{
    const std::string text = namedReport().toJson();
    EXPECT_EQ(CarveReport::fromJson(text), namedReport());
    EXPECT_NE(text.find("\"folder\": \"DCIM\\/100CANON\""), std::string::npos);
    EXPECT_LT(text.find("\"modified\""), text.find("\"name\"")) << "sorted keys";
    const std::string plain = sampleReport().toJson();
    for (const char* key : { "\"name\"", "\"folder\"", "\"modified\"", "\"runs\"" })
        EXPECT_EQ(plain.find(key), std::string::npos) << key;
    // A report written before files had names loads as it did.
    auto older = CarveReport::fromJson(R"({"badReads":0,"cancelled":false,"duration":1,"files":[{"category":"photos","confidence":"exact","ext":"jpg","length":5,"outputPath":"","start":512}],"scannedBytes":1,"sourceDescription":"m","totalBytes":1024})");
    EXPECT_FALSE(older.files[0].name || older.files[0].folder || older.files[0].modified || older.files[0].runs);
}

TEST(CarveReportTest, BadTextIsAFormatErrorNamingTheMemberThatCanBeShown)
{
    // Guards against nlohmann's silent conversions (a string, fraction or overflowing number read as a size),
    // a report cut short by a full disk read as a shorter one, a hostile one exhausting the stack, and the
    // parser quoting bytes a screen cannot show.
    const std::string text = sampleReport().toJson();
    std::vector<std::pair<std::string, std::string>> cases { { std::string(100'000, '['), "report" }, { "\xEF\xBB\xBF\xFF" + text, "report" } };
    for (auto [from, to] : { std::pair<std::string, std::string> { "\"totalBytes\": 2000000000000", "\"totalBytes\": \"2000000000000\"" },
             { "\"totalBytes\": 2000000000000", "\"totalBytes\": 18446744073709551616" }, { "\"scannedBytes\": 1500000000000", "\"scannedBytes\": 1.5e12" },
             { "\"badReads\": 3", "\"badReads\": 9223372036854775808" }, { "\"cancelled\": true", "\"cancelled\": 1" }, { "\"start\": 1048576", "\"start\": -1048576" },
             { "\"ext\": \"jpg\"", "\"ext\": 7" }, { "\"category\": \"photos\"", "\"category\": \"Photos\"" }, { "\"headDigest\": \"9a3f0c1d2e4b5a67\"", "\"headDigest\": null" },
             { "\"totalBytes\"", "\"unknown\"" }, { "\"files\": [", "\"files\": {\"a\": 1}, \"x\": [" } })
        cases.push_back({ std::string(text).replace(text.find(from), from.size(), to), from.substr(1, from.find('"', 1) - 1) });
    // Runs that do not make up the file could send a save anywhere on the source.
    const std::string named = namedReport().toJson();
    for (auto [from, to] : { std::pair<std::string, std::string> { "\"offset\": 1048576", "\"offset\": 0" }, { "\"length\": 20774", "\"length\": 20775" },
             { "\"length\": 20774", "\"length\": 18446744073709551615" }, { "\"name\": \"", "\"name\": 5, \"x\": \"" } })
        cases.push_back({ std::string(named).replace(named.find(from), from.size(), to), from.substr(1, from.find('"', 1) - 1) == "name" ? "name" : "runs" });
    cases.push_back({ std::string(named).replace(named.find("\"runs\": ["), 10, "\"runs\": [], \"y\": ["), "runs" });
    for (size_t cut = 0; cut < text.rfind('}'); ++cut)
        cases.push_back({ text.substr(0, cut), "report" });
    for (const char* bytes : { "\xFF", "\xC3", "\xED\xA0\x80", "\xC0\xAF" })
        cases.push_back({ std::string(text).replace(text.find("sdb"), 3, bytes), "report" });
    for (const auto& [bad, expected] : cases) {
        try {
            CarveReport::fromJson(bad);
            ADD_FAILURE() << "accepted " << bad.substr(0, 200);
        } catch (const ReportFormatError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).find_first_of("\xC0\xC3\xED\xEF\xFF"), std::string::npos) << error.what();
        }
    }
}

}
}
