#pragma once

#include "carve/CarvedFile.hpp"
#include "device/DeviceAccess.hpp"
#include "scan/ScanSession.hpp"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace brightfold {

class Desktop;

/// What a finished save, copy or trash did, as data: the browser turns it into
/// its status line, its alert and the folder it reveals.
struct RecoveryOutcome {
    enum class Kind {
        saved,   ///< files saved from the card into `destination`
        copied,  ///< files copied into `destination`
        trashed, ///< files moved to the Trash
        refused, ///< nothing done: `error` says why (a folder on the card)
        failed,  ///< the whole operation failed: `error` says why
    };

    Kind kind { Kind::failed };
    int done { 0 };       ///< files saved, copied or moved
    int changed { 0 };    ///< saving: files skipped because the card changed since the scan
    int failed { 0 };     ///< files that could not be read, copied or moved
    int notWritten { 0 }; ///< saving: files the destination could not take (full, failing)
    QString destination;  ///< saved: the new folder; copied: the chosen folder
    QString error;        ///< refused, failed: the user-facing reason; saved: the alert when
                          ///< the destination failed (files not written, or no report)

    bool operator==(const RecoveryOutcome&) const = default;
};

/// The work that follows the user's choice in the browser, started with
/// everything it needs (the folder already chosen) and run off the interface
/// thread, each on the calling thread until it ends. Progress goes to the given
/// function, on that thread, after each file; `isStopped` is asked between two
/// files, and a job told to stop ends there (a copy cut off is removed, what was
/// done before stays whole) and reports what it did.
class RecoveryJob {
public:
    using Progress = std::function<void(int done, int total)>;
    using StopTest = std::function<bool()>;

    RecoveryJob() = delete;

    /// Saves `files` from the session's card, reopened and checked to be the one
    /// scanned, into a new "Brightfold Recover <time>" folder inside `folder`;
    /// refuses a folder on the card itself. Files whose head no longer matches
    /// are skipped (`changed`), unreadable ones counted as `failed`, and those the
    /// destination could not take as `notWritten`, with the alert that says so.
    static RecoveryOutcome save(const ScanSession& session, const std::vector<CarvedFile>& files, const QString& folder,
        DeviceAccess& devices, DiskImages images, const Progress& progress, const StopTest& isStopped = {});
    /// Copies the files at `paths` into `folder` under their own names, beside
    /// what is there already (a-1.jpg for a second a.jpg); a failed copy leaves nothing.
    static RecoveryOutcome copy(const std::vector<QString>& paths, const QString& folder, const Progress& progress,
        const StopTest& isStopped = {});
    /// Moves the files at `paths` to the Trash through the desktop.
    static RecoveryOutcome trash(const std::vector<QString>& paths, Desktop& desktop, const Progress& progress,
        const StopTest& isStopped = {});

    /// The start of the name of every folder of saved files.
    static constexpr const char* kSaveFolderPrefix = "Brightfold Recover ";
};

}
