#include "workflow/ScreenTexts.hpp"
#include "workflow/AppModel.hpp"

#include <QTest>

using namespace brightfold;

namespace {

CarveReport reportWith(std::vector<std::pair<std::string, uint64_t>> files, bool cancelled = false)
{
    CarveReport report;
    report.scannedBytes = 64'000'000;
    report.duration = 75;
    report.cancelled = cancelled;
    uint64_t start = 0;
    for (const auto& [ext, length] : files) {
        report.files.push_back({ start, length, ext, FormatCategory::photos, CarveConfidence::exact, "", std::nullopt, {} });
        start += 512;
    }
    return report;
}

CarveProgress progressOf(uint64_t scanned, uint64_t total, double elapsed)
{
    CarveProgress progress;
    progress.bytesScanned = scanned;
    progress.totalBytes = total;
    progress.elapsed = elapsed;
    return progress;
}

}

class ScreenTextsTest : public QObject {
    Q_OBJECT

private slots:
    void scanLinesFollowThePhase()
    {
        WorkProgress previews { 4, 10 };
        QCOMPARE(scanProgressLine(std::nullopt, std::nullopt), QStringLiteral("Starting…"));
        QCOMPARE(scanProgressLine(progressOf(1, 2, 1), previews), QStringLiteral("Preview 4 of 10"));
        QCOMPARE(scanProgressLine(progressOf(1'500'000, 0, 1), std::nullopt), QStringLiteral("1.5 MB of 0 bytes (0%)"));
        QCOMPARE(scanProgressLine(progressOf(32'000'000, 64'000'000, 1), std::nullopt), QStringLiteral("32 MB of 64 MB (50%)"));
        QVERIFY(scanPhaseLine(std::nullopt, std::nullopt).startsWith(QStringLiteral("Waiting for access to the card…")));
        QVERIFY(scanPhaseLine(std::nullopt, std::nullopt).contains(QStringLiteral("the system may be asking")));
        QCOMPARE(scanPhaseLine(progressOf(1, 2, 1), previews), QStringLiteral("Making previews of what was found…"));
    }

    void speedLineShowsTimeLeftOnlyOverASecond_data()
    {
        QTest::addColumn<quint64>("scanned");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<QString>("line");
        QTest::newRow("no time yet") << quint64(10) << quint64(20) << 0.0 << "";
        QTest::newRow("nothing read yet") << quint64(0) << quint64(20'000'000) << 1.0 << "0 bytes/s";
        QTest::newRow("two seconds left") << quint64(10'000'000) << quint64(30'000'000) << 1.0 << "10 MB/s · about 2s left";
        QTest::newRow("one second left is not shown") << quint64(10'000'000) << quint64(20'000'000) << 1.0 << "10 MB/s";
        QTest::newRow("minutes left") << quint64(1'000'000) << quint64(121'000'000) << 1.0 << "1 MB/s · about 2m left";
        QTest::newRow("finished") << quint64(20'000'000) << quint64(20'000'000) << 2.0 << "10 MB/s";
    }
    void speedLineShowsTimeLeftOnlyOverASecond()
    {
        QFETCH(quint64, scanned);
        QFETCH(quint64, total);
        QFETCH(double, elapsed);
        QFETCH(QString, line);
        QCOMPARE(scanSpeedLine(progressOf(scanned, total, elapsed)), line);
        QCOMPARE(scanSpeedLine(std::nullopt), QString());
    }

    void countsTakeTheirPlural()
    {
        QCOMPARE(filesFoundSoFar(0), QStringLiteral("No files found yet"));
        QCOMPARE(filesFoundSoFar(1), QStringLiteral("1 file found"));
        QCOMPARE(filesFoundSoFar(2), QStringLiteral("2 files found"));
        QCOMPARE(unreadableSoFarLine(3), QStringLiteral("3 unreadable regions so far (skipped and zero-filled)"));
    }

    void doneTexts_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("subtitleStart");
        QTest::newRow("nothing") << 0 << false << "magnifyingglass" << "No Recoverable Files Found"
                                 << "Scanned 64 MB and found no recognizable files.";
        QTest::newRow("cancelled before anything") << 0 << true << "pause.circle.fill" << "Scan Cancelled"
                                                   << "The scan was stopped before anything was found.";
        QTest::newRow("stopped with one") << 1 << true << "pause.circle.fill" << "Stopped: 1 File Found So Far" << "1 MB found in 75s.";
        QTest::newRow("stopped with two") << 2 << true << "pause.circle.fill" << "Stopped: 2 Files Found So Far" << "2 MB found in 75s.";
        QTest::newRow("one") << 1 << false << "checkmark.circle.fill" << "Found 1 Recoverable File" << "1 MB found in 75s.";
        QTest::newRow("two") << 2 << false << "checkmark.circle.fill" << "Found 2 Recoverable Files" << "2 MB found in 75s.";
    }
    void doneTexts()
    {
        QFETCH(int, files);
        QFETCH(bool, cancelled);
        QFETCH(QString, symbol);
        QFETCH(QString, title);
        QFETCH(QString, subtitleStart);
        std::vector<std::pair<std::string, uint64_t>> found(static_cast<size_t>(files), { "jpg", 1'000'000 });
        CarveReport report = reportWith(found, cancelled);
        QCOMPARE(doneSymbol(report), symbol);
        QCOMPARE(doneTitle(report), title);
        QVERIFY2(doneSubtitle(report).startsWith(subtitleStart), qPrintable(doneSubtitle(report)));
        if (files > 0) {
            QVERIFY(doneSubtitle(report).endsWith(
                QStringLiteral("Choose which ones to save to this computer. Keep the card inserted until you've saved what you need.")));
        }
    }

    void copyTextsFollowThePass_data()
    {
        QTest::addColumn<int>("pass");
        QTest::addColumn<quint64>("unreadable");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("unreadableLine");
        QTest::newRow("healthy so far") << int(RescuePass::copying) << quint64(0)
                                        << "Copying the card to this computer first: everything that reads at full speed" << "";
        QTest::newRow("failures passed over") << int(RescuePass::copying) << quint64(2'000'000)
                                              << "Copying the card to this computer first: everything that reads at full speed"
                                              << "2 MB could not be read so far; the failing areas are tried again once the rest is copied";
        QTest::newRow("trimming") << int(RescuePass::trimming) << quint64(2'000'000)
                                  << "Copying the card to this computer first: reading the areas that failed, from their edges"
                                  << "2 MB still unread";
        QTest::newRow("scraping") << int(RescuePass::scraping) << quint64(512)
                                  << "Copying the card to this computer first: reading what is left of the failing areas, block by block"
                                  << "512 bytes still unread";
    }
    void copyTextsFollowThePass()
    {
        QFETCH(int, pass);
        QFETCH(quint64, unreadable);
        QFETCH(QString, phase);
        QFETCH(QString, unreadableLine);
        ImageProgress progress;
        progress.pass = RescuePass(pass);
        progress.totalBytes = 64'000'000;
        progress.bytesRead = 16'000'000;
        progress.bytesUnreadable = unreadable;
        QCOMPARE(copyPhaseLine(progress), phase);
        QCOMPARE(copyUnreadableLine(progress), unreadableLine);
        QCOMPARE(copyProgressLine(progress), QStringLiteral("16 MB of 64 MB copied (25%)"));
        QCOMPARE(copySpeedLine(progress), QString()); // nothing read in this run yet
        progress.bytesPerSecond = 12'000'000;
        QCOMPARE(copySpeedLine(progress), QStringLiteral("12 MB/s"));
    }

    // Only a report with names from the card's file system says that live files are among those found.
    void listedFilesAreMentionedWhenTheCardNamedFiles()
    {
        CarveReport report = reportWith({ { "jpg", 1'000 }, { "mp3", 2'000 } });
        QCOMPARE(listedFilesLine(report), QString());
        report.files[1].name = "TONE.MP3";
        QVERIFY(listedFilesLine(report).startsWith(QStringLiteral("The files the card still lists are found too")));
    }

    void unreadableAdviceOffersACopyOnlyWithoutOne()
    {
        CarveReport report = reportWith({ { "jpg", 1'000'000 } });
        QCOMPARE(unreadableAdvice(report, false), QString()); // everything read
        report.badReads = 3;
        report.unreadableAreas = { { 4096, 1'000'000 }, { 8'000'000, 512 } };
        const QString said = QStringLiteral("1 MB of the card could not be read (2 areas); those parts of the files found are zeros.");
        QCOMPARE(unreadableAdvice(report, true), said);
        QVERIFY(unreadableAdvice(report, false).startsWith(said + QStringLiteral(" Copying the card to this computer first reads each part")));
    }

    // Only a card that failed to read, scanned without a copy, is offered one.
    void copyFirstIsOfferedForAFailingCardOnly_data()
    {
        QTest::addColumn<bool>("disk");
        QTest::addColumn<int>("badReads");
        QTest::addColumn<bool>("copied");
        QTest::addColumn<bool>("offered");
        QTest::newRow("failing card") << true << 3 << false << true;
        QTest::newRow("healthy card") << true << 0 << false << false;
        QTest::newRow("failing card scanned from its copy") << true << 3 << true << false;
        QTest::newRow("failing image file") << false << 3 << false << false;
    }
    void copyFirstIsOfferedForAFailingCardOnly()
    {
        QFETCH(bool, disk);
        QFETCH(int, badReads);
        QFETCH(bool, copied);
        QFETCH(bool, offered);
        ScanSession session;
        session.source = disk ? ScanSession::Source(ScanSession::Disk { "sdq", 1 << 20, "SD", {} }) : ScanSession::Source(ScanSession::Image { "/card.img", 1 << 20 });
        session.report.badReads = badReads;
        if (copied)
            session.copy = ScanSession::Image { "/copies/SD copy.img", 1 << 20 };
        QCOMPARE(offersCopyFirst(session), offered);
    }

    void recentScansSayWhatTheyFoundAndWhetherTheyStopped()
    {
        ScanSummary summary;
        summary.createdAt = ScanSession::Time(std::chrono::seconds(1'772'373'908));
        const QString when = QLocale().toString(QDateTime::fromSecsSinceEpoch(1'772'373'908), QLocale::ShortFormat);
        summary.filesFound = 1;
        QCOMPARE(recentScanDetail(summary), when + QStringLiteral(" · 1 file found"));
        summary.filesFound = 1200;
        summary.cancelled = true;
        QCOMPARE(recentScanDetail(summary), when + QStringLiteral(" · 1200 files found · stopped early"));
    }

    void extensionRowsPutTheMostFilesFirst()
    {
        CarveReport report = reportWith({ { "png", 10 }, { "jpg", 1'000'000 }, { "mp4", 5 }, { "jpg", 500'000 }, { "cr2", 7 } });
        std::vector<ExtensionRow> rows = extensionRows(report);
        QCOMPARE(rows.size(), size_t(4));
        QCOMPARE(rows[0], (ExtensionRow { ".jpg", "2 files", "1.5 MB", 2 }));
        // Equal counts keep the extensions' text order.
        QCOMPARE(rows[1].ext, QStringLiteral(".cr2"));
        QCOMPARE(rows[2].ext, QStringLiteral(".mp4"));
        QCOMPARE(rows[3], (ExtensionRow { ".png", "1 file", "10 bytes", 1 }));
    }

    void browserTexts_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("items");
        QTest::addColumn<QString>("summary");
        QTest::newRow("scan, one") << int(BrowseTarget::Kind::session) << 0 << 1 << "1 file found. Click to select.";
        QTest::newRow("scan, many") << int(BrowseTarget::Kind::session) << 0 << 12 << "12 files found. Click to select.";
        QTest::newRow("folder, one") << int(BrowseTarget::Kind::folder) << 0 << 1 << "1 recovered file. Click to select.";
        QTest::newRow("folder, many") << int(BrowseTarget::Kind::folder) << 0 << 3 << "3 recovered files. Click to select.";
        QTest::newRow("a selection") << int(BrowseTarget::Kind::folder) << 2 << 3 << "2 of 3 selected (1.5 MB)";
    }
    void browserTexts()
    {
        QFETCH(int, mode);
        QFETCH(int, selected);
        QFETCH(int, items);
        QFETCH(QString, summary);
        QCOMPARE(browserSummary(static_cast<BrowseTarget::Kind>(mode), selected, items, 1'500'000), summary);
    }
};

QTEST_GUILESS_MAIN(ScreenTextsTest)
#include "ScreenTextsTest.moc"
