#include "TestSupport.hpp"

#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
    report.files[0].name = "Beach \"day\" é.jpg";
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

TEST(CarveReportTest, EntriesThatCouldLeadOutsideTheDestinationAreRefusedAndTheRestLoad)
{
    // Guards against a crafted report making a save create folders or files outside its destination,
    // or hidden settings files (.bashrc, .config/autostart) and names that show other than they are.
    struct Case {
        const char* ext;
        std::optional<std::string> name;
        std::optional<std::string> folder;
        std::optional<ReportRefusal::Kind> refused;
    };
    const std::vector<Case> cases {
        { "jpg", "IMG_0001.JPG", "DCIM/100CANON", std::nullopt },
        { "tar.gz", "backup.tar.gz", "", std::nullopt },
        { "3gp", "Movie \"one\" é.3gp", "Vidéos/été 2024", std::nullopt },
        { "../../../../tmp/rt/escape8", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "JPG", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "jpegjpegx", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { ".jpg", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "tar..gz", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "jp g", std::nullopt, std::nullopt, ReportRefusal::Kind::leftOut },
        { "jpg", ".bashrc", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "x.desktop", ".config/autostart", ReportRefusal::Kind::nameForgotten },
        { "jpg", "..", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "a.jpg", "DCIM/../..", ReportRefusal::Kind::nameForgotten },
        { "jpg", "a.jpg", "DCIM//X", ReportRefusal::Kind::nameForgotten },
        { "jpg", "a/b.jpg", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "a\\b.jpg", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "photo\u202Egpj.exe", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "photo\u2066.jpg", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "tab\tname.jpg", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", "c1\u0085.jpg", "", ReportRefusal::Kind::nameForgotten },
        { "jpg", std::string(256, 'n'), "", ReportRefusal::Kind::nameForgotten },
    };
    nlohmann::json files = nlohmann::json::array();
    for (size_t i = 0; i < cases.size(); ++i) {
        nlohmann::json file { { "category", "photos" }, { "confidence", "exact" }, { "ext", cases[i].ext }, { "length", 5 },
            { "outputPath", "" }, { "start", 512 * (i + 1) }, { "modified", "2024-05-01T12:34:56" } };
        if (cases[i].name)
            file["name"] = *cases[i].name;
        if (cases[i].folder)
            file["folder"] = *cases[i].folder;
        files.push_back(file);
    }
    auto report = CarveReport::fromJson(nlohmann::json { { "badReads", 0 }, { "cancelled", false }, { "duration", 1 }, { "files", files },
        { "scannedBytes", 1 }, { "sourceDescription", "m" }, { "totalBytes", 1048576 } }.dump());
    size_t loaded = 0, refusal = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.ext) + " " + c.name.value_or("-") + " in " + c.folder.value_or("-"));
        if (c.refused) {
            ASSERT_LT(refusal, report.refusals.size());
            const ReportRefusal& said = report.refusals[refusal++];
            EXPECT_EQ(said.kind, *c.refused);
            EXPECT_TRUE(said.text.starts_with("File " + std::to_string(i + 1) + " ")) << said.text;
            EXPECT_EQ(said.text.find_first_of("\t\x1B"), std::string::npos) << "quoted so that it can be shown";
            EXPECT_EQ(said.text.find("\xE2\x80\xAE"), std::string::npos) << "quoted so that it can be shown";
        }
        if (c.refused == ReportRefusal::Kind::leftOut)
            continue;
        ASSERT_LT(loaded, report.files.size());
        const CarvedFile& file = report.files[loaded++];
        EXPECT_EQ(file.start, 512 * (i + 1));
        if (c.refused) {
            EXPECT_FALSE(file.name || file.folder || file.modified) << "known by its sector name alone";
            EXPECT_EQ(file.fileName(), "f" + std::to_string(i + 1) + ".jpg");
        } else {
            EXPECT_EQ(file.name, c.name);
        }
    }
    EXPECT_EQ(loaded, report.files.size());
    EXPECT_EQ(refusal, report.refusals.size());
}

}
}
