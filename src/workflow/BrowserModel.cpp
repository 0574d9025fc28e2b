#include "workflow/BrowserModel.hpp"

#include "device/ByteCount.hpp"

#include "scan/ScanSessionError.hpp"
#include "scan/ScanStore.hpp"
#include "workflow/BrowserTexts.hpp"
#include "workflow/Executor.hpp"
#include "workflow/PropertyChange.hpp"
#include "workflow/PreviewMaker.hpp"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <utility>

namespace brightfold {

namespace {

/// The locale's long date without the weekday and with abbreviated month
/// names ("Jan 31, 2026", "31. Jan. 2026").
QString abbreviatedDateFormat(const QLocale& locale)
{
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("dddd[,.]?\\s*")));
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return format.trimmed();
}

}

BrowserModel::BrowserModel(BrowserMode mode, std::shared_ptr<DeviceAccess> devices, DiskImages images,
    std::shared_ptr<Desktop> desktop, QObject* parent)
    : QAbstractListModel(parent)
    , m_mode(std::move(mode))
    , m_session(m_mode.session)
    , m_devices(std::move(devices))
    , m_images(images)
    , m_desktop(std::move(desktop))
    , m_gate(std::make_shared<MainThreadGate>(this))
{
    reload();
}

BrowserModel::~BrowserModel()
{
    m_gate->close();
}

QString BrowserModel::title() const
{
    if (m_mode.kind == BrowserMode::Kind::folder)
        return lastComponent(m_mode.folderPath);
    if (!m_mode.summary)
        return QStringLiteral(", scanned  ");
    const ScanSummary& session = *m_mode.summary;
    const QLocale locale;
    const QDateTime local = QDateTime::fromSecsSinceEpoch(session.createdAt.time_since_epoch().count());
    return QStringLiteral("%1, scanned %2 %3")
        .arg(QString::fromStdString(session.sourceName), locale.toString(local.date(), abbreviatedDateFormat(locale)),
            locale.toString(local.time(), QLocale::ShortFormat));
}

QString BrowserModel::emptyText() const
{
    return m_mode.kind == BrowserMode::Kind::session ? QStringLiteral("This scan found no files")
                                                    : QStringLiteral("No recovered files in this folder");
}

ItemList BrowserModel::visibleItems() const
{
    ItemList visible;
    visible.reserve(m_visibleRows.size());
    for (int index : m_visibleRows)
        visible.push_back(m_items[static_cast<size_t>(index)]);
    return visible;
}

const RecoveredItem& BrowserModel::visibleItem(int row) const
{
    return m_items[static_cast<size_t>(m_visibleRows.at(static_cast<size_t>(row)))];
}

ItemList BrowserModel::selectedItems() const
{
    ItemList chosen;
    for (const RecoveredItem& item : m_items)
        if (m_selected.contains(item.id))
            chosen.push_back(item);
    return chosen;
}

std::vector<FormatCategory> BrowserModel::presentCategories() const
{
    std::array<bool, kAllFormatCategories.size()> present {};
    for (const RecoveredItem& item : m_items)
        if (item.category)
            present[static_cast<size_t>(*item.category)] = true;
    std::vector<FormatCategory> categories;
    for (FormatCategory category : kAllFormatCategories)
        if (present[static_cast<size_t>(category)])
            categories.push_back(category);
    return categories;
}

void BrowserModel::setFilter(const OptionalCategory& filter)
{
    if (filter == m_filter)
        return;
    beginResetModel();
    m_filter = filter;
    rebuildVisibleRows();
    endResetModel();
    emit filterChanged();
}

void BrowserModel::setSelected(const ItemIdSet& selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    recountSelection();
    announceSelection();
}

void BrowserModel::setErrorMessage(const OptionalMessage& message)
{
    changeProperty(this, m_errorMessage, message, &BrowserModel::errorMessageChanged);
}

void BrowserModel::toggle(const RecoveredItem& item)
{
    auto found = m_indexById.constFind(item.id);
    if (m_selected.remove(item.id)) {
        if (found != m_indexById.constEnd()) {
            --m_selectedCount;
            m_selectedBytes -= m_items[static_cast<size_t>(*found)].sizeBytes;
        }
    } else {
        m_selected.insert(item.id);
        if (found != m_indexById.constEnd()) {
            ++m_selectedCount;
            m_selectedBytes += m_items[static_cast<size_t>(*found)].sizeBytes;
        }
    }
    if (found != m_indexById.constEnd()) {
        const int row = m_visibleRowOfItem[static_cast<size_t>(*found)];
        if (row >= 0)
            emit dataChanged(index(row), index(row), { SelectedRole, Qt::CheckStateRole });
    }
    emit selectedChanged();
}

void BrowserModel::selectAllVisible()
{
    // One pass: each newly selected item adds to the count and bytes directly.
    const int before = m_selectedCount;
    m_selected.reserve(m_selected.size() + static_cast<qsizetype>(m_visibleRows.size()));
    for (int index : m_visibleRows) {
        const RecoveredItem& item = m_items[static_cast<size_t>(index)];
        const qsizetype size = m_selected.size();
        m_selected.insert(item.id);
        if (m_selected.size() == size)
            continue;
        ++m_selectedCount;
        m_selectedBytes += item.sizeBytes;
    }
    if (m_selectedCount != before)
        announceSelection();
}

void BrowserModel::reload()
{
    setLoading(true);
    Executor::shared().run([gate = m_gate, kind = m_mode.kind, id = m_mode.sessionId, session = m_session, folder = m_mode.folderPath, this]() mutable {
        ItemList items;
        if (kind == BrowserMode::Kind::folder) {
            items = RecoveredItem::scanFolder(folder);
        } else {
            if (!session) {
                try {
                    session = std::make_shared<const ScanSession>(ScanStore::find(id.text()));
                } catch (const ScanSessionError&) {
                    // Deleted or damaged meanwhile: nothing to show.
                }
            }
            if (session)
                items = RecoveredItem::items(*session);
        }
        gate->post([this, items = std::move(items), session = std::move(session)]() mutable {
            m_session = std::move(session);
            setItems(std::move(items));
            setLoading(false);
            emit loaded();
        });
    });
}

void BrowserModel::saveSelected()
{
    if (!m_desktop)
        return;
    if (m_mode.kind == BrowserMode::Kind::session) {
        std::vector<CarvedFile> files;
        if (m_session) {
            for (const RecoveredItem& item : m_items)
                if (item.carved && m_selected.contains(item.id))
                    files.push_back(*item.carved);
        }
        if (files.empty())
            return;
        const int total = clampedCount(files.size());
        m_desktop->chooseFolder({ saveChooserTitle(total), QString::fromLatin1(kSaveChooserMessage), QStringLiteral("Save Here") })
            .then(this, [this, files = std::move(files), total](std::optional<QString> folder) {
                if (!folder)
                    return;
                runJob(total, [session = m_session, devices = m_devices, images = m_images, folder = *folder, files](
                                  const RecoveryJob::Progress& progress, const RecoveryJob::StopTest& isStopped) {
                    return RecoveryJob::save(*session, files, folder, *devices, images, progress, isStopped);
                });
            });
        return;
    }
    std::vector<QString> paths;
    for (const RecoveredItem& item : m_items)
        if (item.fileURL && m_selected.contains(item.id))
            paths.push_back(*item.fileURL);
    if (paths.empty())
        return;
    const int total = clampedCount(paths.size());
    m_desktop->chooseFolder({ copyChooserTitle(total), QString(), QStringLiteral("Copy Here") })
        .then(this, [this, paths = std::move(paths), total](std::optional<QString> folder) {
            if (!folder)
                return;
            runJob(total, [paths, folder = *folder](const RecoveryJob::Progress& progress, const RecoveryJob::StopTest& isStopped) {
                return RecoveryJob::copy(paths, folder, progress, isStopped);
            });
        });
}

std::vector<QString> BrowserModel::unselectedPaths() const
{
    std::vector<QString> unselected;
    for (const RecoveredItem& item : m_items)
        if (item.fileURL && !m_selected.contains(item.id))
            unselected.push_back(*item.fileURL);
    return unselected;
}

int BrowserModel::unselectedCount() const
{
    return clampedCount(unselectedPaths().size());
}

void BrowserModel::keepOnlySelected()
{
    if (m_mode.kind != BrowserMode::Kind::folder || !m_desktop)
        return;
    const int unselected = unselectedCount();
    if (unselected == 0)
        return;
    Confirmation question { QStringLiteral("Keep Only Selected"), keepOnlySelectedQuestion(unselected),
        keepOnlySelectedExplanation(m_selectedCount), QStringLiteral("Move to Trash") };
    m_desktop->confirm(question).then(this, [this](bool agreed) {
        // The selection may have changed while the question was open: trash what is unselected now.
        std::vector<QString> paths = unselectedPaths();
        if (!agreed || paths.empty())
            return;
        runJob(clampedCount(paths.size()), [paths, desktop = m_desktop](const RecoveryJob::Progress& progress, const RecoveryJob::StopTest& isStopped) {
            return RecoveryJob::trash(paths, *desktop, progress, isStopped);
        });
    });
}

void BrowserModel::revealItem(int row)
{
    if (row < 0 || row >= rowCount() || !m_desktop)
        return;
    if (const auto& file = visibleItem(row).fileURL)
        m_desktop->reveal(*file);
}

void BrowserModel::openItem(int row)
{
    if (row < 0 || row >= rowCount() || !m_desktop)
        return;
    if (const auto& file = visibleItem(row).fileURL)
        m_desktop->open(*file);
}

void BrowserModel::runJob(int total, Job job)
{
    beginWork(total);
    Executor::shared()
        .run([gate = m_gate, job = std::move(job), stop = m_stopWork, this] {
            return job([gate, this](int done, int all) { gate->post([this, done, all] { setWorkProgress(WorkProgress { done, all }); }); },
                [stop] { return stop->load(); });
        })
        .then(this, [this](RecoveryOutcome outcome) { finishJob(outcome); });
}

void BrowserModel::finishJob(const RecoveryOutcome& outcome)
{
    switch (outcome.kind) {
    case RecoveryOutcome::Kind::saved:
        endWork(savedStatus(outcome.done, lastComponent(outcome.destination), outcome.changed, outcome.failed, outcome.notWritten),
            outcome.error.isEmpty() ? OptionalMessage() : OptionalMessage(outcome.error));
        if (m_desktop)
            m_desktop->reveal(outcome.destination);
        return;
    case RecoveryOutcome::Kind::copied:
        endWork(copiedStatus(outcome.done, outcome.failed, lastComponent(outcome.destination)), std::nullopt);
        if (m_desktop)
            m_desktop->reveal(outcome.destination);
        return;
    case RecoveryOutcome::Kind::trashed:
        endWork(trashedStatus(outcome.done, outcome.failed), std::nullopt);
        reload();
        return;
    case RecoveryOutcome::Kind::refused:
    case RecoveryOutcome::Kind::failed:
        endWork(std::nullopt, outcome.error);
        return;
    }
}

bool BrowserModel::isRow(const QModelIndex& index) const
{
    return index.isValid() && index.model() == this && !index.parent().isValid() && index.row() < rowCount();
}

int BrowserModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_visibleRows.size());
}

void BrowserModel::previewArrived(const QString& sessionId, qulonglong start)
{
    if (m_mode.kind != BrowserMode::Kind::session || sessionId.toStdString() != m_mode.sessionId.text())
        return;
    const QString id = QString::number(start);
    auto found = m_indexById.find(id);
    if (found == m_indexById.end()) {
        if (m_isLoading)
            m_previewsArrived.insert(id);
        return;
    }
    RecoveredItem& item = m_items[static_cast<size_t>(*found)];
    if (!showPreview(item))
        return;
    if (const int row = m_visibleRowOfItem[static_cast<size_t>(*found)]; row >= 0)
        emit dataChanged(index(row), index(row), { PreviewUrlRole });
}

bool BrowserModel::showPreview(RecoveredItem& item) const
{
    if (!item.carved || item.previewURL)
        return false;
    item.previewURL = PreviewMaker::previewPath(QString::fromStdString(ScanStore::folder(m_mode.sessionId).string()), *item.carved);
    return true;
}

std::vector<uint64_t> BrowserModel::startsOfRows(int first, int last) const
{
    std::vector<uint64_t> starts;
    for (int row = std::max(first, 0); row <= last && row < rowCount(); ++row) {
        if (const auto& carved = visibleItem(row).carved)
            starts.push_back(carved->start);
    }
    return starts;
}

PictureSource BrowserModel::pictureSource(const QModelIndex& index)
{
    auto path = [&index](Role role) -> std::optional<QString> {
        QString text = index.data(role).toString();
        return text.isEmpty() ? std::nullopt : std::optional(text);
    };
    return { path(PreviewUrlRole), path(FileUrlRole) };
}

QVariant BrowserModel::data(const QModelIndex& index, int role) const
{
    if (!isRow(index))
        return {};
    const RecoveredItem& item = visibleItem(index.row());
    auto optionalText = [](const std::optional<QString>& text) { return text ? QVariant(*text) : QVariant(); };
    switch (role) {
    case Qt::DisplayRole:
        return item.displayName;
    case Qt::ToolTipRole:
        return itemToolTip(item);
    case Qt::CheckStateRole:
        return m_selected.contains(item.id) ? Qt::Checked : Qt::Unchecked;
    case IdRole:
        return item.id;
    case ExtRole:
        return item.ext;
    case SizeBytesRole:
        return QVariant::fromValue<qulonglong>(item.sizeBytes);
    case CategoryRole:
        return item.category ? QVariant(static_cast<int>(*item.category)) : QVariant();
    case SectorRole:
        return QVariant::fromValue<qulonglong>(item.sector);
    case FileUrlRole:
        return optionalText(item.fileURL);
    case PreviewUrlRole:
        return optionalText(item.previewURL);
    case SelectedRole:
        return m_selected.contains(item.id);
    case SymbolRole: {
        if (!item.category)
            return QStringLiteral("doc");
        const std::string_view name = symbolName(*item.category);
        return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    }
    case BadgeRole:
        return item.ext.toUpper();
    case SizeTextRole:
        return QString::fromStdString(formatByteCount(item.sizeBytes));
    default:
        return {};
    }
}

bool BrowserModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!isRow(index))
        return false;
    if (role != SelectedRole && role != Qt::CheckStateRole)
        return false;
    const RecoveredItem& item = visibleItem(index.row());
    const bool wanted = role == SelectedRole ? value.toBool() : value.toInt() == Qt::Checked;
    if (wanted != m_selected.contains(item.id))
        toggle(item);
    return true;
}

Qt::ItemFlags BrowserModel::flags(const QModelIndex& index) const
{
    if (!isRow(index))
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QHash<int, QByteArray> BrowserModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({ { IdRole, "id" }, { ExtRole, "ext" }, { SizeBytesRole, "sizeBytes" }, { CategoryRole, "category" },
        { SectorRole, "sector" }, { FileUrlRole, "fileURL" }, { PreviewUrlRole, "previewURL" }, { SelectedRole, "selected" },
        { SymbolRole, "symbol" }, { BadgeRole, "badge" }, { SizeTextRole, "sizeText" } });
    return names;
}

void BrowserModel::setItems(ItemList items)
{
    beginResetModel();
    m_items = std::move(items);
    m_indexById.clear();
    m_indexById.reserve(static_cast<qsizetype>(m_items.size()));
    for (size_t i = 0; i < m_items.size(); ++i)
        m_indexById.insert(m_items[i].id, static_cast<int>(i));
    // A preview made after the load looked for it.
    for (const QString& id : std::as_const(m_previewsArrived)) {
        if (auto found = m_indexById.find(id); found != m_indexById.end())
            showPreview(m_items[static_cast<size_t>(*found)]);
    }
    m_previewsArrived.clear();
    rebuildVisibleRows();
    // The selection keeps only the items that still exist.
    ItemIdSet kept;
    for (const QString& id : std::as_const(m_selected))
        if (m_indexById.contains(id))
            kept.insert(id);
    const bool selectionChanged = kept.size() != m_selected.size();
    m_selected = std::move(kept);
    recountSelection();
    endResetModel();
    emit itemsChanged();
    if (selectionChanged)
        emit selectedChanged();
}

void BrowserModel::rebuildVisibleRows()
{
    m_visibleRows.clear();
    m_visibleRowOfItem.assign(m_items.size(), -1);
    for (size_t i = 0; i < m_items.size(); ++i) {
        const auto& category = m_items[i].category;
        if (m_filter && category != m_filter)
            continue;
        m_visibleRowOfItem[i] = static_cast<int>(m_visibleRows.size());
        m_visibleRows.push_back(static_cast<int>(i));
    }
}

void BrowserModel::recountSelection()
{
    m_selectedCount = 0;
    m_selectedBytes = 0;
    for (const QString& id : std::as_const(m_selected)) {
        auto found = m_indexById.constFind(id);
        if (found == m_indexById.constEnd())
            continue;
        ++m_selectedCount;
        m_selectedBytes += m_items[static_cast<size_t>(*found)].sizeBytes;
    }
}

void BrowserModel::announceSelection()
{
    if (!m_visibleRows.empty())
        emit dataChanged(index(0), index(rowCount() - 1), { SelectedRole, Qt::CheckStateRole });
    emit selectedChanged();
}

void BrowserModel::stopWork()
{
    m_stopWork->store(true);
}

void BrowserModel::beginWork(int total)
{
    m_stopWork = std::make_shared<std::atomic<bool>>(false);
    m_isWorking = true;
    emit isWorkingChanged();
    setWorkProgress(WorkProgress { 0, total });
    setStatusMessage(std::nullopt);
    setErrorMessage(std::nullopt);
}

void BrowserModel::endWork(const OptionalMessage& status, const OptionalMessage& error)
{
    setStatusMessage(status);
    setErrorMessage(error);
    m_isWorking = false;
    emit isWorkingChanged();
    setWorkProgress(std::nullopt);
    emit workFinished();
}

void BrowserModel::setLoading(bool loading)
{
    changeProperty(this, m_isLoading, loading, &BrowserModel::isLoadingChanged);
}

void BrowserModel::setWorkProgress(const OptionalWorkProgress& progress)
{
    changeProperty(this, m_workProgress, progress, &BrowserModel::workProgressChanged);
}

void BrowserModel::setStatusMessage(const OptionalMessage& message)
{
    changeProperty(this, m_statusMessage, message, &BrowserModel::statusMessageChanged);
}

}
