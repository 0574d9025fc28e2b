#include "WorkflowTestSupport.hpp"

#include "workflow/ScanSessionError.hpp"
#include "workflow/ScanStore.hpp"

#include <QtTest>

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

}

class ScanSessionTest : public QObject {
    Q_OBJECT

private slots:
    void recordRoundTrips_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("disk") << 0;
        QTest::newRow("image") << 1;
    }
    void recordRoundTrips()
    {
        QFETCH(int, kind);
        ScanSession::Source source = kind == 0 ? ScanSession::Source(kCard) : ScanSession::Image { "/home/me/cards/a b.img", 123 };
        ScanSession session = sessionWith(source, kMarch1, 2, "Ünïcode / card");
        session.report.files[1].headDigest.reset();
        std::string text = session.toJson();
        QVERIFY(text.find("\"createdAt\":\"2026-03-01T14:05:09Z\"") != std::string::npos);
        QVERIFY(text.find(session.idText()) != std::string::npos);
        ScanSession back = ScanSession::fromJson(text);
        QCOMPARE(back.idText(), session.idText());
        QCOMPARE(back.createdAt, kMarch1);
        QCOMPARE(back.sourceName, session.sourceName);
        QVERIFY(back.source == session.source);
        QVERIFY(back.report == session.report);
    }

    void damagedRecordsAreRejected_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("source without a case") << R"("source":{"disk":{)" << R"("source":{},"x":{)";
        QTest::newRow("source with two cases") << R"("source":{)" << R"("source":{"image":{"path":"a","sizeBytes":1},)";
        QTest::newRow("unknown case") << R"("source":{"disk")" << R"("source":{"tape")";
        QTest::newRow("missing id") << R"("id")" << R"("identity")";
        QTest::newRow("negative size") << R"("sizeBytes":64000000000)" << R"("sizeBytes":-1)";
        QTest::newRow("fractional size") << R"("sizeBytes":64000000000)" << R"("sizeBytes":1.5)";
        QTest::newRow("volume name not text") << R"(["EOS_DIGITAL"])" << R"([7])";
        QTest::newRow("date without zone") << R"(14:05:09Z)" << R"(14:05:09)";
        QTest::newRow("date with fraction") << R"(14:05:09Z)" << R"(14:05:09.5Z)";
        QTest::newRow("report incomplete") << R"("totalBytes")" << R"("allBytes")";
        QTest::newRow("truncated") << R"("report")" << R"("report":{)";
    }
    void damagedRecordsAreRejected()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QString text = QString::fromStdString(sessionWith(kCard, kMarch1, 1).toJson());
        QVERIFY(text.contains(from));
        text.replace(text.indexOf(from), from.size(), to);
        try {
            ScanSession::fromJson(text.toStdString());
            QFAIL("accepted");
        } catch (const ScanSessionError& error) {
            QCOMPARE(error.kind(), ScanSessionError::Kind::badRecord);
        }
    }

    void listingIsNewestFirstAndSkipsWhatCannotBeRead()
    {
        TemporaryStore store;
        ScanSession older = sessionWith(kCard, kMarch1, 1);
        ScanSession newer = sessionWith(kCard, kMarch1.addSecs(60), 3);
        ScanSession empty = sessionWith(kCard, kMarch1.addSecs(120), 0);
        for (const auto& session : { older, newer, empty })
            ScanStore::save(session);
        ScanSession truncated = sessionWith(kCard, kMarch1.addSecs(180), 1);
        writeText(ScanStore::folder(truncated) / "scan.json", truncated.toJson().substr(0, 80));
        ScanSession moved = sessionWith(kCard, kMarch1.addSecs(240), 1);
        writeText(ScanStore::root() / QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString() / "scan.json",
            moved.toJson());
        std::filesystem::create_directories(ScanStore::root() / "no-record");
        writeText(ScanStore::root() / "plain-file", "x");

        std::vector<ScanSession> listed = ScanStore::all();
        QCOMPARE(listed.size(), size_t(2));
        QCOMPARE(listed[0].idText(), newer.idText());
        QCOMPARE(listed[1].idText(), older.idText());
        QVERIFY(std::filesystem::exists(ScanStore::folder(truncated))); // never removed by listing
    }

    void equalDatesKeepTheListingOrder()
    {
        TemporaryStore store;
        std::vector<std::string> saved;
        for (int i = 0; i < 5; ++i) {
            ScanSession session = sessionWith(kCard, kMarch1, 1);
            ScanStore::save(session);
        }
        for (const auto& entry : std::filesystem::directory_iterator(ScanStore::root()))
            saved.push_back(entry.path().filename().string());
        std::vector<std::string> listed;
        for (const auto& session : ScanStore::all())
            listed.push_back(session.idText());
        QVERIFY(listed == saved);
    }

    void savingReplacesTheRecordAndLeavesNothingElse()
    {
        TemporaryStore store;
        ScanSession session = sessionWith(kCard, kMarch1, 1);
        ScanStore::save(session);
        session.report.files.push_back(session.report.files.front());
        ScanStore::save(session);
        QCOMPARE(ScanStore::all().front().report.files.size(), size_t(2));
        auto entries = std::distance(std::filesystem::directory_iterator(ScanStore::folder(session)), {});
        QCOMPARE(entries, std::ptrdiff_t(1));
        ScanStore::remove(session);
        QVERIFY(!std::filesystem::exists(ScanStore::folder(session)));
    }

    void storeThatCannotBeCreatedSaysWhere()
    {
        TemporaryStore store;
        writeText(std::filesystem::path(store.path().toStdString()) / "Brightfold Recover", "a file, not a folder");
        ScanSession session = sessionWith(kCard, kMarch1, 1);
        try {
            ScanStore::save(session);
            QFAIL("saved");
        } catch (const ScanSessionError& error) {
            QCOMPARE(error.kind(), ScanSessionError::Kind::storeFailed);
            QVERIFY(std::string(error.what()).starts_with("Could not store the scan in " + ScanStore::folder(session).string() + ": "));
        }
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
        devices.setDisks({ card("sda", 8'000'000'000, "SD SL64G"), card(identifier.toStdString(), size, media.toStdString(), { "NEW" }) });
        auto disk = sessionWith(kCard, kMarch1, 1).currentDisk(devices, DiskImages::excluded);
        QCOMPARE(disk.has_value(), found);
        if (found)
            QCOMPARE(QString::fromStdString(disk->deviceIdentifier), identifier);
        QVERIFY(!sessionWith(ScanSession::Image { "/a.img", 1 }, kMarch1, 1).currentDisk(devices, DiskImages::excluded));
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
    }
    void reopeningSaysWhatToDo()
    {
        QFETCH(int, situation);
        QFETCH(QString, message);
        QTemporaryDir folder;
        std::string image = (folder.path() + "/card.img").toStdString();
        writeCardImage(image, 1, 4096);
        FakeDevices devices;
        devices.mapDevice("/dev/sdb", image);
        if (situation == 3)
            devices.setDisks({ card("sdb", kCard.sizeBytes, kCard.mediaName) });
        ScanSession::Source source = kCard;
        if (situation >= 1)
            source = ScanSession::Image { situation == 1 ? folder.path().toStdString() + "/gone/card.img" : image, situation == 2 ? 4095u : 4096u };
        try {
            ByteSourcePtr opened = sessionWith(source, kMarch1, 1).openSource(devices, DiskImages::excluded);
            QVERIFY(message.isEmpty());
            QCOMPARE(opened->size(), uint64_t(4096));
        } catch (const ScanSessionError& error) {
            QCOMPARE(error.kind(), ScanSessionError::Kind::sourceMissing);
            QCOMPARE(QString::fromStdString(error.what()), message);
        }
    }
};

QTEST_GUILESS_MAIN(ScanSessionTest)
#include "ScanSessionTest.moc"
