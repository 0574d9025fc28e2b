#include "TestSupport.hpp"

#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace brightfold;
using namespace brightfold::test;

namespace {

CarveReport sampleReport()
{
    CarveReport report;
    report.sourceDescription = "/dev/sdb";
    report.totalBytes = 2'000'000'000'000; // cards of 1 TB and more
    report.scannedBytes = 1'500'000'000'000;
    report.duration = 12.5;
    report.badReads = 3;
    report.cancelled = true;
    report.files = {
        { 1'048'576, 52'000, "jpg", FormatCategory::photos, CarveConfidence::exact, "", std::string("85944171f73967e8"), {} },
        { 1'999'999'999'488, 512, "png", FormatCategory::photos, CarveConfidence::heuristic, "/out/PNG/f3906249999.png", std::nullopt, {} },
        { 4096, 10, "jpg", FormatCategory::photos, CarveConfidence::exact, "", std::string("1"), {} },
    };
    return report;
}

}

TEST(CarveReportTest, RoundTripsThroughItsJsonForm)
{
    CarveReport report = sampleReport();
    EXPECT_EQ(CarveReport::fromJson(report.toJson()), report);
}

TEST(CarveReportTest, WritesSortedKeysEscapedSlashesAndNoAbsentDigest)
{
    std::string text = sampleReport().toJson();
    EXPECT_NE(text.find("\\/dev\\/sdb"), std::string::npos);
    EXPECT_EQ(text.find("\"/"), std::string::npos);
    EXPECT_LT(text.find("\"badReads\""), text.find("\"cancelled\""));
    EXPECT_LT(text.find("\"cancelled\""), text.find("\"duration\""));
    EXPECT_LT(text.find("\"files\""), text.find("\"scannedBytes\""));
    EXPECT_LT(text.find("\"scannedBytes\""), text.find("\"sourceDescription\""));
    EXPECT_LT(text.find("\"sourceDescription\""), text.find("\"totalBytes\""));
    EXPECT_LT(text.find("\"category\""), text.find("\"confidence\""));
    EXPECT_LT(text.find("\"headDigest\""), text.find("\"length\""));
    EXPECT_LT(text.find("\"outputPath\""), text.find("\"start\""));
    EXPECT_EQ(text.find("null"), std::string::npos);
    // Two digests present, one absent.
    size_t digests = 0;
    for (size_t at = text.find("headDigest"); at != std::string::npos; at = text.find("headDigest", at + 1))
        ++digests;
    EXPECT_EQ(digests, 2u);
    EXPECT_NE(text.find("\n  \"badReads\""), std::string::npos); // pretty-printed, one member per line

    // The hand-written text is the JSON library's own pretty print, "/" escaped, also with odd strings and samples.
    for (CarveReport report : { sampleReport(), CarveReport {} }) {
        if (!report.files.empty()) {
            report.files[0].ext = "a\"b\\c\x01\xff/d";
            report.files[0].sampleDigests = std::vector<std::string> { "00", "ff" };
            report.files[1].sampleDigests = std::vector<std::string> {};
        }
        std::string library = nlohmann::json::parse(report.toJson()).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        std::string escaped;
        for (char c : library)
            escaped += c == '/' ? std::string("\\/") : std::string(1, c);
        EXPECT_EQ(report.toJson(), escaped + "\n");
    }
}

TEST(CarveReportTest, EmptyFileListIsAnEmptyArray)
{
    CarveReport report;
    std::string text = report.toJson();
    EXPECT_NE(text.find("\"files\": []"), std::string::npos);
    EXPECT_TRUE(CarveReport::fromJson(text).files.empty());
}

TEST(CarveReportTest, AcceptsPlainAndEscapedSlashes)
{
    std::string plain = R"({"badReads":0,"cancelled":false,"duration":1,"files":[{"category":"video","confidence":"exact","ext":"mp4",
        "length":10,"outputPath":"/a/b","start":0}],"scannedBytes":1,"sourceDescription":"/dev/sdc","totalBytes":1})";
    CarveReport report = CarveReport::fromJson(plain);
    EXPECT_EQ(report.sourceDescription, "/dev/sdc");
    EXPECT_EQ(report.files.at(0).outputPath, "/a/b");
    EXPECT_FALSE(report.files.at(0).headDigest.has_value());
    EXPECT_EQ(CarveReport::fromJson(report.toJson()), report);
}

TEST(CarveReportTest, EveryMemberButTheDigestIsRequired)
{
    const std::vector<std::string> reportKeys { "badReads", "cancelled", "duration", "files", "scannedBytes", "sourceDescription", "totalBytes" };
    const std::vector<std::string> fileKeys { "category", "confidence", "ext", "length", "outputPath", "start" };
    CarveReport report = sampleReport();
    for (const auto& key : reportKeys) {
        SCOPED_TRACE(key);
        std::string text = report.toJson();
        size_t at = text.find("\"" + key + "\"");
        text.replace(at, key.size() + 2, "\"unknown" + key + "\"");
        EXPECT_THROW(CarveReport::fromJson(text), ReportFormatError);
    }
    for (const auto& key : fileKeys) {
        SCOPED_TRACE(key);
        std::string text = report.toJson();
        size_t at = text.find("\"" + key + "\"");
        text.replace(at, key.size() + 2, "\"unknown" + key + "\"");
        EXPECT_THROW(CarveReport::fromJson(text), ReportFormatError);
    }
}

TEST(CarveReportTest, MalformedValuesAreRejectedWithAClearMessage)
{
    auto withFile = [](std::string fileMembers) {
        return R"({"badReads":0,"cancelled":false,"duration":1,"scannedBytes":1,"sourceDescription":"x","totalBytes":1,"files":[{)"
            + fileMembers + "}]}";
    };
    const std::string good = R"("category":"photos","confidence":"exact","ext":"jpg","outputPath":"")";
    const std::vector<std::string> bad {
        withFile(good + R"(,"length":-1,"start":0)"),
        withFile(good + R"(,"length":1.5,"start":0)"),
        withFile(good + R"(,"length":"10","start":0)"),
        withFile(good + R"(,"length":18446744073709551616,"start":0)"),
        withFile(R"("category":"pictures","confidence":"exact","ext":"jpg","outputPath":"","length":1,"start":0)"),
        withFile(R"("category":"photos","confidence":"maybe","ext":"jpg","outputPath":"","length":1,"start":0)"),
        withFile(good + R"(,"length":1,"start":0,"headDigest":7)"),
        R"({"badReads":0,"cancelled":"no","duration":1,"files":[],"scannedBytes":1,"sourceDescription":"x","totalBytes":1})",
        R"({"badReads":0,"cancelled":false,"duration":1,"files":{},"scannedBytes":1,"sourceDescription":"x","totalBytes":1})",
        R"([1, 2, 3])",
        R"({"badReads":0,"cancel)",
        "",
        "\xff\xfe{}",
    };
    for (const auto& text : bad) {
        SCOPED_TRACE(text);
        try {
            CarveReport::fromJson(text);
            ADD_FAILURE() << "accepted a malformed report";
        } catch (const ReportFormatError& error) {
            EXPECT_NE(std::string(error.what()).find("report"), std::string::npos);
        }
    }
    EXPECT_EQ(CarveReport::fromJson(withFile(good + R"(,"length":18446744073709551615,"start":0)")).files[0].length, UINT64_MAX);
}

TEST(CarveReportTest, CountsByExtension)
{
    CarveReport report = sampleReport();
    auto counts = report.countsByExt();
    EXPECT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts["jpg"], 2);
    EXPECT_EQ(counts["png"], 1);
}

TEST(CarveReportTest, FileRoundTripNeverReplacesAReport)
{
    // Guards against a save or a second scan writing over an earlier report.
    TemporaryFolder folder;
    CarveReport report = sampleReport();
    EXPECT_EQ(report.writeFile(folder.path()), folder.path() / CarveReport::kFileName);
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), report);
    CarveReport later = report;
    later.cancelled = !report.cancelled;
    EXPECT_THROW(later.writeFile(folder.path()), ReportWriteError);
    EXPECT_EQ(later.writeFile(folder.path(), ReportNaming::firstFree), folder.path() / "brightfold-report-1.json");
    EXPECT_EQ(CarveReport::readFile(folder.path() / CarveReport::kFileName), report);
    EXPECT_THROW(report.writeFile(folder.path() / "missing" / "folder"), ReportWriteError);
    EXPECT_THROW(CarveReport::readFile(folder.path() / "missing.json"), ReportFormatError);
    // Nothing but the two reports: no temporary file stays behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);
}

TEST(CarveReportTest, SampleDigestsRoundTripAndMayBeAbsent)
{
    CarveReport report = sampleReport();
    report.files[0].sampleDigests = std::vector<std::string> { "0123456789abcdef", "fedcba9876543210" };
    report.files[1].sampleDigests = std::vector<std::string> {};
    EXPECT_EQ(CarveReport::fromJson(report.toJson()), report);
    for (const char* bad : { "\"x\"", "[1]", "{}" }) {
        SCOPED_TRACE(bad);
        std::string text = report.toJson();
        text.replace(text.find("[]"), 2, bad);
        EXPECT_THROW(CarveReport::fromJson(text), ReportFormatError);
    }
}
