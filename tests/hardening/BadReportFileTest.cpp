#include "TestSupport.hpp"

#include "carve/CarveReport.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

CarveReport sampleReport()
{
    CarveReport report;
    report.sourceDescription = "/dev/sdb";
    report.totalBytes = 64'000'000'000;
    report.scannedBytes = report.totalBytes;
    report.duration = 12.5;
    report.badReads = 3;
    report.files.push_back({ 1'048'576, 53'542, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "9a3f0c1d2e4b5a67", {} });
    report.files.push_back({ 2'097'152, 4096, "cr2", FormatCategory::rawPhotos, CarveConfidence::heuristic, "/tmp/CR2/f4096.cr2", std::nullopt, {} });
    return report;
}

/// True when `text` is well-formed UTF-8, so a message can be shown as it is.
bool isUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<uint8_t>(text[i]);
        size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || length > text.size() - i)
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

/// Decoding must fail with a ReportFormatError whose message names `expected`
/// and can be shown as it is.
void expectRejected(std::string_view text, std::string_view expected)
{
    try {
        CarveReport::fromJson(text);
        ADD_FAILURE() << "accepted";
    } catch (const ReportFormatError& error) {
        std::string message = error.what();
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        EXPECT_TRUE(isUtf8(message)) << message;
    }
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}

TEST(BadReportFileTest, EveryTruncationIsAClearFormatError)
{
    // Guards against a report file cut short by a full disk or a crash being read as a shorter report.
    const std::string text = sampleReport().toJson();
    // The text ends in "}\n": every cut before the closing brace leaves it incomplete.
    const size_t complete = text.rfind('}');
    for (size_t cut = 0; cut < complete; ++cut) {
        SCOPED_TRACE(cut);
        expectRejected(std::string_view(text).substr(0, cut), "report");
    }
    EXPECT_EQ(CarveReport::fromJson(std::string_view(text).substr(0, complete + 1)), sampleReport());
}

TEST(BadReportFileTest, WrongTypesNameTheMember)
{
    // Guards against nlohmann's silent conversions (a string or fraction read as a size).
    const std::string text = sampleReport().toJson();
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> cases {
        { { "\"totalBytes\": 64000000000", "\"totalBytes\": \"64000000000\"" }, "totalBytes" },
        { { "\"scannedBytes\": 64000000000", "\"scannedBytes\": 6.4e10" }, "scannedBytes" },
        { { "\"badReads\": 3", "\"badReads\": true" }, "badReads" },
        { { "\"badReads\": 3", "\"badReads\": 3.5" }, "badReads" },
        { { "\"duration\": 12.5", "\"duration\": \"12.5\"" }, "duration" },
        { { "\"cancelled\": false", "\"cancelled\": 0" }, "cancelled" },
        { { "\"sourceDescription\": \"\\/dev\\/sdb\"", "\"sourceDescription\": null" }, "sourceDescription" },
        { { "\"start\": 1048576", "\"start\": [1048576]" }, "start" },
        { { "\"ext\": \"jpg\"", "\"ext\": 7" }, "ext" },
        { { "\"category\": \"photos\"", "\"category\": \"movies\"" }, "category" },
        { { "\"category\": \"photos\"", "\"category\": \"Photos\"" }, "category" },
        { { "\"confidence\": \"exact\"", "\"confidence\": true" }, "confidence" },
        { { "\"headDigest\": \"9a3f0c1d2e4b5a67\"", "\"headDigest\": null" }, "headDigest" },
        { { "\"outputPath\": \"\"", "\"outputPath\": {}" }, "outputPath" },
    };
    for (const auto& [edit, member] : cases) {
        SCOPED_TRACE(edit.second);
        expectRejected(replaced(text, edit.first, edit.second), member);
    }
}

TEST(BadReportFileTest, NumbersBeyondTheirTypesAreRejected)
{
    // Guards against sizes wrapping or turning into doubles when read back.
    const std::string text = sampleReport().toJson();
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> cases {
        { { "\"totalBytes\": 64000000000", "\"totalBytes\": 18446744073709551616" }, "totalBytes" },
        { { "\"totalBytes\": 64000000000", "\"totalBytes\": 1e400" }, "report" },
        { { "\"start\": 1048576", "\"start\": -1048576" }, "start" },
        { { "\"length\": 53542", "\"length\": 1e30" }, "length" },
        { { "\"badReads\": 3", "\"badReads\": 9223372036854775808" }, "badReads" },
        { { "\"badReads\": 3", "\"badReads\": -9223372036854775809" }, "badReads" },
        { { "\"duration\": 12.5", "\"duration\": 1e400" }, "report" },
    };
    for (const auto& [edit, member] : cases) {
        SCOPED_TRACE(edit.second);
        expectRejected(replaced(text, edit.first, edit.second), member);
    }
    // The extremes of each type still read back.
    auto extremes = replaced(replaced(text, "\"badReads\": 3", "\"badReads\": -9223372036854775808"), "\"length\": 53542", "\"length\": 18446744073709551615");
    auto report = CarveReport::fromJson(extremes);
    EXPECT_EQ(report.badReads, INT64_MIN);
    EXPECT_EQ(report.files[0].length, UINT64_MAX);
}

TEST(BadReportFileTest, TextThatIsNotUtf8IsRejectedWithAShowableMessage)
{
    // Guards against the parser's message quoting the offending bytes into a message the screen cannot show.
    const std::string text = sampleReport().toJson();
    for (std::string_view bytes : { "\xFF", "\xC3", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "\xC0\xAF" }) {
        SCOPED_TRACE(::testing::PrintToString(std::string(bytes)));
        expectRejected(replaced(text, "sdb", std::string("sd") + std::string(bytes)), "report");
        expectRejected(replaced(text, "jpg", std::string(bytes)), "report");
    }
    expectRejected(std::string("\xEF\xBB\xBF\xFF") + text, "report");
}

TEST(BadReportFileTest, DeeplyNestedTextIsRejectedWithoutExhaustingTheStack)
{
    // Guards against a hostile report crashing the reader through recursion.
    const std::string text = sampleReport().toJson();
    for (size_t depth : { 1'000u, 100'000u }) {
        SCOPED_TRACE(depth);
        expectRejected(replaced(text, "\"badReads\": 3", "\"badReads\": " + std::string(depth, '[') + std::string(depth, ']')), "badReads");
        expectRejected(replaced(text, "\"ext\": \"jpg\"", "\"ext\": " + std::string(depth, '{')), "report");
        expectRejected(std::string(depth, '['), "report");
    }
}

TEST(BadReportFileTest, UnreadableReportFilesAreClearFormatErrors)
{
    // Guards against a folder or a missing file in place of the report ending in an unrelated error.
    TemporaryFolder folder;
    EXPECT_THROW(CarveReport::readFile(folder.path() / "missing.json"), ReportFormatError);
    std::filesystem::create_directory(folder.path() / CarveReport::kFileName);
    expectRejected("", "report");
    try {
        CarveReport::readFile(folder.path() / CarveReport::kFileName);
        ADD_FAILURE() << "read a folder as a report";
    } catch (const ReportFormatError& error) {
        EXPECT_NE(std::string(error.what()).find("report"), std::string::npos) << error.what();
    }
    std::ofstream(folder.path() / "empty.json").close();
    EXPECT_THROW(CarveReport::readFile(folder.path() / "empty.json"), ReportFormatError);
}
