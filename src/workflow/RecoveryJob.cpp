#include "workflow/RecoveryJob.hpp"

#include "device/DestinationError.hpp"
#include "device/SaveDestination.hpp"
#include "carve/export/CarveExporter.hpp"
#include "carve/export/FolderTimestamp.hpp"
#include "workflow/BrowserTexts.hpp"
#include "workflow/Desktop.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <filesystem>

namespace brightfold {

namespace {

/// Does `one` to each path in turn until told to stop, counting in `outcome` the
/// paths it did (true) and those it could not, with progress after each.
template<typename One>
void eachPath(RecoveryOutcome& outcome, const std::vector<QString>& paths, const RecoveryJob::Progress& progress,
    const RecoveryJob::StopTest& isStopped, One one)
{
    const int total = clampedCount(paths.size());
    for (const QString& path : paths) {
        if (isStopped && isStopped())
            break;
        if (one(path))
            ++outcome.done;
        else
            ++outcome.failed;
        if (progress)
            progress(outcome.done + outcome.failed, total);
    }
}

/// Whether `folder` lies on the session's card as it is attached now, or on a
/// mount of its image, by the rule the command follows too. Lists the disks; a
/// card that is gone throws sourceMissing.
bool isCardFolder(const ScanSession& session, DeviceAccess& devices, DiskImages images, const QString& folder)
{
    try {
        SaveDestination::check(session.sourcePath(devices, images), std::filesystem::path(folder.toStdString()));
        return false;
    } catch (const DestinationError&) {
        return true;
    }
}

}

RecoveryOutcome RecoveryJob::save(const ScanSession& session, const std::vector<CarvedFile>& files, const QString& folder,
    DeviceAccess& devices, DiskImages images, const Progress& progress, const StopTest& isStopped)
{
    RecoveryOutcome outcome;
    try {
        if (isCardFolder(session, devices, images, folder)) {
            outcome.kind = RecoveryOutcome::Kind::refused;
            outcome.error = QString::fromLatin1(kSaveOnCardMessage);
            return outcome;
        }
        const auto target = CarveExporter::uniqueURL(std::filesystem::path(folder.toStdString()) / (kSaveFolderPrefix + folderTimestamp()));
        ByteSourcePtr source = session.openSource(devices, images);
        auto result = CarveExporter().exportFiles(
            files, *source, target,
            [&](int64_t done, int64_t all) {
                if (progress)
                    progress(static_cast<int>(done), static_cast<int>(all));
            },
            [&] { return isStopped && isStopped(); });
        // A full or failing destination is not the card's fault: say so, and say it loudly.
        const auto isDestinationFault = [](const CarveExporter::FailedFile& failure) { return failure.destinationFault; };
        const auto notWritten = std::ranges::find_if(result.failed, isDestinationFault);
        outcome.kind = RecoveryOutcome::Kind::saved;
        outcome.done = clampedCount(result.saved.size());
        outcome.changed = clampedCount(result.changed.size());
        outcome.notWritten = clampedCount(static_cast<size_t>(std::ranges::count_if(result.failed, isDestinationFault)));
        outcome.failed = clampedCount(result.failed.size()) - outcome.notWritten;
        outcome.destination = QString::fromStdString(target.string());
        if (notWritten != result.failed.end() || result.reportError)
            outcome.error = destinationFailureMessage(
                QString::fromStdString(notWritten != result.failed.end() ? notWritten->reason : result.reportError->code().message()),
                outcome.done, clampedCount(files.size()), result.reportFile.has_value());
    } catch (const std::exception& failure) {
        outcome.kind = RecoveryOutcome::Kind::failed;
        outcome.error = QString::fromStdString(failure.what());
    }
    return outcome;
}

RecoveryOutcome RecoveryJob::copy(const std::vector<QString>& paths, const QString& folder, const Progress& progress, const StopTest& isStopped)
{
    RecoveryOutcome outcome { RecoveryOutcome::Kind::copied, 0, 0, 0, 0, folder, {} };
    const std::filesystem::path into(folder.toStdString());
    eachPath(outcome, paths, progress, isStopped, [&](const QString& path) {
        const auto target = CarveExporter::uniqueURL(into / lastComponent(path).toStdString());
        // QFile::copy writes under a temporary name and renames, so a failed
        // copy leaves nothing behind.
        return QFile::copy(path, QString::fromStdString(target.string()));
    });
    return outcome;
}

RecoveryOutcome RecoveryJob::trash(const std::vector<QString>& paths, Desktop& desktop, const Progress& progress, const StopTest& isStopped)
{
    RecoveryOutcome outcome { RecoveryOutcome::Kind::trashed, 0, 0, 0, 0, {}, {} };
    eachPath(outcome, paths, progress, isStopped, [&](const QString& path) { return desktop.moveToTrash(path); });
    return outcome;
}

}
