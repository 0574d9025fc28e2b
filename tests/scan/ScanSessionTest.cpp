#include "TestSupport.hpp"
#include "scan/ScanTestSupport.hpp"

#include "scan/ScanSessionError.hpp"
#include "scan/ScanStore.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

using namespace brightfold;
using namespace brightfold::test;
using namespace std::chrono;

namespace {

const ScanSession::Time kMarch1 = sys_days(year(2026) / 3 / 1) + hours(14) + minutes(5) + seconds(9);
const ScanSession::Disk kCard { "sdb", 64'000'000'000, "SD SL64G", { "EOS_DIGITAL" } };

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

template<typename Call>
std::string sessionError(Call call, ScanSessionError::Kind kind)
{
    try {
        call();
    } catch (const ScanSessionError& error) {
        return error.kind() == kind ? error.what() : "wrong kind";
    }
    return {};
}

/// Points the store at a fresh folder for the test's lifetime.
struct TemporaryStore {
    TemporaryStore()
    {
        const char* old = std::getenv("XDG_DATA_HOME");
        if (old)
            m_old = old;
        ::setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
    }
    ~TemporaryStore()
    {
        if (m_old)
            ::setenv("XDG_DATA_HOME", m_old->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
    }
    TemporaryFolder folder;

private:
    std::optional<std::string> m_old;
};

}

TEST(ScanSessionTest, RecordRoundTrips)
{
    for (const ScanSession::Source& source : { ScanSession::Source(kCard), ScanSession::Source(ScanSession::Image { "/a b/c.img", 123 }) }) {
        ScanSession session = sessionWith(source, kMarch1, 2);
        session.report.files[1].headDigest.reset();
        std::string text = session.toJson();
        EXPECT_NE(text.find(R"("createdAt":"2026-03-01T14:05:09Z")"), std::string::npos);
        ScanSession back = ScanSession::fromJson(text);
        EXPECT_EQ(back.idText(), session.idText());
        EXPECT_EQ(back.createdAt, kMarch1);
        EXPECT_TRUE(back.source == session.source && back.report == session.report && back.sourceName == session.sourceName);
    }
}

TEST(ScanSessionTest, DamagedRecordsAreRejected)
{
    const std::pair<std::string, std::string> damages[] = {
        { R"("source":{"disk":{)", R"("source":{},"x":{)" },                            // source without a case
        { R"("source":{)", R"("source":{"image":{"path":"a","sizeBytes":1},)" },        // source with two cases
        { R"("sizeBytes":64000000000)", R"("sizeBytes":-1)" },                         // negative size
        { R"(14:05:09Z)", R"(14:05:09)" },                                             // date without zone
        { R"("report")", R"("report":{)" },                                            // truncated
        { R"("id":")", R"("id":"{)" },                                                 // id in braces
    };
    for (const auto& [from, to] : damages) {
        SCOPED_TRACE(to);
        std::string text = sessionWith(kCard, kMarch1, 1).toJson();
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, from.size(), to);
        EXPECT_FALSE(sessionError([&] { ScanSession::fromJson(text); }, ScanSessionError::Kind::badRecord).empty());
    }
}

TEST(ScanSessionTest, DatesReadOnlyInTheStoredFormsAsUtc)
{
    const std::pair<std::string, std::optional<ScanSession::Time>> cases[] = {
        { "2026-03-01T14:05:09Z", kMarch1 },
        { "2026-03-01T16:05:09+02:00", kMarch1 },
        { "2026-03-01T09:35:09-04:30", kMarch1 },
        { "2026-03-01T14:05:09", std::nullopt },         // no zone: would be local time
        { "2026-02-30T14:05:09Z", std::nullopt },        // no such day
        { "2026-03-01T24:00:00Z", std::nullopt },
        { "2026-03-01T14:05:60Z", std::nullopt },
        { "2026-03-01 14:05:09Z", std::nullopt },
        { "2026-03-01T14:05:09.5Z", std::nullopt },      // whole seconds only
        { "2026-03-01T14:05:09+0200", std::nullopt },
        { "2026-3-01T14:05:09Z", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseIsoDate(text), expected);
    }
    EXPECT_EQ(isoDateText(kMarch1), "2026-03-01T14:05:09Z");
    EXPECT_EQ(isoDateText(sys_days(year(1999) / 12 / 31) + hours(23) + minutes(59) + seconds(59)), "1999-12-31T23:59:59Z");
}

TEST(ScanSessionTest, IdsAreReadInEitherCaseAndWrittenInUpperCase)
{
    std::optional<SessionId> id = SessionId::parse("0f6b2a5e-3c1d-4e8f-9a7b-112233445566");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->text(), "0F6B2A5E-3C1D-4E8F-9A7B-112233445566");
    for (const char* bad : { "", "{0F6B2A5E-3C1D-4E8F-9A7B-112233445566}", "0F6B2A5E-3C1D-4E8F-9A7B-11223344556", "0F6B2A5E-3C1D-4E8F-9A7B-11223344556G",
             "0F6B2A5E3C1D-4E8F-9A7B-1122334455667", "00000000-0000-0000-0000-000000000000" }) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(SessionId::parse(bad));
    }
    SessionId fresh = SessionId::generate();
    EXPECT_FALSE(fresh.isNull());
    EXPECT_NE(fresh, SessionId::generate());
    EXPECT_EQ(SessionId::parse(fresh.text()), fresh);
}

TEST(ScanSessionTest, ListingIsNewestFirstAndSkipsWhatCannotBeRead)
{
    TemporaryStore store;
    ScanSession older = sessionWith(kCard, kMarch1, 1);
    for (const auto& session : { older, sessionWith(kCard, kMarch1 + seconds(60), 3), sessionWith(kCard, kMarch1 + seconds(60), 2),
             sessionWith(kCard, kMarch1 + seconds(120), 0) })
        ScanStore::save(session);
    ScanSession truncated = sessionWith(kCard, kMarch1 + seconds(180), 1);
    writeText(ScanStore::folder(truncated) / "scan.json", truncated.toJson().substr(0, 80));
    writeText(ScanStore::root() / "0F6B2A5E-3C1D-4E8F-9A7B-112233445566" / "scan.json", truncated.toJson()); // another folder's record
    std::filesystem::create_directories(ScanStore::root() / "no-record");
    writeText(ScanStore::root() / "plain-file", "x");

    std::vector<ScanSession> listed = ScanStore::all();
    ASSERT_EQ(listed.size(), size_t(3));
    EXPECT_EQ(listed[2].idText(), older.idText());
    std::vector<std::string> folders; // the two of equal date keep the folder listing's order
    for (const auto& entry : std::filesystem::directory_iterator(ScanStore::root()))
        folders.push_back(entry.path().filename());
    EXPECT_LT(std::ranges::find(folders, listed[0].idText()), std::ranges::find(folders, listed[1].idText()));
    EXPECT_TRUE(std::filesystem::exists(ScanStore::folder(truncated))); // never removed by listing
}

TEST(ScanSessionTest, SavingReplacesTheRecordAtomically)
{
    TemporaryStore store;
    ScanSession session = sessionWith(kCard, kMarch1, 1);
    ScanStore::save(session);
    session.report.files.push_back(session.report.files.front());
    ScanStore::save(session);
    EXPECT_EQ(ScanStore::all().front().report.files.size(), size_t(2));
    std::vector<std::string> left; // no temporary file stays behind
    for (const auto& entry : std::filesystem::directory_iterator(ScanStore::folder(session)))
        left.push_back(entry.path().filename());
    std::ranges::sort(left);
    EXPECT_EQ(left, (std::vector<std::string> { ScanStore::kRecordName, ScanStore::kSummaryName }));
    ScanStore::remove(session.id);
    EXPECT_FALSE(std::filesystem::exists(ScanStore::folder(session)));

    std::filesystem::remove_all(ScanStore::root().parent_path());
    writeText(ScanStore::root().parent_path(), "a file where the store's folder goes");
    std::string message = sessionError([&] { ScanStore::save(session); }, ScanSessionError::Kind::storeFailed);
    EXPECT_TRUE(message.starts_with("Could not store the scan in " + ScanStore::folder(session).string() + ": ")) << message;
}

TEST(ScanSessionTest, TheStoreFollowsTheDataHome)
{
    TemporaryStore store;
    EXPECT_EQ(ScanStore::root(), store.folder.path() / "Brightfold Recover" / "Scans");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_DATA_HOME", "relative/data", 1); // not absolute: ignored, as the base directory rule says
    ::setenv("HOME", store.folder.path().c_str(), 1);
    EXPECT_EQ(ScanStore::root(), store.folder.path() / ".local" / "share" / "Brightfold Recover" / "Scans");
    ::setenv("HOME", home.c_str(), 1);
}

TEST(ScanSessionTest, TheSameCardIsFound)
{
    struct Case {
        const char* name;
        std::string identifier;
        uint64_t size;
        std::string media;
        bool found;
    };
    const Case cases[] = {
        { "same name and size, reformatted", "sdb", 64'000'000'000ull, "Other", true },
        { "re-inserted under another name", "sdc", 64'000'000'000ull, "SD SL64G", true },
        { "same name, other size", "sdb", 32'000'000'000ull, "SD SL64G", false },
        { "other card of that size", "sdc", 64'000'000'000ull, "Other", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevices devices;
        devices.physical = { card("sda", 8'000'000'000, "SD SL64G"), card(c.identifier, c.size, c.media, { "NEW" }) };
        auto disk = sessionWith(kCard, kMarch1, 1).currentDisk(devices, DiskImages::excluded);
        EXPECT_EQ(disk ? disk->deviceIdentifier : std::string(), c.found ? c.identifier : std::string());
    }
}

TEST(ScanSessionTest, ReopeningSaysWhatToDo)
{
    enum class Situation { cardAbsent, imageMoved, imageGrew, cardPresent, imageUnchanged, imageWrittenSameSize, imageReplacedSameSize, imageUnchangedWithIdentity };
    const std::pair<Situation, std::string> cases[] = {
        { Situation::cardAbsent, "Insert the card you scanned (EOS_DIGITAL, 64 GB) and try again." },
        { Situation::imageMoved, "The disk image card.img isn't where it was. Move it back, or scan it again." },
        { Situation::imageGrew, "The disk image has changed since the scan. Scan it again." },
        { Situation::cardPresent, "" },
        { Situation::imageUnchanged, "" },
        { Situation::imageWrittenSameSize, "The disk image has changed since the scan. Scan it again." },
        { Situation::imageReplacedSameSize, "The disk image has changed since the scan. Scan it again." },
        { Situation::imageUnchangedWithIdentity, "" },
    };
    for (const auto& [situation, message] : cases) {
        SCOPED_TRACE(message);
        TemporaryFolder folder;
        std::string image = (folder.path() / "card.img").string();
        writeWholeFile(image, patterned(4096));
        FakeDevices devices;
        devices.devices["/dev/sdb"] = image;
        if (situation == Situation::cardPresent)
            devices.physical = { card("sdb", kCard.sizeBytes, kCard.mediaName) };
        ScanSession::Source source = kCard;
        if (situation == Situation::imageMoved)
            source = ScanSession::Image { (folder.path() / "gone" / "card.img").string(), 4096 };
        if (situation == Situation::imageGrew)
            source = ScanSession::Image { image, 4095 };
        if (situation == Situation::imageUnchanged)
            source = ScanSession::Image { image, 4096 };
        // Guards against saving changed bytes from an image whose size stayed the same.
        if (situation == Situation::imageWrittenSameSize || situation == Situation::imageReplacedSameSize
            || situation == Situation::imageUnchangedWithIdentity)
            source = ScanSession::forImage(image).source;
        if (situation == Situation::imageWrittenSameSize) {
            std::fstream(image, std::ios::in | std::ios::out | std::ios::binary).seekp(2000).put('\x5A');
            const struct timespec later[2] = { { 0, UTIME_OMIT }, { ::time(nullptr) + 5, 0 } };
            ::utimensat(AT_FDCWD, image.c_str(), later, 0);
        }
        if (situation == Situation::imageReplacedSameSize) {
            std::filesystem::copy_file(image, image + ".new");
            std::filesystem::rename(image + ".new", image);
        }
        ByteSourcePtr opened;
        EXPECT_EQ(sessionError([&] { opened = sessionWith(source, kMarch1, 1).openSource(devices, DiskImages::excluded); },
                      ScanSessionError::Kind::sourceMissing),
            message);
        EXPECT_EQ(opened ? opened->size() : 0, message.empty() ? uint64_t(4096) : 0);
    }
}

TEST(ScanSessionTest, ACopyOfTheCardIsRecordedAndReadWhileItIsUnchanged)
{
    // Guards against reading a failing card again when its copy is there, and
    // against reading a copy that changed since the scan.
    enum class Copy { unchanged, removed, written };
    for (Copy situation : { Copy::unchanged, Copy::removed, Copy::written }) {
        SCOPED_TRACE(static_cast<int>(situation));
        TemporaryFolder folder;
        const std::string cardImage = (folder.path() / "card.img").string();
        const std::string copyImage = (folder.path() / "card copy.img").string();
        writeWholeFile(cardImage, patterned(4096));
        writeWholeFile(copyImage, std::vector<uint8_t>(4096, 0x33));
        FakeDevices devices;
        devices.devices["/dev/sdb"] = cardImage;
        devices.physical = { card("sdb", kCard.sizeBytes, kCard.mediaName) };
        ScanSession session = sessionWith(kCard, kMarch1, 1);
        session.copy = std::get<ScanSession::Image>(ScanSession::forImage(copyImage).source);
        session = ScanSession::fromJson(session.toJson());
        ASSERT_TRUE(session.copy);
        EXPECT_EQ(session.copy->path, copyImage);
        if (situation == Copy::removed)
            std::filesystem::remove(copyImage);
        if (situation == Copy::written) {
            std::fstream(copyImage, std::ios::in | std::ios::out | std::ios::binary).seekp(10).put('\x5A');
            const struct timespec later[2] = { { 0, UTIME_OMIT }, { ::time(nullptr) + 5, 0 } };
            ::utimensat(AT_FDCWD, copyImage.c_str(), later, 0);
        }
        const bool fromCopy = situation == Copy::unchanged;
        EXPECT_EQ(session.sourcePath(devices, DiskImages::excluded), fromCopy ? copyImage : "/dev/sdb");
        std::vector<uint8_t> first(1);
        session.openSource(devices, DiskImages::excluded)->readInto(0, first);
        EXPECT_EQ(first[0], fromCopy ? 0x33 : patterned(1)[0]);
    }
    // A record without a copy reads as before; a copy that is not an image is refused.
    std::string text = sessionWith(kCard, kMarch1, 1).toJson();
    EXPECT_FALSE(ScanSession::fromJson(text).copy);
    text.insert(text.rfind('}'), R"(,"copy":{"disk":{"deviceIdentifier":"sdc","sizeBytes":1,"mediaName":"","volumeNames":[]}})");
    EXPECT_FALSE(sessionError([&] { ScanSession::fromJson(text); }, ScanSessionError::Kind::badRecord).empty());
}

TEST(ScanSessionTest, AScanOfAPathRecordsItsSource)
{
    const std::pair<std::string, std::string> cases[] = {
        { "/dev/sdb", "disk sdb: EOS_DIGITAL" },                                           // an attached card's device
        { "/dev/loop3", "disk loop3: loop3" },                                             // a loop-attached image
        { "/dev/sdz", "image /dev/sdz: sdz" },                                             // a device nobody lists
        { "card.img", "image " + (std::filesystem::current_path() / "card.img").string() + ": card.img" }, // a relative path
    };
    for (const auto& [path, recorded] : cases) {
        SCOPED_TRACE(path);
        FakeDevices devices;
        devices.physical = { card("sda", 8'000'000'000, "SD"), card("sdb", kCard.sizeBytes, kCard.mediaName, { "EOS_DIGITAL" }) };
        devices.images = { card("loop3", 4096, "") };
        ScanSession session = ScanSession::forSource(path, devices);
        std::string got = std::visit(
            [](const auto& source) -> std::string {
                if constexpr (std::is_same_v<std::decay_t<decltype(source)>, ScanSession::Disk>)
                    return "disk " + source.deviceIdentifier;
                else
                    return "image " + source.path;
            },
            session.source);
        EXPECT_EQ(got + ": " + session.sourceName, recorded);
        EXPECT_FALSE(session.id.isNull());
    }
}
