#include "WorkflowTestSupport.hpp"

#include "ui/AppUpdater.hpp"
#include "ui/ChoiceRow.hpp"
#include "ui/DoneScreen.hpp"
#include "ui/FailedScreen.hpp"
#include "ui/LaunchActions.hpp"
#include "ui/MainWindow.hpp"
#include "ui/ScanScreen.hpp"
#include "ui/SetupScreen.hpp"
#include "ui/StepBar.hpp"
#include "workflow/AppModel.hpp"
#include "scan/ScanStore.hpp"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr int kScanTimeout = 60'000; // ms; sanitizer builds are slow

/// The window over fake disks and a fresh scan store, as the application builds it.
struct Window {
    TemporaryStore store;
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    AppSettings settings;
    std::unique_ptr<AppModel> model;
    AppUpdater updater { AppBundle::running() };
    std::unique_ptr<MainWindow> window;
    QStringList screens;

    explicit Window(std::vector<ExternalDisk> disks = {}, AppSettings launch = {})
        : settings(std::move(launch))
    {
        devices->physical = std::move(disks);
        model = std::make_unique<AppModel>(settings, devices, nullptr);
        window = std::make_unique<MainWindow>(*model, updater, settings);
        QObject::connect(window.get(), &MainWindow::screenChanged, window.get(),
            [this] { screens << QString::fromLatin1(window->screen()->metaObject()->className()); });
    }
    QString image(int pngs) const
    {
        QString path = store.folder.path() + QStringLiteral("/card.img");
        writeCardImage(path.toStdString(), pngs, 1024 * 1024);
        return path;
    }
    void showAndList()
    {
        window->show();
        QTRY_VERIFY(!model->isRefreshing() && !model->disks().empty() == !devices->physical.empty());
        QTRY_VERIFY(!model->isRefreshing());
    }
    /// Every text the current screen shows.
    QStringList texts() const
    {
        QStringList all;
        for (QLabel* label : window->screen()->findChildren<QLabel*>()) {
            if (label->isVisibleTo(window.get()) && !label->text().isEmpty())
                all << label->text();
        }
        return all;
    }
    QPushButton* button(const QString& text) const
    {
        for (QPushButton* button : window->screen()->findChildren<QPushButton*>()) {
            if (button->text() == text && button->isVisibleTo(window.get()))
                return button;
        }
        return nullptr;
    }
};

}

class MainWindowTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase()
    {
        // The window keeps its size in the settings: a folder of the test's own.
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void setupOffersTheCardsAndStartsOnlyWithASource()
    {
        Window app({ card("sdb", 32'000'000'000, "SD Card Reader", { "EOS_DIGITAL" }) });
        app.showAndList();
        QVERIFY(qobject_cast<SetupScreen*>(app.window->screen()));
        QVERIFY(app.window->minimumSizeHint().width() >= MainWindow::kMinimumContentWidth);
        QVERIFY(app.texts().contains(QStringLiteral("Card to scan")));
        QVERIFY(app.texts().contains(QStringLiteral("What to recover")));
        QVERIFY(!app.texts().contains(QStringLiteral("Recent scans")));
        QPushButton* start = app.button(QStringLiteral("Start Recovery"));
        QVERIFY(start && !start->isEnabled());
        auto rows = app.window->screen()->findChildren<ChoiceRow*>();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0]->name(), QStringLiteral("EOS_DIGITAL"));
        QCOMPARE(rows[0]->detail(), QStringLiteral("32 GB · /dev/sdb"));
        QVERIFY(!app.window->screen()->findChild<QCheckBox*>()->text().isEmpty());

        QTest::mouseClick(rows[0], Qt::LeftButton);
        QVERIFY(app.model->source());
        QTRY_VERIFY(app.window->screen()->findChildren<ChoiceRow*>().size() == 1
            && app.window->screen()->findChildren<ChoiceRow*>()[0]->isChosen());
        QVERIFY(start->isEnabled() && start->isDefault());
        bool unmountShown = false;
        for (QCheckBox* box : app.window->screen()->findChildren<QCheckBox*>())
            unmountShown |= box->text() == QStringLiteral("Unmount the card before scanning (recommended)") && box->isVisibleTo(app.window.get());
        QVERIFY(unmountShown);
        QCOMPARE(app.window->stepBar()->current(), 0);
        QCOMPARE(app.window->stepBar()->status(), app.model->stepStatus());
        QVERIFY(!app.window->checkForUpdatesAction()->isEnabled());
    }

    void withoutCardsItSaysHowToInsertOne()
    {
        Window app;
        app.showAndList();
        QTRY_VERIFY(app.texts().contains(
            QStringLiteral("No cards found. Insert the card (in this computer's SD slot or a card reader) and click Refresh.")));
    }

    void noKindOfFileChosenShowsTheWarning()
    {
        Window app;
        app.showAndList();
        app.model->setSource(AppSource { ImageFile { app.image(1) } });
        for (QCheckBox* box : app.window->screen()->findChildren<QCheckBox*>()) {
            if (box->text() != QStringLiteral("Unmount the card before scanning (recommended)"))
                box->setChecked(false);
        }
        QVERIFY(app.model->enabledCategories().empty());
        QTest::mouseClick(app.button(QStringLiteral("Start Recovery")), Qt::LeftButton);
        QTRY_VERIFY(app.texts().contains(QStringLiteral("Select at least one file type to recover.")));
        QCOMPARE(app.model->stage().kind, AppStage::Kind::setup);
    }

    void aScanGoesThroughItsScreensToTheResult()
    {
        Window app;
        app.showAndList();
        app.model->setSource(AppSource { ImageFile { app.image(3) } });
        QTest::keyClick(app.window.get(), Qt::Key_Return); // the default button
        QTRY_VERIFY_WITH_TIMEOUT(app.model->stage().kind == AppStage::Kind::done, kScanTimeout);
        QVERIFY(app.screens.contains(QStringLiteral("brightfold::ScanScreen")));
        QVERIFY(qobject_cast<DoneScreen*>(app.window->screen()));
        QTRY_VERIFY2(app.texts().contains(QStringLiteral("Found 3 Recoverable Files")), qPrintable(app.texts().join('|')));
        QVERIFY(app.texts().contains(QStringLiteral(".png")));
        QVERIFY(app.texts().contains(QStringLiteral("3 files")));
        QPushButton* choose = app.button(QStringLiteral("Choose Files to Save"));
        QVERIFY(choose && choose->isDefault());
        QCOMPARE(app.window->stepBar()->current(), 2);
        QVERIFY(!app.window->stepBar()->busy());

        QTest::mouseClick(app.button(QStringLiteral("Scan Another Card")), Qt::LeftButton);
        QTRY_VERIFY(qobject_cast<SetupScreen*>(app.window->screen()));
        QVERIFY(!app.model->progress());
    }

    void aScanThatCannotStartSaysWhy()
    {
        Window app;
        app.showAndList();
        app.model->setSource(AppSource { ImageFile { app.store.folder.path() + QStringLiteral("/missing.img") } });
        app.model->start();
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<FailedScreen*>(app.window->screen()), kScanTimeout);
        QVERIFY(app.texts().contains(QStringLiteral("Recovery Could Not Start")));
        QVERIFY(app.texts().contains(app.model->stage().message));
        QCOMPARE(app.window->stepBar()->status(), QStringLiteral("The scan couldn't start. See the message below."));
        QTest::mouseClick(app.button(QStringLiteral("Back")), Qt::LeftButton);
        QTRY_VERIFY(qobject_cast<SetupScreen*>(app.window->screen()));
    }

    void launchOpensTheLatestScanAfterStartingTheAutomaticOne()
    {
        TemporaryStore store;
        ScanSession stored = sessionWith(ScanSession::Image { "/nowhere.img", 1 }, ScanSession::now(), 2);
        ScanStore::save(stored);
        QString image = store.folder.path() + QStringLiteral("/card.img");
        writeCardImage(image.toStdString(), 1, 1024 * 1024);
        AppSettings settings;
        settings.autoScanImage = image;
        settings.openLatestScan = true;
        AppModel model(settings, std::make_shared<FakeDevices>(), nullptr);
        QList<AppStage::Kind> stages;
        connect(&model, &AppModel::stageChanged, this, [&] { stages << model.stage().kind; });
        runLaunchActions(model, settings);
        // The latest stored scan opens as soon as the stored scans are listed.
        QTRY_COMPARE(stages, (QList { AppStage::Kind::scanning, AppStage::Kind::browsing }));
        QCOMPARE(model.stage().target, BrowseTarget::session(stored.id));
        // The automatic scan goes on behind the browser and is stored.
        QTRY_COMPARE_WITH_TIMEOUT(ScanStore::all().size(), size_t(2), kScanTimeout);
    }

    void launchBrowsesTheAutomaticScanOnceItIsStored_data()
    {
        QTest::addColumn<bool>("imageThere");
        QTest::newRow("the scan is stored") << true;
        QTest::newRow("the image is missing") << false;
    }
    void launchBrowsesTheAutomaticScanOnceItIsStored()
    {
        QFETCH(bool, imageThere);
        TemporaryStore store;
        QString image = store.folder.path() + QStringLiteral("/card.img");
        if (imageThere)
            writeCardImage(image.toStdString(), 1, 1024 * 1024);
        AppSettings settings;
        settings.autoScanImage = image;
        settings.browseAutoScan = true;
        AppModel model(settings, std::make_shared<FakeDevices>(), nullptr);
        QList<AppStage::Kind> stages;
        connect(&model, &AppModel::stageChanged, this, [&] { stages << model.stage().kind; });
        runLaunchActions(model, settings);
        const AppStage::Kind last = imageThere ? AppStage::Kind::browsing : AppStage::Kind::failed;
        QTRY_COMPARE_WITH_TIMEOUT(model.stage().kind, last, kScanTimeout);
        if (!imageThere) {
            QCOMPARE(stages, (QList { AppStage::Kind::scanning, AppStage::Kind::failed }));
            return;
        }
        QCOMPARE(stages, (QList { AppStage::Kind::scanning, AppStage::Kind::done, AppStage::Kind::browsing }));
        QCOMPARE(ScanStore::all().size(), size_t(1));
        QCOMPARE(model.stage().target, BrowseTarget::session(ScanStore::all().front().id));
        // Closing the browser returns to the scan's result, and nothing opens it again.
        model.exitBrowser();
        QCOMPARE(model.stage().kind, AppStage::Kind::done);
        QCOMPARE(stages.size(), 4);
    }

    void launchActionsWithNothingToOpen_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("latest");
        QTest::newRow("latest scan with no stored scans") << QString() << true;
        QTest::newRow("a recovery folder") << QStringLiteral("saved") << false;
    }
    void launchActionsWithNothingToOpen()
    {
        QFETCH(QString, folder);
        QFETCH(bool, latest);
        TemporaryStore store;
        AppSettings settings;
        if (!folder.isEmpty())
            settings.openRecoveryFolder = folder;
        settings.openLatestScan = latest;
        AppModel model(settings, std::make_shared<FakeDevices>(), nullptr);
        QSignalSpy listed(&model, &AppModel::recentScansListed);
        runLaunchActions(model, settings);
        QVERIFY(model.isRefreshing() || !model.disks().size());
        if (folder.isEmpty()) {
            QTRY_VERIFY(listed.count() > 0);
            QCOMPARE(model.stage().kind, AppStage::Kind::setup);
        } else {
            // A relative path is taken from the working folder, as a shell would.
            QCOMPARE(model.stage().target, BrowseTarget::folder(QDir::current().absoluteFilePath(folder)));
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
