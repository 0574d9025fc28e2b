#pragma once

#include "carve/CarveProgress.hpp"
#include "carve/CarveReport.hpp"
#include "workflow/AppStage.hpp"
#include "workflow/WorkProgress.hpp"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace brightfold {

struct ImageProgress;
struct ScanSession;
struct ScanSummary;

// The texts the screens show that follow rules (titles, lines, tables), built
// from the shared wording (wording/Wording.hpp). Each is a small function so
// that the rules can be checked without a screen.

/// The scan screen's line under its title: waiting for access, reading, or making previews.
QString scanPhaseLine(const std::optional<CarveProgress>& progress, const std::optional<WorkProgress>& previews);

/// "Preview 4 of 10" while previews are made, "Starting…" before the first
/// snapshot, else "1.5 MB of 64 MB (2%)".
QString scanProgressLine(const std::optional<CarveProgress>& progress, const std::optional<WorkProgress>& previews);

/// "12 MB/s · about 5s left"; empty before the first snapshot or while no time
/// has passed. The time left is shown only when it is over a second.
QString scanSpeedLine(const std::optional<CarveProgress>& progress);

/// The heading of the scan screen's statistics: "No files found yet" or "3 files found".
QString filesFoundSoFar(int64_t filesFound);

/// "2 unreadable regions so far (skipped and zero-filled)".
QString unreadableSoFarLine(int64_t badReads);

/// The scan screen's line under its title while the card is copied first: the pass under way.
QString copyPhaseLine(const ImageProgress& progress);
/// "1.5 MB of 64 MB copied (2%)".
QString copyProgressLine(const ImageProgress& progress);
/// "12 MB/s"; empty before anything was read.
QString copySpeedLine(const ImageProgress& progress);
/// "1.5 MB could not be read so far …"; empty when everything read.
QString copyUnreadableLine(const ImageProgress& progress);

/// The done screen's symbol: found files, a stopped scan, or nothing found.
QString doneSymbol(const CarveReport& report);
/// "Found 3 Recoverable Files", "Stopped: 1 File Found So Far", "Scan Cancelled",
/// "No Recoverable Files Found".
QString doneTitle(const CarveReport& report);
/// What was found in how long, or why nothing was.
QString doneSubtitle(const CarveReport& report);
/// When the card's file system named some of the files: that the files it
/// still lists are among those found, not only deleted ones; else empty.
QString listedFilesLine(const CarveReport& report);
/// "2 regions of the card could not be read and were skipped. …".
QString unreadableRegionsLine(int64_t badReads);

/// How much of the card could not be read, and, for a card scanned without a
/// copy (`copied` false), what copying it first does for the next try.
QString unreadableAdvice(const CarveReport& report, bool copied);
/// Whether the done screen offers to copy the card first and scan again: a
/// card (an image file is a copy already) that failed to read, scanned without a copy.
bool offersCopyFirst(const ScanSession& session);

/// A stored scan in the setup screen's list: its date and time in the user's
/// locale, the files it found, and whether it stopped early.
QString recentScanDetail(const ScanSummary& session);
/// The setup screen's line of the formats each category covers.
QString formatsLine();

/// One line of the done screen's table.
struct ExtensionRow {
    QString ext;   ///< ".jpg"
    QString count; ///< "3 files"
    QString bytes; ///< "1.5 MB"
    int64_t files { 0 };

    bool operator==(const ExtensionRow&) const = default;
};
/// One row per extension of the found files, most files first; equal counts
/// keep the extensions' text order.
std::vector<ExtensionRow> extensionRows(const CarveReport& report);

/// "2 of 10 selected (3 MB)" with a selection, else "10 files found. Click to
/// select." (a scan) or "10 recovered files. Click to select." (a folder).
QString browserSummary(BrowseTarget::Kind mode, int selectedCount, int itemCount, uint64_t selectedBytes);
/// "3 of 10" while the browser works.
QString workProgressText(int done, int total);

}
