#include "carve/CarvedFile.hpp"
#include "device/DiskEnumerator.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/BrowserModel.hpp"
#include "workflow/BrowserTexts.hpp"
#include "scan/ScanStore.hpp"
#include "WorkflowTestSupport.hpp"

#include <QAbstractItemModelTester>
#include <QDirIterator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

QStringList names(const ItemList& items)
{
    QStringList list;
    for (const RecoveredItem& item : items)
        list << item.displayName;
    return list;
}

/// Writes the report a save leaves beside what it saved, listing `saved` (paths
/// relative to `folder`) as files of those names and folders.
void listInReport(const QString& folder, const QStringList& saved)
{
    CarveReport report;
    uint64_t sector = 1;
    for (const QString& relative : saved) {
        const std::filesystem::path path = relative.toStdString();
        CarvedFile file { 512 * sector++, 5, "bin", FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} };
        file.name = path.filename().string();
        file.folder = path.parent_path().string();
        report.files.push_back(file);
    }
    report.writeFile(folder.toStdString(), ReportNaming::firstFree);
}

bool waitFor(QSignalSpy& spy)
{
    return spy.count() > 0 || spy.wait(20000);
}

}

class BrowserModelTest : public QObject {
    Q_OBJECT

    /// A model that has finished loading, with Qt's checker watching it.
    std::unique_ptr<BrowserModel> loadedModel(BrowserMode mode)
    {
        auto model = std::make_unique<BrowserModel>(std::move(mode), m_devices, DiskImages::included, m_desktop);
        m_tester = std::make_unique<QAbstractItemModelTester>(model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy loaded(model.get(), &BrowserModel::loaded);
        if (!waitFor(loaded))
            qFatal("the browser did not load");
        return model;
    }

    /// A session over a disk image holding gradient.png at 0 and at 8 KiB, both
    /// carved with their head digests.
    ScanSession imageSession(const QString& imagePath)
    {
        writeCardImage(imagePath.toStdString(), 2, 65536);
        const QByteArray png = readAll(QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR "/images/gradient.png"));
        const auto digest = CarvedFile::headDigestOf({ reinterpret_cast<const uint8_t*>(png.data()), size_t(png.size()) });
        ScanSession session { SessionId::generate(), ScanSession::now(), "card.img",
            ScanSession::Image { imagePath.toStdString(), 65536 }, {} };
        for (uint64_t start : { 0, 8192 })
            session.report.files.push_back({ start, uint64_t(png.size()), "png", FormatCategory::photos, CarveConfidence::exact, "", digest, {} });
        return session;
    }

private slots:
    void init()
    {
        m_devices = std::make_shared<FakeDevices>();
        m_desktop = std::make_shared<StandInDesktop>();
    }
    void cleanup() { m_tester.reset(); }

    void savedFileNamesGiveTheirSector_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint64_t>("sector");
        QTest::newRow("carved name") << "f1234.jpg" << uint64_t { 1234 };
        QTest::newRow("largest") << "f18446744073709551615.jpg" << uint64_t { 18446744073709551615ull };
        QTest::newRow("past 64 bits") << "f18446744073709551616.jpg" << uint64_t { 0 };
        QTest::newRow("renamed copy") << "f1234-1.jpg" << uint64_t { 0 };
        QTest::newRow("upper-case F") << "F1234.jpg" << uint64_t { 0 };
        QTest::newRow("signed") << "f+12.jpg" << uint64_t { 0 };
        QTest::newRow("no extension") << "f77" << uint64_t { 77 };
        QTest::newRow("two-word extension") << "f4096.tar.gz" << uint64_t { 4096 };
    }
    void savedFileNamesGiveTheirSector()
    {
        QFETCH(QString, name);
        QFETCH(uint64_t, sector);
        QCOMPARE(RecoveredItem::sectorFromFileName(name), sector);
    }

    // Numbered files sort by sector, others first by path; reports are never
    // listed; unknown extensions have no category and hide under any filter.
    // The delegate paints these roles as they are: the icon, badge and size line of a cell.
    void cellsReadTheirIconBadgeAndSizeFromRoles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("badge");
        QTest::addColumn<QString>("sizeText");
        QTest::newRow("photo") << "f1.JPG" << 1500 << "photo" << "JPG" << "1.5 KB";
        QTest::newRow("raw") << "f2.dng" << 999 << "camera.aperture" << "DNG" << "999 bytes";
        QTest::newRow("video") << "f3.mp4" << 15'200 << "film" << "MP4" << "15.2 KB";
        QTest::newRow("unknown kind") << "f4.xyz" << 2'000'000 << "doc" << "XYZ" << "2 MB";
    }
    void cellsReadTheirIconBadgeAndSizeFromRoles()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(QString, symbol);
        QFETCH(QString, badge);
        QFETCH(QString, sizeText);
        QTemporaryDir folder;
        writeFile(folder.filePath(name), QByteArray(size, 'x'));
        listInReport(folder.path(), { name });
        auto model = loadedModel(BrowserMode::forFolder(folder.path()));
        QCOMPARE(model->rowCount(), 1);
        const QModelIndex cell = model->index(0);
        QCOMPARE(cell.data(BrowserModel::SymbolRole).toString(), symbol);
        QCOMPARE(cell.data(BrowserModel::BadgeRole).toString(), badge);
        QCOMPARE(cell.data(BrowserModel::SizeTextRole).toString(), sizeText);
    }

    void aSavedFolderIsListedInSectorOrder()
    {
        QTemporaryDir folder;
        for (const char* name : { "JPG/f1234.jpg", "JPG/f90.JPG", "MP4/f1000.mp4", "notes.txt", "DNG/b.dng", "DNG/a.dng", "JPG/other.Json",
                 "JPG/f5.jpg", ".hidden.jpg", "DCIM/mine.jpg" })
            writeFile(folder.filePath(name), "12345");
        // Files no report lists are the user's own, never offered (nor trashed).
        listInReport(folder.path(), { "JPG/f1234.jpg", "JPG/f90.JPG", "notes.txt", "DNG/b.dng", "JPG/other.Json" });
        listInReport(folder.path(), { "MP4/f1000.mp4", "DNG/a.dng", ".hidden.jpg" });
        auto model = loadedModel(BrowserMode::forFolder(folder.path()));

        QCOMPARE(names(model->items()), QStringList({ "a.dng", "b.dng", "notes.txt", "f90.JPG", "f1000.mp4", "f1234.jpg" }));
        const RecoveredItem& upper = model->items()[3];
        QCOMPARE(upper.ext, "jpg");
        QCOMPARE(upper.category, FormatCategory::photos);
        QCOMPARE(upper.sizeBytes, 5u);
        QCOMPARE(upper.id, folder.filePath("JPG/f90.JPG"));
        QCOMPARE(upper.fileURL, upper.id);
        QCOMPARE(model->items()[2].category, std::nullopt);
        QCOMPARE(model->presentCategories(), (std::vector { FormatCategory::photos, FormatCategory::rawPhotos, FormatCategory::video }));
        QCOMPARE(model->title(), QFileInfo(folder.path()).fileName());

        model->setFilter(FormatCategory::photos);
        QCOMPARE(names(model->visibleItems()), QStringList({ "f90.JPG", "f1234.jpg" }));
        QCOMPARE(model->rowCount(), 2);
    }

    // Hidden items stay selected; select-all under a filter adds that category only.
    void selectionSurvivesTheFilter()
    {
        QTemporaryDir folder;
        for (const char* name : { "f1.jpg", "f2.mp4", "f3.jpg", "f4.mp4", "f5.txt" })
            writeFile(folder.filePath(name), QByteArray(int(name[1] - '0') * 100, 'x'));
        listInReport(folder.path(), { "f1.jpg", "f2.mp4", "f3.jpg", "f4.mp4", "f5.txt" });
        auto model = loadedModel(BrowserMode::forFolder(folder.path()));
        QSignalSpy selectionChanges(model.get(), &BrowserModel::selectedChanged);

        model->setFilter(FormatCategory::video);
        model->toggle(model->visibleItem(0));
        QVERIFY(model->setData(model->index(1), Qt::Checked, Qt::CheckStateRole));
        model->setFilter(std::nullopt);
        QCOMPARE(names(model->selectedItems()), QStringList({ "f2.mp4", "f4.mp4" }));
        QCOMPARE(model->selectedBytes(), 600u);

        model->setFilter(FormatCategory::photos);
        model->selectAllVisible();
        model->setFilter(std::nullopt);
        QCOMPARE(names(model->selectedItems()), QStringList({ "f1.jpg", "f2.mp4", "f3.jpg", "f4.mp4" }));
        QCOMPARE(model->selectedCount(), 4);
        QCOMPARE(model->selectedBytes(), 1000u);
        QCOMPARE(model->data(model->index(4), BrowserModel::SelectedRole), false);
        QCOMPARE(selectionChanges.count(), 3);

        model->toggle(model->items()[1]);
        QCOMPARE(model->selectedBytes(), 800u);
    }

    // Ids that no longer exist drop out; the others stay selected.
    void reloadKeepsTheSelectionOfItemsThatRemain()
    {
        QTemporaryDir folder;
        for (const char* name : { "f1.jpg", "f2.jpg", "f3.jpg" })
            writeFile(folder.filePath(name), "x");
        listInReport(folder.path(), { "f1.jpg", "f2.jpg", "f3.jpg", "f4.jpg" });
        auto model = loadedModel(BrowserMode::forFolder(folder.path()));
        model->setSelected({ folder.filePath("f1.jpg"), folder.filePath("f2.jpg") });
        QVERIFY(QFile::remove(folder.filePath("f2.jpg")));
        writeFile(folder.filePath("f4.jpg"), "x");

        QSignalSpy loaded(model.get(), &BrowserModel::loaded);
        model->reload();
        QVERIFY(model->isLoading());
        QVERIFY(waitFor(loaded));
        QVERIFY(!model->isLoading());
        QCOMPARE(names(model->items()), QStringList({ "f1.jpg", "f3.jpg", "f4.jpg" }));
        QCOMPARE(model->selected(), ItemIdSet({ folder.filePath("f1.jpg") }));
        QCOMPARE(model->selectedCount(), 1);
    }

    void sessionItemsFollowTheReport()
    {
        TemporaryStore store;
        ScanSession session = sessionWith(ScanSession::Image { "/nowhere.img", 1 }, ScanSession::now(), 3);
        session.report.files[1].start = 1'048'576;
        CarvedFile& named = session.report.files[2];
        std::tie(named.name, named.folder, named.modified) = std::tuple("Sunset over the bay.jpg", "DCIM/Holiday", "2026-03-01T14:05:08");
        named.runs = std::vector<SourceRun> { { named.start, 512 }, { 65536, named.length - 512 } };
        writeFile(QString::fromStdString((ScanStore::folder(session) / "previews" / "f2048.jpg").string()), "jpeg");
        auto model = loadedModel(BrowserMode::forSession(session));

        QCOMPARE(names(model->items()), QStringList({ "f0.jpg", "f2048.jpg", "Sunset over the bay.jpg" }));
        QCOMPARE(model->data(model->index(0), Qt::ToolTipRole).toString(), "f0.jpg");
        QCOMPARE(model->data(model->index(2), Qt::ToolTipRole).toString(),
            "Sunset over the bay.jpg\nIn DCIM/Holiday\nModified " + QLocale().toString(QDateTime(QDate(2026, 3, 1), QTime(14, 5, 8)), QLocale::ShortFormat)
                + "\nPut together from 2 pieces");
        const RecoveredItem& second = model->items()[1];
        QCOMPARE(second.id, "1048576");
        QCOMPARE(second.sector, 2048u);
        QVERIFY(second.previewURL && second.previewURL->endsWith("/previews/f2048.jpg"));
        QCOMPARE(second.carved, session.report.files[1]);
        QCOMPARE(model->items()[0].previewURL, std::nullopt);
        QVERIFY(model->title().startsWith("EOS_DIGITAL, scanned "));

        session.report.files.clear();
        auto empty = loadedModel(BrowserMode::forSession(session));
        QCOMPARE(empty->rowCount(), 0);
        QCOMPARE(empty->emptyText(), "This scan found no files");
    }

    // A preview made after the results were shown fills its cell in: the item
    // points at it and its row is announced. Another scan's previews, and those
    // of files the scan does not have, change nothing; the starts of the rows
    // on screen follow the filter.
    void previewsArrivingLaterFillTheirCells()
    {
        TemporaryStore store;
        ScanSession session = sessionWith(ScanSession::Image { "/nowhere.img", 1 }, ScanSession::now(), 3);
        session.report.files[1].start = 1'048'576;
        session.report.files[1].category = FormatCategory::video;
        session.report.files[1].ext = "mp4";
        auto model = loadedModel(BrowserMode::forSession(session));
        const QString id = QString::fromStdString(session.id.text());
        QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);

        model->previewArrived(QString::fromStdString(SessionId::generate().text()), 1'048'576);
        model->previewArrived(id, 4096);
        QCOMPARE(changed.count(), 0);
        model->previewArrived(id, 1'048'576);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QVERIFY(model->items()[1].previewURL && model->items()[1].previewURL->endsWith("/previews/f2048.jpg"));
        QCOMPARE(BrowserModel::pictureSource(model->index(1)).previewPath, model->items()[1].previewURL);
        model->previewArrived(id, 1'048'576); // once is enough
        QCOMPARE(changed.count(), 1);

        QCOMPARE(model->startsOfRows(0, 5), (std::vector<uint64_t> { session.report.files[0].start, 1'048'576, session.report.files[2].start }));
        model->setFilter(FormatCategory::video);
        QCOMPARE(model->startsOfRows(0, 5), (std::vector<uint64_t> { 1'048'576 }));
        // Hidden by the filter: the item changes, no row is announced.
        model->setFilter(FormatCategory::audio);
        changed.clear();
        model->previewArrived(id, session.report.files[0].start);
        QVERIFY(model->items()[0].previewURL);
        QCOMPARE(changed.count(), 0);
    }

    // A scan of an image holding real files makes previews that the browser
    // finds again: pictures, RAW, video and documents, never audio or archives.
    void previewsOfFilesCarvedFromAnImage()
    {
        const QString samples = samplesFolder();
        if (samples.isEmpty())
            QSKIP_WITHOUT_CAPABILITY("the shared sample files are not here");
        const QString data = QStringLiteral(BRIGHTFOLD_TEST_DATA_DIR);
        const QStringList files { samples + "/mei_Canon_EOS_20D.jpg", data + "/images/gradient.png", data + "/images/tiny.heic",
            samples + "/photoprism_canon_eos_6d.dng", samples + "/mei_with-gps.mp4", data + "/documents/sample.pdf",
            data + "/audio/tone.mp3", data + "/documents/sample.zip" };
        TemporaryStore store;
        const QString image = store.folder.filePath("card.img");
        QFile card(image);
        QVERIFY(card.open(QIODevice::WriteOnly));
        for (int i = 0; i < files.size(); ++i) {
            card.seek(qint64(i) * 4 * 1024 * 1024);
            card.write(readAll(files[i]));
        }
        card.resize(qint64(files.size()) * 4 * 1024 * 1024);
        card.close();

        AppModel app({}, m_devices, nullptr);
        app.setSource(AppSource { ImageFile { image } });
        app.start();
        QTRY_VERIFY_WITH_TIMEOUT(app.stage().kind == AppStage::Kind::done, 120'000);
        auto model = loadedModel(BrowserMode::forSession(*app.stage().session));
        QStringList withPreview;
        QStringList without;
        for (const RecoveredItem& item : model->items())
            (item.previewURL ? withPreview : without) << item.ext;
        QCOMPARE(withPreview, QStringList({ "jpg", "png", "heic", "dng", "mp4", "pdf" }));
        QCOMPARE(without, QStringList({ "mp3", "zip" }));
        for (const RecoveredItem& item : model->items())
            if (item.previewURL)
                QVERIFY(!QImage(*item.previewURL, "JPEG").isNull());
    }

    void statusTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("save one") << savedStatus(1, "B", 0, 0) << "Saved 1 file to B.";
        QTest::newRow("save two, card changed, unreadable")
            << savedStatus(2, "B", 1, 3) << "Saved 2 files to B. 1 skipped: the card has changed since the scan. 3 couldn't be read.";
        QTest::newRow("copy one") << copiedStatus(1, 0, "D") << "Copied 1 file to D.";
        QTest::newRow("copy with failures") << copiedStatus(2, 1, "D") << "Copied 2; 1 failed.";
        QTest::newRow("trash one") << trashedStatus(1, 0) << "Moved 1 unselected file to the Trash.";
        QTest::newRow("trash with failures") << trashedStatus(0, 2) << "Moved 0 unselected files to the Trash; 2 could not be moved.";
        QTest::newRow("save title one") << saveChooserTitle(1) << "Save 1 File";
    }
    void statusTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }

    // The whole save from a session: the chooser's texts, the timestamped folder,
    // the per-extension folders, the result line and the reveal; then what a
    // changed image and an overwritten first file do.
    void savingFromASession_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("written");
        QTest::newRow("as scanned") << "" << "Saved 2 files to %1." << "" << QStringList({ "PNG/f0.png", "PNG/f16.png", "brightfold-report.json" });
        QTest::newRow("first file overwritten") << "overwrite"
                                                << "Saved 1 file to %1. 1 skipped: the card has changed since the scan." << ""
                                                << QStringList({ "PNG/f16.png", "brightfold-report.json" });
        QTest::newRow("image grew") << "grow" << "" << "The disk image has changed since the scan. Scan it again." << QStringList();
        QTest::newRow("image moved") << "move" << ""
                                     << "The disk image card.img isn't where it was. Move it back, or scan it again." << QStringList();
    }
    void savingFromASession()
    {
        QFETCH(QString, damage);
        QFETCH(QString, status);
        QFETCH(QString, error);
        QFETCH(QStringList, written);
        QTemporaryDir work;
        const QString image = work.filePath("card.img");
        ScanSession session = imageSession(image);
        QFile card(image);
        QVERIFY(card.open(QIODevice::ReadWrite));
        if (damage == "overwrite")
            card.write("overwritten after the scan");
        else if (damage == "grow")
            card.resize(card.size() + 512);
        card.close();
        if (damage == "move")
            QVERIFY(QFile::rename(image, work.filePath("elsewhere.img")));
        QVERIFY(QDir().mkpath(work.filePath("out")));
        m_desktop->folderAnswer = work.filePath("out");

        auto model = loadedModel(BrowserMode::forSession(session));
        model->selectAllVisible();
        QSignalSpy finished(model.get(), &BrowserModel::workFinished);
        QSignalSpy working(model.get(), &BrowserModel::isWorkingChanged);
        model->saveSelected();
        QCOMPARE(m_desktop->requests.back(), (ChooserRequest { "Save 2 Files", kSaveChooserMessage, "Save Here" }));
        QVERIFY(waitFor(finished));
        QVERIFY(working.count() >= 2); // started, then ended
        QVERIFY(!model->isWorking());
        QCOMPARE(model->workProgress(), std::nullopt);

        const QStringList made = QDir(work.filePath("out")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (!error.isEmpty()) {
            QCOMPARE(model->errorMessage(), error);
            QCOMPARE(model->statusMessage(), std::nullopt);
            QVERIFY(made.isEmpty());
            QVERIFY(m_desktop->revealed.empty());
            return;
        }
        QCOMPARE(made.size(), 1);
        QVERIFY2(QRegularExpression("^Brightfold Recover \\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\dZ$").match(made[0]).hasMatch(), qPrintable(made[0]));
        QCOMPARE(model->statusMessage(), status.arg(made[0]));
        QCOMPARE(model->errorMessage(), std::nullopt);
        QCOMPARE(filesUnder(work.filePath("out/" + made[0])), written);
        QCOMPARE(m_desktop->revealed, std::vector { work.filePath("out/" + made[0]) });
    }

    // A folder on the card itself is refused before anything is opened or written.
    void savingOntoTheCardIsRefused()
    {
        QTemporaryDir work;
        auto disk = DiskEnumerator::wholeDisk(std::filesystem::path(work.path().toStdString()));
        if (!disk)
            QSKIP_WITHOUT_CAPABILITY("the temporary folder is not on a block device");
        ScanSession session = sessionWith(ScanSession::Disk { disk->identifier, 64'000'000'000, "SD SL64G", {} },
            ScanSession::now(), 1);
        m_devices->physical = { card(disk->identifier, 64'000'000'000, "SD SL64G") };
        m_devices->openError = DeviceError::authorizationDenied("/dev/" + disk->identifier);
        m_desktop->folderAnswer = work.path();

        auto model = loadedModel(BrowserMode::forSession(session));
        model->selectAllVisible();
        QSignalSpy finished(model.get(), &BrowserModel::workFinished);
        model->saveSelected();
        QVERIFY(waitFor(finished));
        QCOMPARE(model->errorMessage(), kSaveOnCardMessage);
        QVERIFY(QDir(work.path()).isEmpty());
    }

    void copyingBesideExistingNames()
    {
        QTemporaryDir source;
        QTemporaryDir target;
        writeFile(source.filePath("JPG/a.jpg"), "new");
        listInReport(source.path(), { "JPG/a.jpg" });
        writeFile(target.filePath("a.jpg"), "old");
        writeFile(target.filePath("a-1.jpg"), "older");
        auto model = loadedModel(BrowserMode::forFolder(source.path()));
        model->selectAllVisible();
        QSignalSpy finished(model.get(), &BrowserModel::workFinished);
        model->saveSelected(); // cancelled
        QCOMPARE(m_desktop->requests.back(), (ChooserRequest { "Copy 1 Selected Files", "", "Copy Here" }));
        QCoreApplication::processEvents();
        QVERIFY(!model->isWorking());
        QCOMPARE(finished.count(), 0);
        m_desktop->folderAnswer = target.path();
        model->saveSelected();
        QVERIFY(waitFor(finished));
        QCOMPARE(readAll(target.filePath("a-2.jpg")), "new");
        QCOMPARE(readAll(target.filePath("a.jpg")), "old");
        QCOMPARE(model->statusMessage(), QString("Copied 1 file to %1.").arg(QFileInfo(target.path()).fileName()));
        QCOMPARE(m_desktop->revealed, std::vector { target.path() });
    }

    // The Trash question is asked through the desktop; only a yes trashes, and only
    // what is unselected when the answer comes.
    void keepingOnlyTheSelection_data()
    {
        QTest::addColumn<bool>("agreed");
        QTest::addColumn<bool>("oneFails");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("declined") << false << false << QString() << QStringList({ "f1.jpg", "f2.jpg", "f3.jpg" });
        QTest::newRow("agreed") << true << false << "Moved 2 unselected files to the Trash." << QStringList({ "f2.jpg" });
        QTest::newRow("one not moved") << true << true << "Moved 1 unselected file to the Trash; 1 could not be moved."
                                       << QStringList({ "f1.jpg", "f2.jpg" });
    }
    void keepingOnlyTheSelection()
    {
        QFETCH(bool, agreed);
        QFETCH(bool, oneFails);
        QFETCH(QString, status);
        QFETCH(QStringList, left);
        QTemporaryDir work;
        const QString saved = work.filePath("saved");
        for (const char* name : { "f1.jpg", "f2.jpg", "f3.jpg" })
            writeFile(saved + "/" + name, name);
        // The user's own file beside saved ones is never offered for the Trash.
        writeFile(saved + "/My Notes.txt", "mine");
        listInReport(saved, { "f1.jpg", "f2.jpg", "f3.jpg" });
        m_desktop->confirmAnswer = agreed;
        if (oneFails)
            m_desktop->trashFails = { saved + "/f1.jpg" };

        auto model = loadedModel(BrowserMode::forFolder(saved));
        model->setSelected({ saved + "/f2.jpg" });
        QCOMPARE(model->unselectedCount(), 2);
        QSignalSpy finished(model.get(), &BrowserModel::workFinished);
        QSignalSpy loaded(model.get(), &BrowserModel::loaded);
        model->keepOnlySelected();
        QCOMPARE(m_desktop->questions.size(), size_t(1));
        QCOMPARE(m_desktop->questions[0], (Confirmation { "Keep Only Selected", keepOnlySelectedQuestion(2), keepOnlySelectedExplanation(1), "Move to Trash" }));
        if (!agreed) {
            QCoreApplication::processEvents();
            QVERIFY(!model->isWorking());
            QVERIFY(m_desktop->trashedPaths().empty());
            QCOMPARE(finished.count(), 0);
            return;
        }
        QVERIFY(waitFor(finished));
        QCOMPARE(model->statusMessage(), status);
        QVERIFY(waitFor(loaded));
        QCOMPARE(names(model->items()), left);
        QCOMPARE(readAll(saved + "/My Notes.txt"), "mine");
        QCOMPARE(model->selected(), ItemIdSet({ saved + "/f2.jpg" }));
    }

    void revealingAndOpeningGoThroughTheDesktop()
    {
        QTemporaryDir work;
        writeFile(work.filePath("a.jpg"), "a");
        listInReport(work.path(), { "a.jpg" });
        auto model = loadedModel(BrowserMode::forFolder(work.path()));
        model->revealItem(0);
        model->openItem(0);
        model->revealItem(1); // no such row
        QCOMPARE(m_desktop->revealed, std::vector { work.filePath("a.jpg") });
        QCOMPARE(m_desktop->opened, std::vector { work.filePath("a.jpg") });
    }

    void aStoredScanIsReadWhenTheBrowserLoads()
    {
        TemporaryStore store;
        ScanSession stored = sessionWith(ScanSession::Image { "/nowhere.img", 1 }, ScanSession::now(), 3);
        ScanStore::save(stored);
        auto model = loadedModel(BrowserMode::forStoredSession(stored.id, ScanSummary::of(stored)));
        QCOMPARE(model->items().size(), size_t(3));
        QVERIFY(model->title().startsWith("EOS_DIGITAL, scanned "));
        // One deleted meanwhile browses as a scan with nothing in it.
        ScanStore::remove(stored.id);
        auto gone = loadedModel(BrowserMode::forStoredSession(stored.id, std::nullopt));
        QVERIFY(gone->items().empty());
        gone->selectAllVisible();
        gone->saveSelected();
        QCOMPARE(m_desktop->requests.size(), size_t(0));
    }

private:
    std::shared_ptr<FakeDevices> m_devices;
    std::shared_ptr<StandInDesktop> m_desktop;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

QTEST_GUILESS_MAIN(BrowserModelTest)
#include "BrowserModelTest.moc"
