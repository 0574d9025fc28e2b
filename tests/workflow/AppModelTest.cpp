#include "WorkflowTestSupport.hpp"

#include "workflow/AppModel.hpp"
#include "scan/ScanRunner.hpp"
#include "scan/ScanStore.hpp"
#include "workflow/StepStatus.hpp"

#include <QtTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kChunk = ScanRunner::kChunkSize; // the application's scan chunk
constexpr int kScanTimeout = 60'000;          // ms; sanitizer builds are slow

struct Fixture {
    TemporaryStore store;
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    std::shared_ptr<StandInDesktop> desktop = std::make_shared<StandInDesktop>();
    QString image;
    AppModel model;

    static QString written(const QString& path, int pngs, uint64_t size) { return writeCardImage(path.toStdString(), pngs, size), path; }

    explicit Fixture(int pngs = 1, uint64_t size = 64 * 1024, AppSettings settings = {})
        : image(written(store.folder.path() + "/card.img", pngs, size))
        , model(std::move(settings), devices, desktop)
    {
        devices->devices["/dev/sdq"] = image.toStdString();
    }
    void scanImage() { model.setSource(AppSource { ImageFile { image } }), model.start(); }
    void waitFor(AppStage::Kind kind) { QTRY_VERIFY_WITH_TIMEOUT(model.stage().kind == kind, kScanTimeout); }
};

}

class AppModelTest : public QObject {
    Q_OBJECT

private slots:
    // The setup screen's boxes tick one category each, leaving the others as they are.
    void oneCategoryIsTickedAtATime()
    {
        Fixture fixture(1, 4096);
        QSignalSpy changes(&fixture.model, &AppModel::enabledCategoriesChanged);
        fixture.model.setEnabledCategories({ FormatCategory::photos, FormatCategory::video });
        struct Step {
            FormatCategory category;
            bool enabled;
            CategorySet after;
            int changes;
        };
        const Step steps[] = {
            { FormatCategory::audio, true, { FormatCategory::photos, FormatCategory::video, FormatCategory::audio }, 2 },
            { FormatCategory::audio, true, { FormatCategory::photos, FormatCategory::video, FormatCategory::audio }, 2 }, // already on
            { FormatCategory::photos, false, { FormatCategory::video, FormatCategory::audio }, 3 },
            { FormatCategory::archives, false, { FormatCategory::video, FormatCategory::audio }, 3 }, // already off
            { FormatCategory::video, false, { FormatCategory::audio }, 4 },
            { FormatCategory::audio, false, {}, 5 },
        };
        for (const Step& step : steps) {
            fixture.model.setCategoryEnabled(step.category, step.enabled);
            QCOMPARE(fixture.model.enabledCategories(), step.after);
            QCOMPARE(changes.size(), step.changes);
        }
    }

    void scanOfAnImageIsStoredAndDone()
    {
        Fixture fixture(3, 1024 * 1024);
        fixture.model.start(); // no source yet
        fixture.model.setEnabledCategories({});
        fixture.scanImage();
        QCOMPARE(fixture.model.setupWarning(), OptionalText(QStringLiteral("Select at least one file type to recover.")));
        QCOMPARE(fixture.model.stage().kind, AppStage::Kind::setup);
        fixture.model.setEnabledCategories({ FormatCategory::photos });
        fixture.model.start();
        QVERIFY(!fixture.model.setupWarning());
        QCOMPARE(fixture.model.stepStatus(), QStringLiteral("Opening card.img…"));
        fixture.waitFor(AppStage::Kind::done);
        const ScanSession& session = *fixture.model.stage().session;
        QCOMPARE(session.report.files.size(), size_t(3));
        const auto& image = std::get<ScanSession::Image>(session.source);
        QVERIFY(std::tie(image.path, image.sizeBytes) == std::tuple(fixture.image.toStdString(), uint64_t(1024 * 1024)));
        QVERIFY(image.identity == ScanSessionImageIdentity::of(image.path));
        QTRY_VERIFY(!fixture.model.recentScans().empty()); // listed in the background
        QCOMPARE(fixture.model.recentScans().front().idText(), session.idText());
        QVERIFY(std::filesystem::exists(ScanStore::folder(session) / CarveReport::kFileName));
        QVERIFY(!std::filesystem::exists(ScanStore::folder(session) / "tmp"));
        QCOMPARE(QDir(QString::fromStdString((ScanStore::folder(session) / "previews").string())).entryList({ "f0.jpg", "f16.jpg", "f32.jpg" }).size(), 3);
        QCOMPARE(fixture.model.progress()->filesFound, int64_t(3));
        QVERIFY(fixture.model.stepStatus().startsWith("Found 3 files."));
    }

    void failureShowsWhatWentWrong_data()
    {
        QTest::addColumn<bool>("storeBlocked");
        QTest::addColumn<QString>("message");
        QTest::newRow("password declined") << false << "Authorization to read /dev/sdq was denied.";
        QTest::newRow("store cannot be created") << true << "Cannot create output folder ";
    }
    void failureShowsWhatWentWrong()
    {
        QFETCH(bool, storeBlocked);
        QFETCH(QString, message);
        Fixture fixture;
        if (storeBlocked)
            QFile(fixture.store.folder.path() + "/Brightfold Recover").open(QIODevice::WriteOnly); // a file where the folder goes
        else
            fixture.devices->openError = DeviceError::authorizationDenied("/dev/sdq");
        fixture.model.setSource(AppSource { card("sdq", 64 * 1024, "SD") });
        fixture.model.start();
        fixture.waitFor(AppStage::Kind::failed);
        QVERIFY2(fixture.model.stage().message.startsWith(message), qPrintable(fixture.model.stage().message));
        QCOMPARE(fixture.model.step(), 0);
    }

    void cancelDuringTheScanStillStoresIt()
    {
        Fixture fixture(2, 256 * kChunk); // sparse: mostly zeros
        connect(&fixture.model, &AppModel::progressChanged, this, [&] { fixture.model.cancel(); });
        fixture.scanImage();
        fixture.waitFor(AppStage::Kind::done);
        const CarveReport& report = fixture.model.stage().session->report;
        QVERIFY(report.cancelled && report.scannedBytes >= kChunk && report.scannedBytes < report.totalBytes);
        QCOMPARE(report.files.size(), size_t(2));
    }

    void previewProgressCountsInFours_data()
    {
        QTest::addColumn<bool>("cancelAtFour");
        QTest::newRow("all previews") << false;
        QTest::newRow("cancelled during previews") << true;
    }
    void previewProgressCountsInFours()
    {
        QFETCH(bool, cancelAtFour);
        Fixture fixture(10, 1024 * 1024);
        QList<OptionalWorkProgress> seen;
        connect(&fixture.model, &AppModel::previewProgressChanged, this, [&] {
            seen << fixture.model.previewProgress();
            if (cancelAtFour && seen.back() == WorkProgress { 4, 10 })
                fixture.model.cancel();
        });
        fixture.scanImage();
        fixture.waitFor(AppStage::Kind::done);
        QList<OptionalWorkProgress> expected { WorkProgress { 0, 10 }, WorkProgress { 4, 10 } };
        if (!cancelAtFour)
            expected << WorkProgress { 8, 10 };
        QCOMPARE(seen, expected << std::nullopt);
    }

    // The results are shown once the first screenful has its previews; the rest
    // follow in the background, each announced as it is written.
    void previewsPastTheFirstScreenfulFollowTheResults()
    {
        const int files = AppModel::kFirstScreenful + 6;
        Fixture fixture(files, 1024 * 1024);
        QSignalSpy made(&fixture.model, &AppModel::previewMade);
        fixture.scanImage();
        fixture.waitFor(AppStage::Kind::done);
        const ScanSession session = *fixture.model.stage().session;
        QCOMPARE(session.report.files.size(), size_t(files));
        QTRY_COMPARE_WITH_TIMEOUT(made.count(), files - AppModel::kFirstScreenful, kScanTimeout);
        for (const QList<QVariant>& signal : made) {
            QCOMPARE(signal.at(0).toString(), QString::fromStdString(session.id.text()));
            const QString preview = QString::fromStdString((ScanStore::folder(session) / "previews").string())
                + QStringLiteral("/f%1.jpg").arg(signal.at(1).toULongLong() / 512);
            QVERIFY2(QFile::exists(preview), qPrintable(preview));
        }
        QCOMPARE(QDir(QString::fromStdString((ScanStore::folder(session) / "previews").string())).entryList({ "*.jpg" }).size(), files);
    }

    // A stored scan opened in the browser gets the previews it lacks (the
    // application quit before they were made), read from its image file.
    void aStoredScanGetsItsMissingPreviewsInTheBrowser()
    {
        Fixture fixture(3, 1024 * 1024);
        fixture.scanImage();
        fixture.waitFor(AppStage::Kind::done);
        const ScanSession session = *fixture.model.stage().session;
        const QString previews = QString::fromStdString((ScanStore::folder(session) / "previews").string());
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.model.makingPreviews(), kScanTimeout);
        QCOMPARE(QDir(previews).entryList({ "*.jpg" }).size(), 3);
        QVERIFY(QDir(previews).removeRecursively());

        QSignalSpy made(&fixture.model, &AppModel::previewMade);
        fixture.model.enterBrowser(BrowseTarget::session(session.id));
        QTRY_COMPARE_WITH_TIMEOUT(made.count(), 3, kScanTimeout);
        QCOMPARE(QDir(previews).entryList({ "*.jpg" }).size(), 3);
        // Opened again with nothing missing: nothing is made.
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.model.makingPreviews(), kScanTimeout);
        fixture.model.exitBrowser();
        made.clear();
        fixture.model.enterBrowser(BrowseTarget::session(session.id));
        QTest::qWait(500);
        QCOMPARE(made.count(), 0);
    }

    // Deleting a scan whose previews are still being made stops them: its folder
    // does not come back.
    void deletingAScanStopsItsPreviews()
    {
        Fixture fixture(AppModel::kFirstScreenful + 40, 1024 * 1024);
        fixture.scanImage();
        fixture.waitFor(AppStage::Kind::done);
        const ScanSession session = *fixture.model.stage().session;
        fixture.model.deleteScan(session.id);
        QTRY_VERIFY_WITH_TIMEOUT(!std::filesystem::exists(ScanStore::folder(session)), kScanTimeout);
        QTest::qWait(500);
        QVERIFY(!std::filesystem::exists(ScanStore::folder(session)));
    }

    void closingDuringAScanStopsIt()
    {
        auto fixture = std::make_unique<Fixture>(1, 256 * kChunk);
        fixture->scanImage();
        QTRY_VERIFY_WITH_TIMEOUT(fixture->model.progress(), kScanTimeout);
        fixture.reset(); // cancels the engine and waits for the task, which must not wait for the gone model
    }

    void aCardCopiedFirstIsScannedAndSavedFromTheCopy()
    {
        Fixture fixture(3, 1024 * 1024);
        fixture.devices->blockDevices = true;
        const ExternalDisk sdq = card("sdq", 1024 * 1024, "SD");
        fixture.devices->physical = { sdq };
        QTemporaryDir copies;
        fixture.desktop->folderAnswer = copies.path() + "/copies";
        fixture.model.setSource(AppSource { sdq });
        fixture.model.setCopyFirst(true);
        fixture.model.chooseCopyFolder();
        QCOMPARE(fixture.model.copyFolder(), copies.path() + "/copies");
        QCOMPARE(fixture.desktop->requests.back().prompt, QStringLiteral("Copy Here"));
        QSignalSpy copying(&fixture.model, &AppModel::copyProgressChanged);
        fixture.model.start();
        fixture.waitFor(AppStage::Kind::done);
        QVERIFY(!copying.isEmpty());
        QVERIFY(!fixture.model.copyProgress());
        const ScanSession& session = *fixture.model.stage().session;
        QCOMPARE(session.report.files.size(), size_t(3));
        QVERIFY(std::holds_alternative<ScanSession::Disk>(session.source));
        QVERIFY(session.copy);
        QCOMPARE(QString::fromStdString(session.copy->path), copies.path() + "/copies/SD copy.img");
        QCOMPARE(readAll(QString::fromStdString(session.copy->path)), readAll(fixture.image));
        // With the card gone, the stored scan still opens, from the copy.
        fixture.devices->physical.clear();
        QCOMPARE(session.sourcePath(*fixture.devices, DiskImages::excluded), session.copy->path);
    }

    void aCopyWithoutTheRoomIsRefusedOnTheSetupScreen()
    {
        Fixture fixture;
        const ExternalDisk huge = card("sdq", uint64_t(1) << 62, "SD");
        fixture.devices->physical = { huge };
        fixture.model.setSource(AppSource { huge });
        fixture.model.setCopyFirst(true);
        fixture.model.start();
        QCOMPARE(fixture.model.stage().kind, AppStage::Kind::setup);
        QVERIFY(fixture.model.setupWarning() && fixture.model.setupWarning()->startsWith(QStringLiteral("Not enough room in ")));
        fixture.model.setCopyFirst(false); // the card itself can still be scanned
        fixture.model.start();
        QVERIFY(!fixture.model.setupWarning());
        fixture.waitFor(AppStage::Kind::done);
    }

    void refreshKeepsOnlyWhatIsStillThere_data()
    {
        QTest::addColumn<bool>("image");
        QTest::addColumn<bool>("cardRemoved");
        QTest::newRow("card still there") << false << false;
        QTest::newRow("card removed") << false << true;
        QTest::newRow("image survives") << true << true;
    }
    void refreshKeepsOnlyWhatIsStillThere()
    {
        QFETCH(bool, image);
        QFETCH(bool, cardRemoved);
        Fixture fixture;
        ExternalDisk sdq = card("sdq", 1 << 30, "SD");
        if (!cardRemoved)
            fixture.devices->physical = { sdq };
        fixture.model.setSource(image ? AppSource { ImageFile { "/x.img" } } : AppSource { sdq });
        fixture.model.refreshDisks();
        QVERIFY(fixture.model.isRefreshing());
        QTRY_VERIFY(!fixture.model.isRefreshing());
        QCOMPARE(fixture.model.source().has_value(), image || !cardRemoved);
        QCOMPARE(fixture.model.disks().size(), size_t(cardRemoved ? 0 : 1));
    }

    void testVolumeReplacesTheDisksAndHidesStoredScans_data()
    {
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mounted image") << "BFTEST" << "loop3";
        QTest::newRow("physical disks never stand in") << "CARD" << "";
    }
    void testVolumeReplacesTheDisksAndHidesStoredScans()
    {
        QFETCH(QString, volume);
        QFETCH(QString, expected);
        Fixture fixture(1, 64 * 1024, AppSettings { volume, {}, {}, false });
        ScanStore::save(sessionWith(ScanSession::Disk { "sdq", 1, "", {} }, ScanSession::now(), 1));
        fixture.devices->physical = { card("sdq", 1 << 30, "SD", { "CARD" }) };
        fixture.devices->images = { card("loop3", 1 << 20, "", { "BFTEST" }) };
        fixture.model.refreshDisks();
        QTRY_VERIFY(!fixture.model.isRefreshing());
        QVERIFY(fixture.model.recentScans().empty());
        QCOMPARE(fixture.model.disks().size(), size_t(expected.isEmpty() ? 0 : 1));
        auto* chosen = fixture.model.source() ? std::get_if<ExternalDisk>(&fixture.model.source()->value) : nullptr;
        QCOMPARE(chosen ? QString::fromStdString(chosen->deviceIdentifier) : QString(), expected);
    }

    void choosingAnImageAsksTheDesktopWithoutWaiting()
    {
        Fixture fixture;
        fixture.model.chooseImageFile(); // cancelled
        QCOMPARE(fixture.desktop->requests.back(),
            (ChooserRequest { "Choose a Disk Image", "Select a raw disk image (.img, .dd, .raw, .iso, .bin) to scan", {} }));
        QCoreApplication::processEvents();
        QVERIFY(!fixture.model.source());
        fixture.desktop->fileAnswer = fixture.image;
        fixture.model.chooseImageFile();
        QTRY_VERIFY(fixture.model.source());
        QCOMPARE(std::get<ImageFile>(fixture.model.source()->value).path, fixture.image);
    }

    void browserReturnsWhereItCameFrom()
    {
        Fixture fixture;
        fixture.devices->physical = { card("sdq", 64 * 1024, "SD SL64G", { "EOS_DIGITAL" }) };
        fixture.model.setSource(AppSource { fixture.devices->physical.front() });
        fixture.model.start();
        fixture.waitFor(AppStage::Kind::done);
        AppStage done = fixture.model.stage();
        QCOMPARE(fixture.devices->unmounted, std::vector<std::string> { "sdq" });
        QVERIFY(std::get<ScanSession::Disk>(done.session->source) == (ScanSession::Disk { "sdq", 64 * 1024, "SD SL64G", { "EOS_DIGITAL" } }));
        QCOMPARE(done.session->sourceName, std::string("EOS_DIGITAL"));
        fixture.model.enterBrowser(BrowseTarget::session(done.session->id));
        fixture.model.exitBrowser();
        QCOMPARE(fixture.model.stage(), done);

        fixture.model.returnToSetup();
        QVERIFY(!fixture.model.progress());
        // Guards against browsing (and trashing from) a folder of the user's own files as if it held saved ones.
        fixture.desktop->folderAnswer = fixture.store.folder.path();
        QSignalSpy alerts(&fixture.model, &AppModel::alertRequested);
        fixture.model.browsePreviousRecovery();
        QTRY_COMPARE(alerts.size(), 1); // the answer comes back through the event loop
        QCOMPARE(fixture.model.stage().kind, AppStage::Kind::setup);
        CarveReport().writeFile(fixture.store.folder.path().toStdString());
        fixture.model.browsePreviousRecovery();
        QCOMPARE(fixture.desktop->requests.back().title, QStringLiteral("Open Saved Files"));
        QTRY_COMPARE(fixture.model.step(), 4); // the answer comes back through the event loop
        fixture.model.exitBrowser();
        QCOMPARE(fixture.model.stage().kind, AppStage::Kind::setup);

        QTRY_VERIFY(fixture.model.summary(done.session->id));
        fixture.model.deleteScan(done.session->id);
        QTRY_VERIFY(!fixture.model.summary(done.session->id));
        QVERIFY(!std::filesystem::exists(ScanStore::folder(done.session->id)));
    }

    void stepStatusTexts_data()
    {
        QTest::addColumn<qulonglong>("scanned");
        QTest::addColumn<qulonglong>("total");
        QTest::addColumn<int>("found");
        QTest::addColumn<QString>("text");
        QTest::newRow("99.9 percent") << 999ull << 1000ull << 1 << "Scanning EOS: 99% · 1 file found so far.";
        QTest::newRow("exact percent") << 29ull << 100ull << 2 << "Scanning EOS: 29% · 2 files found so far.";
        QTest::newRow("huge card") << 18'000'000'000'000'000'000ull << 18'000'000'000'000'000'000ull << 5
                                   << "Scanning EOS: 100% · 5 files found so far.";
    }
    void stepStatusTexts()
    {
        QFETCH(qulonglong, scanned);
        QFETCH(qulonglong, total);
        QFETCH(int, found);
        QFETCH(QString, text);
        CarveProgress progress;
        progress.bytesScanned = scanned, progress.totalBytes = total, progress.filesFound = found;
        QCOMPARE(stepStatus(AppStage::scanning("EOS"), progress), text);
    }

    void settingsComeFromStoreThenEnvironmentThenOptions()
    {
        QTemporaryDir folder;
        QSettings stored(folder.path() + "/settings.ini", QSettings::IniFormat);
        stored.setValue("BFTestVolume", "STORED"), stored.setValue("BFAutoScanImage", "/stored.img"), stored.setValue("BFOpenLatestScan", true);
        QProcessEnvironment environment;
        environment.insert("BFAutoScanImage", "/env.img"), environment.insert("BFOpenRecoveryFolder", "/env"), environment.insert("BFOpenLatestScan", "0");
        AppSettings settings = AppSettings::read(stored, environment, { "app", "--open-recovery-folder", "/option", "--auto-scan-image" });
        QCOMPARE(settings.testVolume, OptionalText("STORED"));
        QCOMPARE(settings.autoScanImage, OptionalText("/env.img")); // an option without its value is ignored
        QCOMPARE(settings.openRecoveryFolder, OptionalText("/option"));
        QVERIFY(!settings.openLatestScan);
        QVERIFY(AppSettings::read(stored, environment, { "app", "--open-latest-scan" }).openLatestScan);
        QVERIFY(!settings.browseAutoScan);
        stored.setValue("BFBrowseAutoScan", "yes");
        QVERIFY(AppSettings::read(stored, environment, { "app" }).browseAutoScan);
        environment.insert("BFBrowseAutoScan", "false");
        QVERIFY(!AppSettings::read(stored, environment, { "app" }).browseAutoScan);
        QVERIFY(AppSettings::read(stored, environment, { "app", "--browse-auto-scan" }).browseAutoScan);
    }
};

QTEST_GUILESS_MAIN(AppModelTest)
#include "AppModelTest.moc"
