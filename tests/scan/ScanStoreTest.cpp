#include "TestSupport.hpp"
#include "scan/ScanTestSupport.hpp"

#include "scan/ScanStore.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>

using namespace brightfold;
using namespace brightfold::test;
using namespace std::chrono;

namespace {

const ScanSession::Time kMarch1 = sys_days(year(2026) / 3 / 1) + hours(14);
const ScanSession::Disk kCard { "sdb", 64'000'000'000, "SD SL64G", { "EOS_DIGITAL" } };

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct TemporaryStore {
    TemporaryStore() { ::setenv("XDG_DATA_HOME", folder.path().c_str(), 1); }
    ~TemporaryStore() { ::unsetenv("XDG_DATA_HOME"); }
    TemporaryFolder folder;
};

std::vector<std::string> ids(const std::vector<ScanSummary>& summaries)
{
    std::vector<std::string> listed;
    for (const ScanSummary& summary : summaries)
        listed.push_back(summary.idText());
    return listed;
}

}

TEST(ScanStoreTest, SummariesListWhatAllListsInTheSameOrder)
{
    TemporaryStore store;
    for (int minutes : { 3, 1, 1, 2 })
        ScanStore::save(sessionWith(kCard, kMarch1 + std::chrono::minutes(minutes), minutes));
    ScanStore::save(sessionWith(kCard, kMarch1 + std::chrono::minutes(9), 0)); // found nothing: never listed
    std::vector<std::string> fromRecords;
    for (const ScanSession& session : ScanStore::all())
        fromRecords.push_back(session.idText());
    EXPECT_EQ(ids(ScanStore::summaries()), fromRecords);
    EXPECT_EQ(fromRecords.size(), size_t(4));
}

TEST(ScanStoreTest, ASummaryCarriesWhatTheListShows)
{
    TemporaryStore store;
    ScanSession session = sessionWith(ScanSession::Image { "/cards/a.img", 4096 }, kMarch1, 3);
    session.report.cancelled = true;
    ScanStore::save(session);
    std::vector<ScanSummary> listed = ScanStore::summaries();
    ASSERT_EQ(listed.size(), size_t(1));
    EXPECT_EQ(listed[0], ScanSummary::of(session));
    EXPECT_EQ(listed[0].filesFound, 3u);
    EXPECT_TRUE(listed[0].cancelled);
    EXPECT_TRUE(std::filesystem::is_regular_file(ScanStore::folder(session) / ScanStore::kSummaryName));
}

TEST(ScanStoreTest, DamagedOrStaleSummariesAreMadeAgainFromTheRecord)
{
    // Each case spoils the summary of a stored scan of 2 files; the listing must
    // still show 2 files, and leave a good summary behind.
    const std::pair<const char*, std::function<void(const ScanSession&)>> spoils[] = {
        { "missing", [](const ScanSession& s) { std::filesystem::remove(ScanStore::folder(s) / ScanStore::kSummaryName); } },
        { "empty", [](const ScanSession& s) { writeText(ScanStore::folder(s) / ScanStore::kSummaryName, ""); } },
        { "not JSON", [](const ScanSession& s) { writeText(ScanStore::folder(s) / ScanStore::kSummaryName, "{\"id\":"); } },
        { "a JSON list", [](const ScanSession& s) { writeText(ScanStore::folder(s) / ScanStore::kSummaryName, "[]"); } },
        { "a folder", [](const ScanSession& s) {
             std::filesystem::remove(ScanStore::folder(s) / ScanStore::kSummaryName);
             std::filesystem::create_directory(ScanStore::folder(s) / ScanStore::kSummaryName);
         } },
        { "another scan's", [](const ScanSession& s) {
             ScanSession other = sessionWith(kCard, kMarch1, 7);
             ScanStore::save(other);
             std::filesystem::copy_file(ScanStore::folder(other) / ScanStore::kSummaryName, ScanStore::folder(s) / ScanStore::kSummaryName,
                 std::filesystem::copy_options::overwrite_existing);
             ScanStore::remove(other.id);
         } },
        { "older than the record", [](const ScanSession& s) {
             // The record rewritten by hand after the summary (another program, a restored backup).
             std::string summary = readText(ScanStore::folder(s) / ScanStore::kSummaryName);
             ScanSession changed = s;
             changed.report.files.resize(5);
             writeText(ScanStore::folder(s) / ScanStore::kRecordName, changed.toJson());
             writeText(ScanStore::folder(s) / ScanStore::kRecordName, s.toJson());
             writeText(ScanStore::folder(s) / ScanStore::kSummaryName, summary);
         } },
        { "of a record with more files", [](const ScanSession& s) {
             ScanSession more = s;
             more.report.files.resize(9, s.report.files.front());
             writeText(ScanStore::folder(s) / ScanStore::kSummaryName,
                 ScanSummary::of(more).toJson(std::filesystem::file_size(ScanStore::folder(s) / ScanStore::kRecordName), 0));
         } },
    };
    for (const auto& [name, spoil] : spoils) {
        SCOPED_TRACE(name);
        TemporaryStore store;
        ScanSession session = sessionWith(kCard, kMarch1, 2);
        ScanStore::save(session);
        spoil(session);
        std::vector<ScanSummary> listed = ScanStore::summaries();
        ASSERT_EQ(listed.size(), size_t(1));
        EXPECT_EQ(listed[0].idText(), session.idText());
        EXPECT_EQ(listed[0].filesFound, 2u);
        if (std::filesystem::is_regular_file(ScanStore::folder(session) / ScanStore::kSummaryName)) {
            EXPECT_EQ(ScanStore::summaries(), listed); // the summary made again reads back the same
        }
    }
}

TEST(ScanStoreTest, ARecordThatCannotBeUsedHidesItsScanWhateverTheSummarySays)
{
    const std::pair<const char*, std::function<void(const ScanSession&)>> spoils[] = {
        { "record missing", [](const ScanSession& s) { std::filesystem::remove(ScanStore::folder(s) / ScanStore::kRecordName); } },
        { "record truncated", [](const ScanSession& s) {
             std::string record = readText(ScanStore::folder(s) / ScanStore::kRecordName);
             std::filesystem::remove(ScanStore::folder(s) / ScanStore::kSummaryName);
             writeText(ScanStore::folder(s) / ScanStore::kRecordName, record.substr(0, record.size() / 2));
         } },
        { "record in another folder", [](const ScanSession& s) {
             std::filesystem::rename(ScanStore::folder(s), ScanStore::root() / "0F6B2A5E-3C1D-4E8F-9A7B-112233445566");
         } },
    };
    for (const auto& [name, spoil] : spoils) {
        SCOPED_TRACE(name);
        TemporaryStore store;
        ScanSession kept = sessionWith(kCard, kMarch1, 1);
        ScanSession spoiled = sessionWith(kCard, kMarch1, 2);
        ScanStore::save(kept);
        ScanStore::save(spoiled);
        spoil(spoiled);
        EXPECT_EQ(ids(ScanStore::summaries()), std::vector<std::string> { kept.idText() });
    }
}

TEST(ScanStoreTest, AStoreThatCannotBeWrittenStillLists)
{
    TemporaryStore store;
    ScanSession session = sessionWith(kCard, kMarch1, 2);
    ScanStore::save(session);
    const std::string folder = ScanStore::folder(session).string();
    std::filesystem::remove(ScanStore::folder(session) / ScanStore::kSummaryName);
    // Root writes into folders without write permission: it gets a read-only mount instead.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot
        && (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0
            || ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)) {
        ::umount2(folder.c_str(), MNT_DETACH);
        SKIP_WITHOUT_CAPABILITY("cannot mount a folder read-only here");
    }
    if (!asRoot)
        ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(ids(ScanStore::summaries()), std::vector<std::string> { session.idText() });
    EXPECT_FALSE(std::filesystem::exists(ScanStore::folder(session) / ScanStore::kSummaryName));
    if (asRoot)
        ::umount2(folder.c_str(), MNT_DETACH);
    else
        ::chmod(folder.c_str(), 0755);
}

TEST(ScanStoreTest, AFinishedScanIsStoredWithItsReportAndTheTimeItEnded)
{
    for (int files : { 0, 2 }) {
        SCOPED_TRACE(files);
        TemporaryStore store;
        ScanSession started = sessionWith(kCard, kMarch1, 0);
        CarveReport report = sessionWith(kCard, kMarch1, files).report;
        const auto before = ScanSession::now();
        ScanSession stored = ScanStore::saveFinished(started, report);
        EXPECT_EQ(stored.idText(), started.idText());
        EXPECT_GE(stored.createdAt, before);
        EXPECT_EQ(stored.report.files.size(), size_t(files));
        const ScanSession reread = ScanStore::find(started.idText());
        EXPECT_EQ(reread.createdAt, stored.createdAt);
        EXPECT_EQ(reread.report.files.size(), size_t(files));
        // Stored either way; listed only when it found something.
        EXPECT_EQ(ids(ScanStore::summaries()), files ? std::vector<std::string> { started.idText() } : std::vector<std::string> {});
    }
}
