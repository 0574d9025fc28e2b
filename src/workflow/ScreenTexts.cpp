#include "workflow/ScreenTexts.hpp"

#include "carve/FormatCatalogue.hpp"
#include "device/ByteCount.hpp"
#include "wording/Wording.hpp"
#include "workflow/AppModel.hpp"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace brightfold {

namespace {

constexpr double kTimeLeftShownOver = 1; // seconds

QString byteText(uint64_t bytes)
{
    return QString::fromStdString(formatByteCount(bytes));
}

QString durationText(double seconds)
{
    return QString::fromStdString(timeText(seconds));
}

QString filesText(int64_t count, const char* word = "file")
{
    return QString::fromStdString(countText(count, word));
}

/// "File" or "Files" for the titles, which capitalise the word.
QString titleFiles(int64_t count)
{
    return count == 1 ? QStringLiteral("File") : QStringLiteral("Files");
}

uint64_t foundBytes(const CarveReport& report)
{
    return std::accumulate(report.files.begin(), report.files.end(), uint64_t { 0 },
        [](uint64_t sum, const CarvedFile& file) { return sum + file.length; });
}

}

QString scanPhaseLine(const std::optional<CarveProgress>& progress, const std::optional<WorkProgress>& previews)
{
    if (previews)
        return QStringLiteral("Making previews of what was found…");
    if (!progress)
        return QStringLiteral("Waiting for access to the card… (the system may be asking for your password)");
    return QStringLiteral("Reading the raw card and looking for recoverable files");
}

QString scanProgressLine(const std::optional<CarveProgress>& progress, const std::optional<WorkProgress>& previews)
{
    if (previews)
        return QStringLiteral("Preview %1 of %2").arg(previews->done).arg(previews->total);
    if (!progress)
        return QStringLiteral("Starting…");
    return QStringLiteral("%1 of %2 (%3%)")
        .arg(byteText(progress->bytesScanned), byteText(progress->totalBytes))
        .arg(wholePercent(progress->bytesScanned, progress->totalBytes));
}

QString scanSpeedLine(const std::optional<CarveProgress>& progress)
{
    if (!progress || !(progress->elapsed > 0))
        return {};
    double speed = static_cast<double>(progress->bytesScanned) / progress->elapsed;
    QString line = byteText(static_cast<uint64_t>(speed)) + QStringLiteral("/s");
    if (speed > 0 && progress->totalBytes > progress->bytesScanned) {
        double left = static_cast<double>(progress->totalBytes - progress->bytesScanned) / speed;
        if (left > kTimeLeftShownOver)
            line += QStringLiteral(" · about %1 left").arg(durationText(left));
    }
    return line;
}

QString filesFoundSoFar(int64_t filesFound)
{
    if (filesFound <= 0)
        return QStringLiteral("No files found yet");
    return filesText(filesFound) + QStringLiteral(" found");
}

QString unreadableSoFarLine(int64_t badReads)
{
    return QStringLiteral("%1 unreadable regions so far (skipped and zero-filled)").arg(badReads);
}

QString copyPhaseLine(const ImageProgress& progress)
{
    switch (progress.pass) {
    case RescuePass::copying:
        break;
    case RescuePass::trimming:
        return QStringLiteral("Copying the card to this computer first: reading the areas that failed, from their edges");
    case RescuePass::scraping:
        return QStringLiteral("Copying the card to this computer first: reading what is left of the failing areas, block by block");
    }
    return QStringLiteral("Copying the card to this computer first: everything that reads at full speed");
}

QString copyProgressLine(const ImageProgress& progress)
{
    return QStringLiteral("%1 of %2 copied (%3%)")
        .arg(byteText(progress.bytesRead), byteText(progress.totalBytes))
        .arg(wholePercent(progress.bytesRead, progress.totalBytes));
}

QString copySpeedLine(const ImageProgress& progress)
{
    if (!(progress.bytesPerSecond > 0))
        return {};
    return byteText(static_cast<uint64_t>(progress.bytesPerSecond)) + QStringLiteral("/s");
}

QString copyUnreadableLine(const ImageProgress& progress)
{
    if (progress.bytesUnreadable == 0)
        return {};
    if (progress.pass == RescuePass::copying)
        return QStringLiteral("%1 could not be read so far; the failing areas are tried again once the rest is copied")
            .arg(byteText(progress.bytesUnreadable));
    return QStringLiteral("%1 still unread").arg(byteText(progress.bytesUnreadable));
}

QString doneSymbol(const CarveReport& report)
{
    if (report.cancelled)
        return QStringLiteral("pause.circle.fill");
    return report.files.empty() ? QStringLiteral("magnifyingglass") : QStringLiteral("checkmark.circle.fill");
}

QString doneTitle(const CarveReport& report)
{
    auto count = static_cast<int64_t>(report.files.size());
    if (report.cancelled) {
        if (count == 0)
            return QStringLiteral("Scan Cancelled");
        return QStringLiteral("Stopped: %1 %2 Found So Far").arg(count).arg(titleFiles(count));
    }
    if (count == 0)
        return QStringLiteral("No Recoverable Files Found");
    return QStringLiteral("Found %1 Recoverable %2").arg(count).arg(titleFiles(count));
}

QString doneSubtitle(const CarveReport& report)
{
    if (report.files.empty()) {
        if (report.cancelled)
            return QStringLiteral("The scan was stopped before anything was found.");
        return QStringLiteral("Scanned %1 and found no recognizable files. The data may be overwritten, or the card may use "
                              "a format Brightfold Recover doesn't know yet.")
            .arg(byteText(report.scannedBytes));
    }
    return QStringLiteral("%1 found in %2. Choose which ones to save to this computer. Keep the card inserted until "
                          "you've saved what you need.")
        .arg(byteText(foundBytes(report)), durationText(report.duration));
}

QString listedFilesLine(const CarveReport& report)
{
    const bool named = std::any_of(report.files.begin(), report.files.end(), [](const CarvedFile& file) { return file.name.has_value(); });
    if (!named)
        return {};
    return QStringLiteral("The files the card still lists are found too, not only deleted ones; each keeps the name and "
                          "folder the card gave it.");
}

QString unreadableRegionsLine(int64_t badReads)
{
    return QStringLiteral("%1 regions of the card could not be read and were skipped. If this number is large, the card "
                          "hardware may be failing.")
        .arg(badReads);
}

QString unreadableAdvice(const CarveReport& report, bool copied)
{
    const uint64_t unreadable = report.unreadableBytes();
    if (unreadable == 0)
        return {};
    QString line = QStringLiteral("%1 of the card could not be read (%2); those parts of the files found are zeros.")
                       .arg(byteText(unreadable), QString::fromStdString(countText(static_cast<int64_t>(report.unreadableAreas.size()), "area")));
    if (!copied)
        line += QStringLiteral(" Copying the card to this computer first reads each part of it once and gives the failing areas more "
                               "time; the next scan and saving then work from the copy.");
    return line;
}

bool offersCopyFirst(const ScanSession& session)
{
    return session.report.badReads > 0 && !session.copy && std::holds_alternative<ScanSession::Disk>(session.source);
}

QString recentScanDetail(const ScanSummary& session)
{
    QString when = QLocale().toString(QDateTime::fromSecsSinceEpoch(session.createdAt.time_since_epoch().count()), QLocale::ShortFormat);
    // A scan stopped part-way (cancelled, or the application quit) says so: it did not look at the whole card.
    return when + QStringLiteral(" · ") + QString::fromStdString(countText(static_cast<int64_t>(session.filesFound), "file"))
        + QStringLiteral(" found") + (session.cancelled ? QStringLiteral(" · stopped early") : QString());
}

QString formatsLine()
{
    return QString::fromStdString(FormatCatalogue::formatsLine());
}

std::vector<ExtensionRow> extensionRows(const CarveReport& report)
{
    std::map<std::string, std::pair<int64_t, uint64_t>> byExt;
    for (const CarvedFile& file : report.files) {
        auto& [files, bytes] = byExt[file.ext];
        ++files;
        bytes += file.length;
    }
    std::vector<ExtensionRow> rows;
    for (const auto& [ext, totals] : byExt) {
        rows.push_back({ QStringLiteral(".") + QString::fromStdString(ext), filesText(totals.first),
            byteText(totals.second), totals.first });
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ExtensionRow& a, const ExtensionRow& b) { return a.files > b.files; });
    return rows;
}

QString browserSummary(BrowseTarget::Kind mode, int selectedCount, int itemCount, uint64_t selectedBytes)
{
    if (selectedCount > 0)
        return QStringLiteral("%1 of %2 selected (%3)").arg(selectedCount).arg(itemCount).arg(byteText(selectedBytes));
    if (mode == BrowseTarget::Kind::session)
        return filesText(itemCount) + QStringLiteral(" found. Click to select.");
    return filesText(itemCount, "recovered file") + QStringLiteral(". Click to select.");
}

QString workProgressText(int done, int total)
{
    return QStringLiteral("%1 of %2").arg(done).arg(total);
}

}
