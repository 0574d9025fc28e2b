#include "WorkflowTestSupport.hpp"

#include "workflow/AppModel.hpp"
#include "workflow/ScanStore.hpp"
#include "workflow/StepStatus.hpp"

#include <QtTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr uint64_t kChunk = 16 * 1024 * 1024; // the application's scan chunk
constexpr int kScanTimeout = 60'000;          // ms; sanitizer builds are slow

struct Fixture {
    TemporaryStore store;
    QTemporaryDir folder;
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    std::string image = (folder.path() + "/card.img").toStdString();
};

std::unique_ptr<AppModel> makeModel(Fixture& fixture, AppSettings settings = {})
{
    return std::make_unique<AppModel>(std::move(settings), fixture.devices, nullptr);
}

void waitForStage(AppModel& model, AppStage::Kind kind)
{
    QTRY_VERIFY_WITH_TIMEOUT(model.stage().kind == kind, kScanTimeout);
}

class FixedPanels final : public OpenPanels {
public:
    std::optional<QString> chooseFile(const QString& title, const QString&) override { m_titles << title; return m_answer; }
    std::optional<QString> chooseFolder(const QString& title, const QString&) override { m_titles << title; return m_answer; }
    std::optional<QString> m_answer;
    QStringList m_titles;
};

}

class AppModelTest : public QObject {
    Q_OBJECT

private slots:
    void scanOfAnImageIsStoredAndDone()
    {
        Fixture fixture;
        writeCardImage(fixture.image, 3, 1024 * 1024);
        auto model = makeModel(fixture);
        QSignalSpy progress(model.get(), &AppModel::progressChanged);
        model->setSource(AppSource { ImageFile { QString::fromStdString(fixture.image) } });
        model->start();
        QCOMPARE(model->stage().kind, AppStage::Kind::scanning);
        QCOMPARE(model->stepStatus(), QStringLiteral("Opening card.img…"));
        waitForStage(*model, AppStage::Kind::done);

        const ScanSession& session = *model->stage().session;
        QCOMPARE(session.report.files.size(), size_t(3));
        QVERIFY(std::get<ScanSession::Image>(session.source) == (ScanSession::Image { fixture.image, 1024 * 1024 }));
        QCOMPARE(model->recentScans().size(), size_t(1));
        QCOMPARE(model->recentScans().front().idText(), session.idText());
        QVERIFY(std::filesystem::exists(ScanStore::folder(session) / CarveReport::kFileName));
        QVERIFY(!std::filesystem::exists(ScanStore::folder(session) / "tmp"));
        QVERIFY(progress.count() >= 1);
        QCOMPARE(model->progress()->filesFound, int64_t(3));
        QVERIFY(!model->previewProgress());
        QCOMPARE(model->step(), 2);
        QVERIFY(model->stepStatus().startsWith("Found 3 files."));
        QVERIFY(model->session(session.id));
    }

    void diskScanUnmountsFirstWhenAsked_data()
    {
        QTest::addColumn<bool>("unmountFirst");
        QTest::newRow("unmount") << true;
        QTest::newRow("leave mounted") << false;
    }
    void diskScanUnmountsFirstWhenAsked()
    {
        QFETCH(bool, unmountFirst);
        Fixture fixture;
        writeCardImage(fixture.image, 1, 64 * 1024);
        fixture.devices->mapDevice("/dev/sdq", fixture.image);
        auto model = makeModel(fixture);
        model->setSource(AppSource { card("sdq", 64 * 1024, "SD SL64G", { "EOS_DIGITAL" }) });
        model->setUnmountFirst(unmountFirst);
        model->start();
        waitForStage(*model, AppStage::Kind::done);
        QCOMPARE(fixture.devices->unmounted(), unmountFirst ? std::vector<std::string> { "sdq" } : std::vector<std::string> {});
        QVERIFY(std::get<ScanSession::Disk>(model->stage().session->source)
            == (ScanSession::Disk { "sdq", 64 * 1024, "SD SL64G", { "EOS_DIGITAL" } }));
        QCOMPARE(QString::fromStdString(model->stage().session->sourceName), QStringLiteral("EOS_DIGITAL"));
    }

    void failureShowsTheDeviceText()
    {
        Fixture fixture;
        fixture.devices->failOpens(DeviceError::authorizationDenied("/dev/sdq"));
        auto model = makeModel(fixture);
        model->setSource(AppSource { card("sdq", 1 << 20, "SD") });
        model->start();
        waitForStage(*model, AppStage::Kind::failed);
        QCOMPARE(model->stage().message, QStringLiteral("Authorization to read /dev/sdq was denied."));
        QCOMPARE(model->step(), 0);
        QVERIFY(ScanStore::all().empty());
    }

    void startNeedsASourceAndACategory()
    {
        Fixture fixture;
        writeCardImage(fixture.image, 1, 64 * 1024);
        auto model = makeModel(fixture);
        model->start();
        QCOMPARE(model->stage().kind, AppStage::Kind::setup);
        model->setSource(AppSource { ImageFile { QString::fromStdString(fixture.image) } });
        model->setEnabledCategories({});
        model->start();
        QCOMPARE(model->stage().kind, AppStage::Kind::setup);
        QCOMPARE(model->setupWarning(), OptionalText(QStringLiteral("Select at least one file type to recover.")));
        model->setEnabledCategories({ FormatCategory::photos });
        model->start();
        QVERIFY(!model->setupWarning());
        waitForStage(*model, AppStage::Kind::done);
    }

    void cancelDuringTheScanStillStoresIt()
    {
        Fixture fixture;
        writeCardImage(fixture.image, 2, 3 * kChunk);
        fixture.devices->holdReadsFrom(kChunk);
        auto model = makeModel(fixture);
        connect(model.get(), &AppModel::progressChanged, model.get(), [&] {
            model->cancel();
            fixture.devices->release();
        });
        model->setSource(AppSource { ImageFile { QString::fromStdString(fixture.image) } });
        model->start();
        waitForStage(*model, AppStage::Kind::done);
        const CarveReport& report = model->stage().session->report;
        QVERIFY(report.cancelled);
        QCOMPARE(report.scannedBytes, kChunk);
        QCOMPARE(report.files.size(), size_t(2));
        QCOMPARE(ScanStore::all().size(), size_t(1));
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
        Fixture fixture;
        writeCardImage(fixture.image, 10, 1024 * 1024);
        auto model = makeModel(fixture);
        QList<std::optional<PreviewProgress>> seen;
        connect(model.get(), &AppModel::previewProgressChanged, model.get(), [&] {
            seen << model->previewProgress();
            if (cancelAtFour && model->previewProgress() == PreviewProgress { 4, 10 })
                model->cancel();
        });
        model->setSource(AppSource { ImageFile { QString::fromStdString(fixture.image) } });
        model->start();
        waitForStage(*model, AppStage::Kind::done);
        QList<std::optional<PreviewProgress>> expected { PreviewProgress { 0, 10 }, PreviewProgress { 4, 10 } };
        if (!cancelAtFour)
            expected << PreviewProgress { 8, 10 };
        expected << std::nullopt;
        QCOMPARE(seen, expected);
        QVERIFY(!model->stage().session->report.cancelled);
    }

    void refreshKeepsOnlyWhatIsStillThere_data()
    {
        QTest::addColumn<bool>("image");
        QTest::addColumn<bool>("cardRemoved");
        QTest::addColumn<bool>("kept");
        QTest::newRow("card still there") << false << false << true;
        QTest::newRow("card removed") << false << true << false;
        QTest::newRow("image survives") << true << true << true;
    }
    void refreshKeepsOnlyWhatIsStillThere()
    {
        QFETCH(bool, image);
        QFETCH(bool, cardRemoved);
        QFETCH(bool, kept);
        Fixture fixture;
        ExternalDisk sdq = card("sdq", 1 << 30, "SD");
        fixture.devices->setDisks(cardRemoved ? std::vector<ExternalDisk> {} : std::vector { sdq });
        auto model = makeModel(fixture);
        model->setSource(image ? AppSource { ImageFile { "/x.img" } } : AppSource { sdq });
        model->refreshDisks();
        QVERIFY(model->isRefreshing());
        QTRY_VERIFY(!model->isRefreshing());
        QCOMPARE(model->source().has_value(), kept);
        QCOMPARE(model->disks().size(), size_t(cardRemoved ? 0 : 1));
    }

    void testVolumeReplacesTheDisksAndHidesStoredScans_data()
    {
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mounted image") << "BFTEST" << "loop3";
        QTest::newRow("no such image") << "ELSEWHERE" << "";
        QTest::newRow("physical disks never stand in") << "CARD" << "";
    }
    void testVolumeReplacesTheDisksAndHidesStoredScans()
    {
        QFETCH(QString, volume);
        QFETCH(QString, expected);
        Fixture fixture;
        ScanStore::save(sessionWith(ScanSession::Disk { "sdq", 1, "", {} }, QDateTime::currentDateTimeUtc(), 1));
        fixture.devices->setDisks({ card("sdq", 1 << 30, "SD", { "CARD" }) }, { card("loop3", 1 << 20, "", { "BFTEST" }) });
        auto model = makeModel(fixture, AppSettings { volume, {}, {}, false });
        QVERIFY(model->recentScans().empty());
        QCOMPARE(model->diskImages(), DiskImages::included);
        model->refreshDisks();
        QTRY_VERIFY(!model->isRefreshing());
        QCOMPARE(model->disks().size(), size_t(expected.isEmpty() ? 0 : 1));
        QCOMPARE(model->source().has_value(), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(QString::fromStdString(std::get<ExternalDisk>(model->source()->value).deviceIdentifier), expected);
    }

    void browserReturnsWhereItCameFrom()
    {
        Fixture fixture;
        writeCardImage(fixture.image, 1, 64 * 1024);
        auto panels = std::make_shared<FixedPanels>();
        AppModel model({}, fixture.devices, panels);
        panels->m_answer = QString::fromStdString(fixture.image);
        model.chooseImageFile();
        QCOMPARE(model.source(), OptionalSource(AppSource { ImageFile { QString::fromStdString(fixture.image) } }));
        model.start();
        waitForStage(model, AppStage::Kind::done);
        AppStage done = model.stage();
        model.enterBrowser(BrowseTarget::session(done.session->id));
        QCOMPARE(model.step(), 2);
        model.exitBrowser();
        QCOMPARE(model.stage(), done);

        model.returnToSetup();
        QVERIFY(!model.progress());
        QTRY_VERIFY(!model.isRefreshing());
        panels->m_answer = fixture.folder.path();
        model.browsePreviousRecovery();
        QCOMPARE(model.stage(), AppStage::browsing(BrowseTarget::folder(fixture.folder.path())));
        QCOMPARE(model.step(), 4);
        model.exitBrowser();
        QCOMPARE(model.stage().kind, AppStage::Kind::setup);
        QVERIFY(model.isRefreshing());
        QCOMPARE(panels->m_titles, QStringList({ "Choose a Disk Image", "Open Saved Files" }));

        model.deleteScan(*done.session);
        QVERIFY(model.recentScans().empty());
        QVERIFY(!model.session(done.session->id));
    }

    void stepStatusTexts_data()
    {
        QTest::addColumn<qulonglong>("scanned");
        QTest::addColumn<qulonglong>("total");
        QTest::addColumn<int>("found");
        QTest::addColumn<QString>("text");
        QTest::newRow("99.9 percent") << 999ull << 1000ull << 1 << "Scanning EOS: 99% · 1 file found so far.";
        QTest::newRow("exact percent") << 29ull << 100ull << 2 << "Scanning EOS: 29% · 2 files found so far.";
        QTest::newRow("empty source") << 0ull << 0ull << 0 << "Scanning EOS: 0% · 0 files found so far.";
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
        progress.bytesScanned = scanned;
        progress.totalBytes = total;
        progress.filesFound = found;
        QCOMPARE(stepStatus(AppStage::scanning("EOS"), progress), text);
    }

    void settingsComeFromStoreThenEnvironmentThenOptions()
    {
        QTemporaryDir folder;
        QSettings stored(folder.path() + "/settings.ini", QSettings::IniFormat);
        stored.setValue("BFTestVolume", "STORED");
        stored.setValue("BFAutoScanImage", "/stored.img");
        stored.setValue("BFOpenLatestScan", true);
        QProcessEnvironment environment;
        environment.insert("BFAutoScanImage", "/env.img");
        environment.insert("BFOpenRecoveryFolder", "/env");
        AppSettings settings = AppSettings::read(stored, environment, { "app", "--open-recovery-folder", "/option", "--other" });
        QCOMPARE(settings.testVolume, OptionalText("STORED"));
        QCOMPARE(settings.autoScanImage, OptionalText("/env.img"));
        QCOMPARE(settings.openRecoveryFolder, OptionalText("/option"));
        QVERIFY(settings.openLatestScan);
        environment.insert("BFOpenLatestScan", "0");
        QVERIFY(!AppSettings::read(stored, environment, { "app" }).openLatestScan);
        QVERIFY(AppSettings::read(stored, environment, { "app", "--open-latest-scan" }).openLatestScan);
        QCOMPARE(AppSettings::read(stored, environment, { "app", "--auto-scan-image" }).autoScanImage, OptionalText("/env.img"));
    }
};

QTEST_GUILESS_MAIN(AppModelTest)
#include "AppModelTest.moc"
