#pragma once

#include "carve/FormatCategory.hpp"
#include "workflow/AppStage.hpp"
#include "workflow/Desktop.hpp"
#include "device/DeviceAccess.hpp"
#include "workflow/MainThreadGate.hpp"
#include "workflow/RecoveredItem.hpp"
#include "workflow/RecoveryJob.hpp"
#include "workflow/ThumbnailStore.hpp"
#include "workflow/WorkProgress.hpp"
#include "scan/ScanSession.hpp"
#include "scan/ScanSummary.hpp"

#include <QAbstractListModel>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace brightfold {

/// What a browser shows, fixed for its lifetime: the files of a stored scan, or
/// a folder of files saved earlier.
struct BrowserMode {
    /// The same two kinds the application browses to.
    using Kind = BrowseTarget::Kind;

    Kind kind { Kind::session };
    SessionId sessionId;                        ///< for `session`
    std::optional<ScanSummary> summary;         ///< for `session`: the title's; none for a scan deleted meanwhile
    std::shared_ptr<const ScanSession> session; ///< for `session`, when in memory already; else read when loading
    QString folderPath;                         ///< for `folder`

    /// A scan in memory (the one just finished).
    static BrowserMode forSession(ScanSession session)
    {
        ScanSummary summary = ScanSummary::of(session);
        return { Kind::session, session.id, std::move(summary), std::make_shared<const ScanSession>(std::move(session)), {} };
    }
    /// A stored scan, read from the store when loading (in the background); one
    /// that cannot be read browses as a scan with nothing in it.
    static BrowserMode forStoredSession(const SessionId& id, std::optional<ScanSummary> summary)
    {
        return { Kind::session, id, std::move(summary), nullptr, {} };
    }
    static BrowserMode forFolder(QString path) { return { Kind::folder, {}, std::nullopt, nullptr, std::move(path) }; }
};

using ItemList = std::vector<RecoveredItem>;
using ItemIdSet = QSet<QString>;
using OptionalCategory = std::optional<FormatCategory>;
using OptionalMessage = std::optional<QString>;

/// The state behind the browser screen: the found files, the category filter,
/// the selection, and the operations on the selection (save from the card,
/// copy out of a saved folder, keep only the selection).
///
/// The list model's rows are the visible items (those of the filter) in display
/// order, so a grid view over it costs what it shows. Changes to many rows are
/// announced once (a reset for new items or a new filter, one dataChanged over
/// the visible rows for the selection), never row by row.
///
/// Every property is read and changed on the thread the model lives on (the
/// interface thread). Loading, saving, copying and trashing run on background
/// threads and hand each change back to that thread; work that finishes after
/// the model is gone is dropped.
class BrowserModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isWorking READ isWorking NOTIFY isWorkingChanged)
    Q_PROPERTY(brightfold::OptionalCategory filter READ filter WRITE setFilter NOTIFY filterChanged)
    Q_PROPERTY(brightfold::ItemIdSet selected READ selected WRITE setSelected NOTIFY selectedChanged)
    Q_PROPERTY(brightfold::OptionalWorkProgress workProgress READ workProgress NOTIFY workProgressChanged)
    Q_PROPERTY(brightfold::OptionalMessage statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(brightfold::OptionalMessage errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< QString
        ExtRole,                   ///< QString
        SizeBytesRole,             ///< qulonglong
        CategoryRole,              ///< int (FormatCategory), invalid when none
        SectorRole,                ///< qulonglong
        FileUrlRole,               ///< QString, invalid when none
        PreviewUrlRole,            ///< QString, invalid when none
        SelectedRole,              ///< bool
        SymbolRole,                ///< QString: the icon of the file's kind, "doc" when unknown
        BadgeRole,                 ///< QString: the extension as shown on a cell without a picture ("JPG")
        SizeTextRole,              ///< QString: the size as a file manager shows it ("1.5 MB")
    };
    // Qt::DisplayRole gives the display name, Qt::ToolTipRole the whole name with
    // what the file system kept of it; Qt::CheckStateRole the selection.

    /// `devices` and `images` reopen a session's card when saving; `desktop`
    /// asks the user's choices, reveals results and trashes (may be null: saving,
    /// copying and trashing then do nothing). Starts loading at once.
    BrowserModel(BrowserMode mode, std::shared_ptr<DeviceAccess> devices, DiskImages images,
        std::shared_ptr<Desktop> desktop, QObject* parent = nullptr);
    ~BrowserModel() override;

    const BrowserMode& mode() const { return m_mode; }
    /// Session: its source name, ", scanned " and the date and time in the
    /// user's locale. Folder: the folder's name.
    QString title() const;

    const ItemList& items() const { return m_items; }
    const ItemIdSet& selected() const { return m_selected; }
    const OptionalCategory& filter() const { return m_filter; }
    bool isLoading() const { return m_isLoading; }
    bool isWorking() const { return m_isWorking; }
    const OptionalWorkProgress& workProgress() const { return m_workProgress; }
    const OptionalMessage& statusMessage() const { return m_statusMessage; }
    const OptionalMessage& errorMessage() const { return m_errorMessage; }

    /// The items of the filter's category in display order (all without a
    /// filter; an item without a category is hidden by any filter). A copy:
    /// the rows of the list model are the cheap way to the same items.
    ItemList visibleItems() const;
    /// The item shown in `row` of the list model.
    const RecoveredItem& visibleItem(int row) const;
    /// The selected items in display order, hidden ones included.
    ItemList selectedItems() const;
    int selectedCount() const { return m_selectedCount; }
    uint64_t selectedBytes() const { return m_selectedBytes; }
    /// The categories among the items, in FormatCategory order.
    std::vector<FormatCategory> presentCategories() const;
    /// Where the picture of the item in a row of this model comes from.
    static PictureSource pictureSource(const QModelIndex& index);
    /// The empty grid's text: "This scan found no files" or "No recovered files
    /// in this folder".
    QString emptyText() const;

    /// Changing the filter never changes the selection.
    void setFilter(const OptionalCategory& filter);
    /// Ids of no item are kept (they drop out at the next reload).
    void setSelected(const ItemIdSet& selected);
    /// Stops the save, copy or move under way between two files (a copy cut off
    /// is removed; what was done before stays whole); workFinished follows.
    void stopWork();
    /// The screen clears the error once it has shown it.
    void setErrorMessage(const OptionalMessage& message);
    /// Selects the item when it is not selected, else unselects it.
    void toggle(const RecoveredItem& item);
    /// Adds every visible item to the selection; removes nothing.
    void selectAllVisible();

    /// Reads the items again in the background; the selection keeps the items
    /// that still exist.
    void reload();
    /// Session: asks for a folder (refusing one on the card) and saves the
    /// selected files from the card into a new "Brightfold Recover <time>"
    /// folder in it. Folder: asks for a folder and copies the selected files
    /// into it. Nothing without a selection; the result is `statusMessage`, a
    /// failure of the whole operation `errorMessage`. Returns at once: the
    /// question and the work that follows run later.
    void saveSelected();
    /// Folder: asks whether to move every unselected file to the Trash; when the
    /// user agrees, moves them and reloads. A file that did not verifiably reach
    /// the Trash is counted as not moved. Returns at once.
    void keepOnlySelected();
    /// Files of the folder that keepOnlySelected would move to the Trash.
    int unselectedCount() const;
    /// Session: the preview of the file starting at `start` of scan `sessionId`
    /// has been made; its cell shows it. Previews of other scans are passed over.
    void previewArrived(const QString& sessionId, qulonglong start);
    /// Session: the starts of the files in rows `first` to `last` (those on screen).
    std::vector<uint64_t> startsOfRows(int first, int last) const;
    /// Shows the file of the item in `row` in the file manager; nothing for an
    /// item without a file on disk.
    void revealItem(int row);
    /// Opens the file of the item in `row` with its default application.
    void openItem(int row);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void itemsChanged();
    void selectedChanged();
    void filterChanged();
    void isLoadingChanged();
    void isWorkingChanged();
    void workProgressChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    /// A load has finished and its items are in place.
    void loaded();
    /// A save, copy or trash has finished and its result is in place.
    void workFinished();

private:
    bool isRow(const QModelIndex& index) const;
    void setItems(ItemList items);
    /// Points the session item at its preview; false when it has one already.
    bool showPreview(RecoveredItem& item) const;
    void rebuildVisibleRows();
    void recountSelection();
    std::vector<QString> unselectedPaths() const;
    /// Runs a recovery job on the executor, its progress and outcome coming back here.
    using Job = std::function<RecoveryOutcome(const RecoveryJob::Progress&, const RecoveryJob::StopTest&)>;
    /// Runs `job` on the executor with this model's progress and stop flag, then finishJob.
    void runJob(int total, Job job);
    void finishJob(const RecoveryOutcome& outcome);
    void beginWork(int total);
    void endWork(const OptionalMessage& status, const OptionalMessage& error);
    void setLoading(bool loading);
    void setWorkProgress(const OptionalWorkProgress& progress);
    void setStatusMessage(const OptionalMessage& message);
    void announceSelection();

    BrowserMode m_mode;
    std::shared_ptr<const ScanSession> m_session; ///< session mode: the scan once loaded
    std::shared_ptr<DeviceAccess> m_devices;
    DiskImages m_images;
    std::shared_ptr<Desktop> m_desktop;

    ItemList m_items;
    QHash<QString, int> m_indexById;    // id to index into m_items
    QSet<QString> m_previewsArrived;    // ids of items whose preview came while loading
    std::vector<int> m_visibleRows;     // indexes into m_items, in row order
    std::vector<int> m_visibleRowOfItem; // by index into m_items: its row, or -1 when hidden
    ItemIdSet m_selected;
    int m_selectedCount { 0 };
    uint64_t m_selectedBytes { 0 };
    OptionalCategory m_filter;
    bool m_isLoading { true };
    bool m_isWorking { false };
    OptionalWorkProgress m_workProgress;
    OptionalMessage m_statusMessage;
    OptionalMessage m_errorMessage;

    // Shared with the background tasks, which outlive the model at most by
    // their own end: a closed gate drops what they hand back.
    std::shared_ptr<MainThreadGate> m_gate;
    /// Set by stopWork(), read by the task under way; a new one each time work begins.
    std::shared_ptr<std::atomic<bool>> m_stopWork { std::make_shared<std::atomic<bool>>(false) };
};

}

