#include "WorkflowTestSupport.hpp"

#include "workflow/ScanSessionError.hpp"
#include "workflow/ScanStore.hpp"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>

using namespace brightfold;
using namespace brightfold::test;

namespace {

const QDateTime kMarch1 = QDateTime(QDate(2026, 3, 1), QTime(14, 5, 9), Qt::UTC);
const ScanSession::Disk kCard { "sdb", 64'000'000'000, "SD SL64G", { "EOS_DIGITAL" } };

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

template<typename Call>
QString sessionError(Call call, ScanSessionError::Kind kind)
{
    try {
        call();
    } catch (const ScanSessionError& error) {
        return error.kind() == kind ? QString::fromStdString(error.what()) : QStringLiteral("wrong kind");
    }
    return {};
}

}

class ScanSessionTest : public QObject {
    Q_OBJECT

private slots:
    void recordRoundTrips()
    {
        for (const ScanSession::Source& source : { ScanSession::Source(kCard), ScanSession::Source(ScanSession::Image { "/a b/c.img", 123 }) }) {
            ScanSession session = sessionWith(source, kMarch1, 2);
            session.report.files[1].headDigest.reset();
            std::string text = session.toJson();
            QVERIFY(text.find(R"("createdAt":"2026-03-01T14:05:09Z")") != std::string::npos);
            ScanSession back = ScanSession::fromJson(text);
            QCOMPARE(back.idText(), session.idText());
            QCOMPARE(back.createdAt, kMarch1);
            QVERIFY(back.source == session.source && back.report == session.report && back.sourceName == session.sourceName);
        }
    }

    void damagedRecordsAreRejected_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("source without a case") << R"("source":{"disk":{)" << R"("source":{},"x":{)";
        QTest::newRow("source with two cases") << R"("source":{)" << R"("source":{"image":{"path":"a","sizeBytes":1},)";
        QTest::newRow("negative size") << R"("sizeBytes":64000000000)" << R"("sizeBytes":-1)";
        QTest::newRow("date without zone") << R"(14:05:09Z)" << R"(14:05:09)";
        QTest::newRow("truncated") << R"("report")" << R"("report":{)";
    }
    void damagedRecordsAreRejected()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QString text = QString::fromStdString(sessionWith(kCard, kMarch1, 1).toJson());
        QVERIFY(text.contains(from));
        text.replace(text.indexOf(from), from.size(), to);
        QVERIFY(!sessionError([&] { ScanSession::fromJson(text.toStdString()); }, ScanSessionError::Kind::badRecord).isEmpty());
    }

    void listingIsNewestFirstAndSkipsWhatCannotBeRead()
    {
        TemporaryStore store;
        ScanSession older = sessionWith(kCard, kMarch1, 1);
        for (const auto& session : { older, sessionWith(kCard, kMarch1.addSecs(60), 3), sessionWith(kCard, kMarch1.addSecs(60), 2),
                 sessionWith(kCard, kMarch1.addSecs(120), 0) })
            ScanStore::save(session);
        ScanSession truncated = sessionWith(kCard, kMarch1.addSecs(180), 1);
        writeText(ScanStore::folder(truncated) / "scan.json", truncated.toJson().substr(0, 80));
        writeText(ScanStore::root() / "0F6B2A5E-3C1D-4E8F-9A7B-112233445566" / "scan.json", truncated.toJson()); // another folder's record
        std::filesystem::create_directories(ScanStore::root() / "no-record");
        writeText(ScanStore::root() / "plain-file", "x");

        std::vector<ScanSession> listed = ScanStore::all();
        QCOMPARE(listed.size(), size_t(3));
        QCOMPARE(listed[2].idText(), older.idText());
        std::vector<std::string> folders; // the two of equal date keep the folder listing's order
        for (const auto& entry : std::filesystem::directory_iterator(ScanStore::root()))
            folders.push_back(entry.path().filename());
        QVERIFY(std::ranges::find(folders, listed[0].idText()) < std::ranges::find(folders, listed[1].idText()));
        QVERIFY(std::filesystem::exists(ScanStore::folder(truncated))); // never removed by listing
    }

    void savingReplacesTheRecordAtomically()
    {
        TemporaryStore store;
        ScanSession session = sessionWith(kCard, kMarch1, 1);
        ScanStore::save(session);
        session.report.files.push_back(session.report.files.front());
        ScanStore::save(session);
        QCOMPARE(ScanStore::all().front().report.files.size(), size_t(2));
        QCOMPARE(std::distance(std::filesystem::directory_iterator(ScanStore::folder(session)), {}), std::ptrdiff_t(1));
        ScanStore::remove(session);
        QVERIFY(!std::filesystem::exists(ScanStore::folder(session)));

        std::filesystem::remove_all(ScanStore::root().parent_path());
        writeText(ScanStore::root().parent_path(), "a file where the store's folder goes");
        QString message = sessionError([&] { ScanStore::save(session); }, ScanSessionError::Kind::storeFailed);
        QVERIFY2(message.startsWith(QString::fromStdString("Could not store the scan in " + ScanStore::folder(session).string() + ": ")),
            qPrintable(message));
    }

    void theSameCardIsFound_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<QString>("media");
        QTest::addColumn<bool>("found");
        QTest::newRow("same name and size, reformatted") << "sdb" << 64'000'000'000ull << "Other" << true;
        QTest::newRow("re-inserted under another name") << "sdc" << 64'000'000'000ull << "SD SL64G" << true;
        QTest::newRow("same name, other size") << "sdb" << 32'000'000'000ull << "SD SL64G" << false;
        QTest::newRow("other card of that size") << "sdc" << 64'000'000'000ull << "Other" << false;
    }
    void theSameCardIsFound()
    {
        QFETCH(QString, identifier);
        QFETCH(qulonglong, size);
        QFETCH(QString, media);
        QFETCH(bool, found);
        FakeDevices devices;
        devices.physical = { card("sda", 8'000'000'000, "SD SL64G"), card(identifier.toStdString(), size, media.toStdString(), { "NEW" }) };
        auto disk = sessionWith(kCard, kMarch1, 1).currentDisk(devices, DiskImages::excluded);
        QCOMPARE(disk ? QString::fromStdString(disk->deviceIdentifier) : QString(), found ? identifier : QString());
    }

    void reopeningSaysWhatToDo_data()
    {
        QTest::addColumn<int>("situation");
        QTest::addColumn<QString>("message");
        QTest::newRow("card absent") << 0 << "Insert the card you scanned (EOS_DIGITAL, 64 GB) and try again.";
        QTest::newRow("image moved") << 1 << "The disk image card.img isn't where it was. Move it back, or scan it again.";
        QTest::newRow("image grew") << 2 << "The disk image has changed since the scan. Scan it again.";
        QTest::newRow("card present") << 3 << "";
        QTest::newRow("image unchanged") << 4 << "";
        QTest::newRow("image written to, same size") << 5 << "The disk image has changed since the scan. Scan it again.";
        QTest::newRow("image replaced, same size") << 6 << "The disk image has changed since the scan. Scan it again.";
        QTest::newRow("image unchanged, identity recorded") << 7 << "";
    }
    void reopeningSaysWhatToDo()
    {
        QFETCH(int, situation);
        QFETCH(QString, message);
        QTemporaryDir folder;
        std::string image = (folder.path() + "/card.img").toStdString();
        writeCardImage(image, 1, 4096);
        FakeDevices devices;
        devices.devices["/dev/sdb"] = image;
        if (situation == 3)
            devices.physical = { card("sdb", kCard.sizeBytes, kCard.mediaName) };
        ScanSession::Source source = kCard;
        if (situation != 0 && situation != 3)
            source = ScanSession::Image { situation == 1 ? folder.path().toStdString() + "/gone/card.img" : image, situation == 2 ? 4095u : 4096u };
        if (situation >= 5) {
            // Guards against saving changed bytes from an image whose size stayed the same.
            source = ScanSession::forImage(image).source;
            if (situation == 5) {
                std::fstream(image, std::ios::in | std::ios::out | std::ios::binary).seekp(2000).put('\x5A');
                const struct timespec later[2] = { { 0, UTIME_OMIT }, { ::time(nullptr) + 5, 0 } };
                ::utimensat(AT_FDCWD, image.c_str(), later, 0);
            } else if (situation == 6) {
                std::filesystem::copy_file(image, image + ".new");
                std::filesystem::rename(image + ".new", image);
            }
        }
        ByteSourcePtr opened;
        QCOMPARE(sessionError([&] { opened = sessionWith(source, kMarch1, 1).openSource(devices, DiskImages::excluded); },
                     ScanSessionError::Kind::sourceMissing),
            message);
        QCOMPARE(opened ? opened->size() : 0, message.isEmpty() ? uint64_t(4096) : 0);
    }

    void aScanOfAPathRecordsItsSource_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("recorded");
        QTest::newRow("an attached card's device") << "/dev/sdb" << "disk sdb: EOS_DIGITAL";
        QTest::newRow("a loop-attached image") << "/dev/loop3" << "disk loop3: loop3";
        QTest::newRow("a device nobody lists") << "/dev/sdz" << "image /dev/sdz: sdz";
        QTest::newRow("a relative image path") << "card.img" << "image CWD/card.img: card.img";
    }
    void aScanOfAPathRecordsItsSource()
    {
        QFETCH(QString, path);
        QFETCH(QString, recorded);
        FakeDevices devices;
        devices.physical = { card("sda", 8'000'000'000, "SD"), card("sdb", kCard.sizeBytes, kCard.mediaName, { "EOS_DIGITAL" }) };
        devices.images = { card("loop3", 4096, "") };
        ScanSession session = ScanSession::forSource(path.toStdString(), devices);
        QString got = std::visit(
            [](const auto& source) {
                if constexpr (std::is_same_v<std::decay_t<decltype(source)>, ScanSession::Disk>)
                    return "disk " + QString::fromStdString(source.deviceIdentifier);
                else
                    return "image " + QString::fromStdString(source.path);
            },
            session.source);
        QCOMPARE(got + ": " + QString::fromStdString(session.sourceName), recorded.replace("CWD", QDir::currentPath()));
        QVERIFY(!session.id.isNull());
    }
};

QTEST_GUILESS_MAIN(ScanSessionTest)
#include "ScanSessionTest.moc"
