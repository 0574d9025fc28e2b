#include "WorkflowTestSupport.hpp"

#include "workflow/BrowserTexts.hpp"
#include "workflow/RecoveryJob.hpp"

#include <QDirIterator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// Records every progress report.
struct ProgressLog {
    std::vector<std::pair<int, int>> reports;
    RecoveryJob::Progress function()
    {
        return [this](int done, int total) { reports.emplace_back(done, total); };
    }
};

/// A session over an image holding gradient.png at 0 and 8 KiB, carved with head digests.
ScanSession imageSession(const QString& imagePath)
{
    writeCardImage(imagePath.toStdString(), 2, 65536);
    const QByteArray png = readAll(QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR "/images/gradient.png"));
    const auto digest = CarvedFile::headDigestOf({ reinterpret_cast<const uint8_t*>(png.data()), size_t(png.size()) });
    ScanSession session { SessionId::generate(), ScanSession::now(), "card.img", ScanSession::Image { imagePath.toStdString(), 65536 }, {} };
    for (uint64_t start : { 0, 8192 })
        session.report.files.push_back({ start, uint64_t(png.size()), "png", FormatCategory::photos, CarveConfidence::exact, "", digest, {} });
    return session;
}

}

class RecoveryJobTest : public QObject {
    Q_OBJECT

private slots:
    void copyingKeepsWhatIsThereAndCountsFailures()
    {
        QTemporaryDir source;
        QTemporaryDir target;
        writeFile(source.filePath("a.jpg"), "new");
        writeFile(target.filePath("a.jpg"), "old");
        ProgressLog log;
        RecoveryOutcome outcome = RecoveryJob::copy({ source.filePath("a.jpg"), source.filePath("gone.jpg") }, target.path(), log.function());
        QCOMPARE(outcome, (RecoveryOutcome { RecoveryOutcome::Kind::copied, 1, 0, 1, 0, target.path(), {} }));
        QCOMPARE(readAll(target.filePath("a-1.jpg")), QByteArray("new"));
        QCOMPARE(readAll(target.filePath("a.jpg")), QByteArray("old"));
        QVERIFY(!QFileInfo::exists(target.filePath("gone.jpg")));
        QCOMPARE(log.reports, (std::vector<std::pair<int, int>> { { 1, 2 }, { 2, 2 } }));
    }

    void trashingCountsWhatTheDesktopCouldNotMove()
    {
        QTemporaryDir folder;
        for (const char* name : { "a.jpg", "b.jpg", "c.jpg" })
            writeFile(folder.filePath(name), name);
        StandInDesktop desktop;
        desktop.trashFails = { folder.filePath("b.jpg") };
        ProgressLog log;
        RecoveryOutcome outcome
            = RecoveryJob::trash({ folder.filePath("a.jpg"), folder.filePath("b.jpg"), folder.filePath("c.jpg") }, desktop, log.function());
        QCOMPARE(outcome, (RecoveryOutcome { RecoveryOutcome::Kind::trashed, 2, 0, 1, 0, {}, {} }));
        QCOMPARE(desktop.trashedPaths(), (std::vector { folder.filePath("a.jpg"), folder.filePath("c.jpg") }));
        QCOMPARE(log.reports.back(), (std::pair { 3, 3 }));
    }

    // A job told to stop ends between two files and reports what it did.
    void aStoppedJobEndsBetweenFiles_data()
    {
        QTest::addColumn<QString>("job");
        QTest::newRow("copy") << "copy";
        QTest::newRow("trash") << "trash";
        QTest::newRow("save") << "save";
    }
    void aStoppedJobEndsBetweenFiles()
    {
        QFETCH(QString, job);
        QTemporaryDir work;
        QStringList paths;
        for (const char* name : { "a.jpg", "b.jpg", "c.jpg" }) {
            writeFile(work.filePath(QStringLiteral("in/") + name), name);
            paths << work.filePath(QStringLiteral("in/") + name);
        }
        QVERIFY(QDir().mkpath(work.filePath("out")));
        ProgressLog log;
        // Stops once the first file is done.
        const RecoveryJob::StopTest stopAfterFirst = [&log] { return !log.reports.empty(); };
        StandInDesktop desktop;
        FakeDevices devices;
        RecoveryOutcome outcome;
        if (job == "copy")
            outcome = RecoveryJob::copy({ paths.begin(), paths.end() }, work.filePath("out"), log.function(), stopAfterFirst);
        if (job == "trash")
            outcome = RecoveryJob::trash({ paths.begin(), paths.end() }, desktop, log.function(), stopAfterFirst);
        if (job == "save") {
            ScanSession session = imageSession(work.filePath("card.img"));
            session.report.files.push_back(session.report.files.front());
            outcome = RecoveryJob::save(session, session.report.files, work.filePath("out"), devices, DiskImages::excluded, log.function(),
                stopAfterFirst);
        }
        QCOMPARE(outcome.done, 1);
        QCOMPARE(outcome.failed, 0);
        QCOMPARE(log.reports.front().second, 3);
    }

    // Guards against a full destination being reported as files the card could not give.
    void aFullDestinationIsSaidSo()
    {
        QTemporaryDir work;
        ScanSession session = imageSession(work.filePath("card.img"));
        const QString out = work.filePath("out");
        QVERIFY(QDir().mkpath(out));
        // Room for the folder and hardly more than one file.
        const bool mounted = ::mount("tmpfs", out.toLocal8Bit().constData(), "tmpfs", 0, "size=12k,nr_inodes=64") == 0;
        if (!mounted)
            QSKIP_WITHOUT_CAPABILITY("cannot mount a small file system here");
        auto unmount = qScopeGuard([&] { ::umount2(out.toLocal8Bit().constData(), MNT_DETACH); });
        FakeDevices devices;
        for (int i = 0; i < 6; ++i)
            session.report.files.push_back(session.report.files[size_t(i)]);
        RecoveryOutcome outcome = RecoveryJob::save(session, session.report.files, out, devices, DiskImages::excluded, {});
        QCOMPARE(int(outcome.kind), int(RecoveryOutcome::Kind::saved));
        QVERIFY(outcome.notWritten > 0);
        QCOMPARE(outcome.failed, 0);
        QCOMPARE(outcome.done + outcome.notWritten, int(session.report.files.size()));
        QVERIFY2(outcome.error.startsWith("The destination is full."), qPrintable(outcome.error));
    }

    void savingFromTheCard_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("saved");
        QTest::addColumn<int>("changed");
        QTest::addColumn<QString>("error");
        QTest::newRow("unchanged") << "unchanged" << int(RecoveryOutcome::Kind::saved) << 2 << 0 << "";
        QTest::newRow("first file overwritten") << "overwrite" << int(RecoveryOutcome::Kind::saved) << 1 << 1 << "";
        QTest::newRow("image moved") << "move" << int(RecoveryOutcome::Kind::failed) << 0 << 0
                                     << "The disk image card.img isn't where it was. Move it back, or scan it again.";
    }
    void savingFromTheCard()
    {
        QFETCH(QString, situation);
        QFETCH(int, kind);
        QFETCH(int, saved);
        QFETCH(int, changed);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString image = work.filePath("card.img");
        ScanSession session = imageSession(image);
        if (situation == "overwrite") {
            QFile card(image);
            QVERIFY(card.open(QIODevice::ReadWrite));
            card.write("overwritten after the scan");
        }
        if (situation == "move")
            QVERIFY(QFile::rename(image, work.filePath("elsewhere.img")));
        QVERIFY(QDir().mkpath(work.filePath("out")));
        FakeDevices devices;
        ProgressLog log;
        RecoveryOutcome outcome
            = RecoveryJob::save(session, session.report.files, work.filePath("out"), devices, DiskImages::excluded, log.function());
        QCOMPARE(int(outcome.kind), kind);
        QCOMPARE(outcome.done, saved);
        QCOMPARE(outcome.changed, changed);
        QCOMPARE(outcome.error, error);
        const QStringList made = QDir(work.filePath("out")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (!error.isEmpty()) {
            QVERIFY(made.isEmpty());
            QVERIFY(outcome.destination.isEmpty());
            return;
        }
        QCOMPARE(made.size(), 1);
        QVERIFY(made[0].startsWith(RecoveryJob::kSaveFolderPrefix));
        QCOMPARE(outcome.destination, work.filePath("out/" + made[0]));
        QVERIFY(!log.reports.empty());
    }
};

QTEST_GUILESS_MAIN(RecoveryJobTest)
#include "RecoveryJobTest.moc"
