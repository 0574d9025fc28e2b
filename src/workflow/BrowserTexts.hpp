#pragma once

#include "workflow/RecoveredItem.hpp"

#include <QString>

#include <cstddef>

namespace brightfold {

/// The browser's texts that follow counts.

/// A count as the texts take it: sizes past INT_MAX are shown as INT_MAX.
int clampedCount(size_t count);
/// The last component of `path` ("Brightfold Recover 2026-03-01 at 14.05.09"),
/// a trailing separator ignored: how the texts name a folder.
QString lastComponent(const QString& path);

/// "Save 1 File", "Save 3 Files".
QString saveChooserTitle(int count);
/// "Copy 3 Selected Files".
QString copyChooserTitle(int count);
/// "Saved 3 files to FOLDER." then " 1 skipped: the card has changed since the
/// scan.", " 2 couldn't be read." and " 1 couldn't be written." when there are such files.
QString savedStatus(int saved, const QString& folderName, int changed, int failed, int notWritten = 0);
/// The alert when the destination could not take the files: "The destination is
/// full." for a full disk, else its error's own words, then what was saved and
/// whether the report of the save was written.
QString destinationFailureMessage(const QString& reason, int saved, int asked, bool reportWritten);
/// "Copied 3 files to FOLDER." when none failed, else "Copied 3; 1 failed.".
QString copiedStatus(int copied, int failed, const QString& folderName);
/// "Moved 3 unselected files to the Trash." and, when some failed,
/// "; 2 could not be moved." before the full stop.
QString trashedStatus(int moved, int failed);
/// "Move 3 unselected files to the Trash?" — the question the screen asks first.
QString keepOnlySelectedQuestion(int unselected);
/// "Only the 2 selected files will remain in the recovery folder. Trashed files
/// can be restored from the Trash."
QString keepOnlySelectedExplanation(int selected);

/// A grid cell's tooltip: the whole name (the cell may elide it), then what the
/// card's file system kept of the file, one line each: "In DCIM/100CANON",
/// "Modified " + the date in the user's format, "Put together from 3 pieces".
QString itemToolTip(const RecoveredItem& item);

/// The refusal to save onto the card being recovered.
inline const char* const kSaveOnCardMessage = "That folder is on the card you're recovering from. Saving there "
                                              "could overwrite the very files you want back. Choose a folder on "
                                              "this computer.";
inline const char* const kSaveChooserMessage = "Choose a folder on this computer. A new folder with your files will "
                                               "be created inside it.";

}
