#pragma once

#include "carve/CarveProgress.hpp"
#include "carve/export/ImageCopier.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteSource.hpp"
#include "device/ExternalDisk.hpp"
#include "workflow/AppSettings.hpp"
#include "workflow/AppStage.hpp"
#include "device/DeviceAccess.hpp"
#include "workflow/MainThreadGate.hpp"
#include "workflow/Desktop.hpp"
#include "workflow/WorkProgress.hpp"
#include "scan/CardCopy.hpp"
#include "scan/ScanSession.hpp"
#include "scan/ScanSummary.hpp"

#include <QObject>
#include <QFuture>
#include <QList>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace brightfold {

class PreviewBatch;
class ScanRunner;

using DiskList = std::vector<ExternalDisk>;
using SessionList = std::vector<ScanSummary>;
using OptionalSource = std::optional<AppSource>;
using OptionalProgress = std::optional<CarveProgress>;
using OptionalText = std::optional<QString>;
using OptionalCopyProgress = std::optional<ImageProgress>;

/// The application's state and the scan workflow: choosing a source, scanning
/// it in the background, storing the result, making previews, and moving
/// between the screens. Every property is read and changed on the thread the
/// model lives on (the interface thread); background work hops back to it for
/// each change. One instance lives as long as the application.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(brightfold::AppStage stage READ stage NOTIFY stageChanged)
    Q_PROPERTY(int step READ step NOTIFY stepChanged)
    Q_PROPERTY(QString stepStatus READ stepStatus NOTIFY stepStatusChanged)
    Q_PROPERTY(brightfold::DiskList disks READ disks NOTIFY disksChanged)
    Q_PROPERTY(bool isRefreshing READ isRefreshing NOTIFY isRefreshingChanged)
    Q_PROPERTY(brightfold::OptionalSource source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(brightfold::CategorySet enabledCategories READ enabledCategories WRITE setEnabledCategories NOTIFY enabledCategoriesChanged)
    Q_PROPERTY(bool unmountFirst READ unmountFirst WRITE setUnmountFirst NOTIFY unmountFirstChanged)
    Q_PROPERTY(bool copyFirst READ copyFirst WRITE setCopyFirst NOTIFY copyFirstChanged)
    Q_PROPERTY(QString copyFolder READ copyFolder WRITE setCopyFolder NOTIFY copyFolderChanged)
    Q_PROPERTY(brightfold::OptionalCopyProgress copyProgress READ copyProgress NOTIFY copyProgressChanged)
    Q_PROPERTY(brightfold::OptionalProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(brightfold::OptionalWorkProgress previewProgress READ previewProgress NOTIFY previewProgressChanged)
    Q_PROPERTY(brightfold::OptionalText setupWarning READ setupWarning NOTIFY setupWarningChanged)
    Q_PROPERTY(brightfold::SessionList recentScans READ recentScans NOTIFY recentScansChanged)

public:
    /// `desktop` may be null: choosing files or folders then does nothing.
    AppModel(AppSettings settings, std::shared_ptr<DeviceAccess> devices, std::shared_ptr<Desktop> desktop,
        QObject* parent = nullptr);
    /// Stops a running scan and waits for its task to end.
    ~AppModel() override;

    const AppStage& stage() const { return m_stage; }
    int step() const { return m_step; }
    const QString& stepStatus() const { return m_stepStatus; }
    const DiskList& disks() const { return m_disks; }
    bool isRefreshing() const { return m_isRefreshing; }
    const OptionalSource& source() const { return m_source; }
    const CategorySet& enabledCategories() const { return m_enabledCategories; }
    bool unmountFirst() const { return m_unmountFirst; }
    /// Whether a card (never an image) is copied into copyFolder() before it is
    /// scanned; the scan, the previews and saving then read the copy.
    bool copyFirst() const { return m_copyFirst; }
    const QString& copyFolder() const { return m_copyFolder; }
    /// The copy of the card under way; none while the card itself is scanned.
    const OptionalCopyProgress& copyProgress() const { return m_copyProgress; }
    const OptionalProgress& progress() const { return m_progress; }
    const OptionalWorkProgress& previewProgress() const { return m_previewProgress; }
    const OptionalText& setupWarning() const { return m_setupWarning; }
    /// The stored scans that found files, newest first; listed in the background,
    /// so empty until the first listing is in.
    const SessionList& recentScans() const { return m_recentScans; }
    const AppSettings& settings() const { return m_settings; }
    /// How sessions reopen their source (the browser saves through it).
    DeviceAccess& devices() const { return *m_devices; }
    /// Shared with the browser (may be null).
    const std::shared_ptr<Desktop>& desktop() const { return m_desktop; }
    /// Disk images count as cards only under the test setting.
    DiskImages diskImages() const;

    void setSource(const OptionalSource& source);
    void setEnabledCategories(const CategorySet& categories);
    /// Ticks or unticks one category, keeping the others as they are.
    void setCategoryEnabled(FormatCategory category, bool enabled);
    void setUnmountFirst(bool unmountFirst);
    void setCopyFirst(bool copyFirst);
    void setCopyFolder(const QString& folder);
    /// Asks for the folder the copy of the card goes into; cancelling changes
    /// nothing. Returns at once.
    void chooseCopyFolder();
    /// After a scan that met read errors: back to the setup screen with the card
    /// still chosen and copying it first turned on, for the next try.
    void copyCardFirstNextTime();

    /// Re-reads the stored scans and lists the disks in the background; the
    /// chosen disk is dropped when it is gone, a chosen image stays.
    void refreshDisks();
    /// Asks for a disk-image file and makes it the source; cancelling changes
    /// nothing. Returns at once.
    void chooseImageFile();
    /// Scans the source for the enabled categories: nothing without a source, a
    /// setup warning without categories.
    void start();
    /// Stops preview making when it is under way and asks the scan to stop; a
    /// stopped scan is still stored and gets previews for what it found.
    void cancel();
    /// Files whose previews are made before a scan's results are shown (a first
    /// screen of the grid); the others are made afterwards, in the background.
    static constexpr int kFirstScreenful = 24;
    /// Whether previews are being made, during a scan or in the background after it.
    bool makingPreviews() const { return m_previews != nullptr; }
    /// Moves the previews of the files of scan `id` starting at `starts` ahead of
    /// the others still to be made (the ones on screen); nothing when that scan's
    /// previews are not being made.
    void previewFirst(const SessionId& id, const std::vector<uint64_t>& starts);
    /// Deletes a stored scan's folder in the background, then re-reads the list.
    void deleteScan(const SessionId& id);
    /// The finished scan on the done screen when it has this id (the browser then
    /// need not read it again); else nothing.
    std::optional<ScanSession> session(const SessionId& id) const;
    /// The listed stored scan with this id.
    std::optional<ScanSummary> summary(const SessionId& id) const;
    /// Browses the newest stored scan once the stored scans are listed; nothing
    /// when there is none.
    void browseLatestScan();
    /// Opens the browser; closing it comes back to the current stage when that
    /// is a scan's result.
    void enterBrowser(const BrowseTarget& target);
    /// Asks for a folder of saved files and browses it; a folder without a report
    /// of a save is refused with an alert (it may hold the user's own files).
    /// Returns at once.
    void browsePreviousRecovery();
    void exitBrowser();
    /// "Scan Another Card" and "Back": the setup screen, progress cleared, disks refreshed.
    void returnToSetup();

signals:
    void stageChanged();
    void stepChanged();
    void stepStatusChanged();
    void disksChanged();
    void isRefreshingChanged();
    void sourceChanged();
    void enabledCategoriesChanged();
    void unmountFirstChanged();
    void copyFirstChanged();
    void copyFolderChanged();
    void copyProgressChanged();
    void progressChanged();
    void previewProgressChanged();
    void setupWarningChanged();
    void recentScansChanged();
    /// Something the user must read and acknowledge (shown as an alert).
    void alertRequested(const QString& title, const QString& message);
    /// A listing of the stored scans is in (recentScans may be unchanged).
    void recentScansListed();
    /// The preview of the file starting at `start` of scan `sessionId` has been
    /// written, after the scan's results were shown.
    void previewMade(const QString& sessionId, qulonglong start);

private:
    /// What the scan task needs, fixed when it starts.
    struct ScanPlan {
        SessionId id;
        std::string path;
        QString name;
        ScanSession::Source source;
        bool unmountFirst { false }; ///< a disk from the list, unmounted before the scan
        std::filesystem::path folder;
        CategorySet categories;
        std::optional<std::filesystem::path> copyFolder; ///< the card is copied there first
    };

    /// Runs `task` on the shared executor; the model waits for it before it goes. Any thread.
    void startTask(std::function<void()> task);
    void runScan(const ScanPlan& plan);
    /// Copies the card of `plan` into its copy folder, showing the copy's progress.
    CardCopyResult copyCard(const ScanPlan& plan, const ByteSourcePtr& card);
    /// Makes the previews of the first screenful (within a cap), then returns,
    /// the rest going on in the background.
    void makePreviews(const ScanSession& session, const ByteSourcePtr& source, std::chrono::steady_clock::duration scanTime);
    /// Stops the previews under way, for whichever scan.
    void stopPreviews();
    struct FirstScreenful;
    /// Makes `batch` the previews under way, of scan `id`'s `files`; on the model's thread.
    void adoptPreviews(const std::shared_ptr<PreviewBatch>& batch, const SessionId& id, const std::vector<CarvedFile>& files);
    /// Runs `batch` on this (background) thread. Until `first` has seen `firstCount`
    /// files tried, their count is the preview progress; every preview written
    /// after that is announced by previewMade. Without `first`, every one is.
    void runPreviews(const std::shared_ptr<PreviewBatch>& batch, const SessionId& id, int firstCount,
        const std::shared_ptr<FirstScreenful>& first);
    /// A stored scan opened in the browser: makes in the background the previews
    /// it lacks (past an earlier cap, or cut short when the application quit),
    /// when its source is read without asking anyone (the card's copy or an image
    /// file) and no scan or other previews are under way.
    void previewMissing(const SessionId& id);
    void finish(const ScanSession& session);
    void fail(const QString& message);
    void reloadRecentScans();

    void setStage(const AppStage& stage);
    void setDisks(const DiskList& disks);
    void setRefreshing(bool refreshing);
    void setProgress(const OptionalProgress& progress);
    void setPreviewProgress(const OptionalWorkProgress& progress);
    void setCopyProgress(const OptionalCopyProgress& progress);
    void setSetupWarning(const OptionalText& warning);
    void setRecentScans(const SessionList& sessions);
    void updateDerived();

    AppSettings m_settings;
    std::shared_ptr<DeviceAccess> m_devices;
    std::shared_ptr<Desktop> m_desktop;

    AppStage m_stage;
    int m_step { 0 };
    QString m_stepStatus;
    DiskList m_disks;
    bool m_isRefreshing { false };
    OptionalSource m_source;
    CategorySet m_enabledCategories { kAllFormatCategories.begin(), kAllFormatCategories.end() };
    bool m_unmountFirst { true };
    bool m_copyFirst { false };
    QString m_copyFolder;
    OptionalCopyProgress m_copyProgress;
    /// Set by cancel(): stops the copy of the card under way.
    std::shared_ptr<std::atomic<bool>> m_copyStop { std::make_shared<std::atomic<bool>>(false) };
    OptionalProgress m_progress;
    OptionalWorkProgress m_previewProgress;
    OptionalText m_setupWarning;
    SessionList m_recentScans;

    std::shared_ptr<ScanRunner> m_scan; ///< the running or last scan of the current task; its engine cancels
    bool m_previewsCancelled { false };
    std::shared_ptr<PreviewBatch> m_previews; ///< the previews being made; cancel stops them
    SessionId m_previewsSession;               ///< whose previews m_previews makes
    std::unordered_map<uint64_t, size_t> m_previewIndexByStart; ///< its files by start
    std::optional<AppStage> m_browserReturnStage;
    bool m_listed { false };
    bool m_browseLatestWhenListed { false };

    MainThreadGate m_gate { this };
    std::mutex m_tasksLock;
    QList<QFuture<void>> m_tasks; ///< started by startTask(); the destructor waits for them
};

}
